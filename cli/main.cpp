#include "BatchUpgrade.h"
#include "CliOptions.h"
#include "FirmwareImage.h"
#include "OutputChannel.h"
#include "Reporter.h"
#include "RunReport.h"
#include "SignalBridge.h"
#include "TcpClientChannel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <memory>

namespace {

bool jsonWanted = false;

int badInput(const QString& message) {
    if (jsonWanted)
        OutputChannel::standardOutput().write(JsonErrorLine(message));
    OutputChannel::standardError().write(
        QStringLiteral("%1: %2\nTry '%1 --help' for more information.\n")
            .arg(QLatin1String(CliName), message)
            .toLocal8Bit());
    OutputChannel::standardOutput().drain(std::chrono::seconds(2));
    OutputChannel::standardError().drain(std::chrono::seconds(2));
    return 2;
}

QString unreadableReason(const QByteArray& nativePath) {
    struct stat info {};
    if (::stat(nativePath.constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno)).toLower();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a directory");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("not a regular file");
    return QStringLiteral("it cannot be read");
}

// Loads the image by the window's rules; an error text when it cannot be used.
std::optional<QString> loadImage(FirmwareImageBuffer& image, const CliOptions& options) {
    switch (LoadFirmwareImageFile(image, options.imageNativePath)) {
    case ImageLoadResult::Accepted:
        break;
    case ImageLoadResult::TooLong:
        return QStringLiteral("'%1': FILE TOO LONG (more than %2 bytes)")
            .arg(options.imagePath)
            .arg(MaxImageSize);
    case ImageLoadResult::NotOpened:
        return QStringLiteral("cannot read the image '%1': %2")
            .arg(options.imagePath, unreadableReason(options.imageNativePath));
    }
    // An empty image makes the encoder erase its whole flash and program nothing.
    if (image.length == 0 && !options.allowEmpty)
        return QStringLiteral("the image '%1' is empty: the encoder would erase its flash and "
                              "program nothing (--allow-empty sends it all the same)")
            .arg(options.imagePath);
    return std::nullopt;
}

// The image argument's bytes as the system gave them, so that a path that is no valid text
// still opens.
QByteArray nativeArgument(const QString& argument, int argc, char** argv) {
    for (int i = argc - 1; i > 0; --i) {
        if (QString::fromLocal8Bit(argv[i]) == argument)
            return QByteArray(argv[i]);
    }
    return QFile::encodeName(argument);
}

// Every encoder holds a socket: a fleet needs more descriptors than the usual soft limit.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

ImageSummary summarise(const FirmwareImageBuffer& image, const QString& path) {
    return {path,
            image.length,
            LengthText(image.length),
            FillPercentage(image.length),
            FillPercentageText(image.length),
            ChecksumText(image.checksum)};
}

int finishRun(int exitCode) {
    OutputChannel::standardOutput().drain(std::chrono::seconds(5));
    OutputChannel::standardError().drain(std::chrono::seconds(5));
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // Before the first write: a reader that goes away (`| head`) must not end the run.
    std::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QLatin1String(CliName));
    QCoreApplication::setApplicationVersion(QStringLiteral(FWUPGRADE_VERSION));

    const QStringList arguments = QCoreApplication::arguments();
    jsonWanted = arguments.contains(QStringLiteral("--json"));
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.options) {
        if (parsed.exitCode != 0)
            return badInput(parsed.message);
        OutputChannel::standardOutput().write(parsed.message.toLocal8Bit());
        return finishRun(0);
    }
    CliOptions options = *parsed.options;
    options.imageNativePath = nativeArgument(options.imagePath, argc, argv);

    // The image first, then the hosts: no name is looked up for a run that cannot go ahead.
    const std::unique_ptr<FirmwareImageBuffer> image = NewFirmwareImageBuffer();
    if (const auto error = loadImage(*image, options))
        return badInput(*error);
    if (const auto error = ReadHostsFiles(options))
        return badInput(*error);
    if (const auto error = ResolveEncoders(options.encoders))
        return badInput(*error);
    TcpChannelBounds().connect =
        std::chrono::milliseconds(std::llround(options.connectTimeoutSeconds * 1000.0));

    const ImageSummary summary = summarise(*image, options.imagePath);
    if (options.check) {
        PrintCheck(summary, options);
        return finishRun(0);
    }

    const std::unique_ptr<Reporter> reporter = MakeReporter(options.output);
    QStringList hosts;
    for (const EncoderAddress& encoder : options.encoders)
        hosts << encoder.label;
    RunReport runReport(summary);
    reporter->begin(summary, hosts);

    SignalBridge stopSignals({SIGINT, SIGTERM, SIGHUP});
    BatchUpgrade batch(options, *image, *reporter);
    QObject::connect(&stopSignals, &SignalBridge::received, &batch, &BatchUpgrade::interrupt);
    QObject::connect(&batch, &BatchUpgrade::done, &app,
                     [](int exitCode) { QCoreApplication::exit(exitCode); });
    QTimer::singleShot(0, &batch, &BatchUpgrade::start);
    const int exitCode = QCoreApplication::exec();

    if (const auto error = runReport.write(options, batch.outcomes(), exitCode))
        OutputChannel::standardError().write(
            QStringLiteral("%1: %2\n").arg(QLatin1String(CliName), *error).toLocal8Bit());
    return finishRun(exitCode);
}
