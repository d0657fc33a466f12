#include "CliOptions.h"
#include "CliRun.h"
#include "OutputChannel.h"

#include <QCoreApplication>
#include <QFile>

#include <unistd.h>

#include <csignal>

namespace {

QByteArray nativeArgument(const QString& argument, int argc, char** argv) {
    for (int i = argc - 1; i > 0; --i) {
        if (QString::fromLocal8Bit(argv[i]) == argument)
            return QByteArray(argv[i]);
    }
    return QFile::encodeName(argument);
}

} // namespace

int main(int argc, char** argv) {
    // Before the first write: a reader that goes away (`| head`) must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(CliName));
    QCoreApplication::setApplicationVersion(QStringLiteral(FWUPGRADE_VERSION));
    OutputChannel out(STDOUT_FILENO);
    OutputChannel err(STDERR_FILENO);
    const int exitCode =
        RunCommandLine(QCoreApplication::arguments(), out, err, [argc, argv](const QString& arg) {
            return nativeArgument(arg, argc, argv);
        });
    out.drain(std::chrono::seconds(5));
    err.drain(std::chrono::seconds(5));
    return exitCode;
}
