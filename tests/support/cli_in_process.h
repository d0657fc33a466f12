#pragma once

// fwupgrade-cli's whole run in this process, as its main() runs it, for the tests that link
// the CLI's library (fwcli).

#include "CliOptions.h"
#include "CliRun.h"
#include "OutputChannel.h"

#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QTimer>

#include <chrono>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

// Longer than any run a test makes, shorter than the watchdog's bound on one test function.
constexpr int HungCliSeconds = 45;

// What a run wrote once it has ended.
struct CliRun {
    int exitCode = -1;
    QString out;
    QString err;
};

// Standard output and error go to files; `live`, when given, follows standard output while
// the run goes on, for a test that acts on it meanwhile.
inline CliRun RunCliInProcess(const QStringList& arguments, QString* live = nullptr) {
    QTemporaryFile outFile;
    QTemporaryFile errFile;
    CliRun run;
    if (!outFile.open() || !errFile.open())
        return run;
    // A run asks on the terminal whenever standard input is one: the test's never is.
    if (const int none = ::isatty(STDIN_FILENO) ? ::open("/dev/null", O_RDONLY) : -1; none >= 0) {
        ::dup2(none, STDIN_FILENO);
        ::close(none);
    }
    QTimer follow;
    QObject::connect(&follow, &QTimer::timeout, [&] {
        QFile reader(outFile.fileName());
        if (live && reader.open(QIODevice::ReadOnly))
            *live = QString::fromLocal8Bit(reader.readAll());
    });
    follow.start(10);
    // A run that would go on for ever is interrupted, as the operator's Ctrl-C would, so the
    // test fails on its exit status instead of hanging.
    QTimer hung;
    hung.setSingleShot(true);
    QObject::connect(&hung, &QTimer::timeout, [] {
        qWarning("fwupgrade-cli still running after %d s: interrupting it", HungCliSeconds);
        ::raise(SIGTERM);
    });
    hung.start(std::chrono::seconds(HungCliSeconds));
    {
        OutputChannel out(outFile.handle());
        OutputChannel err(errFile.handle());
        run.exitCode = RunCommandLine(QStringList{CliName} + arguments, out, err);
        out.drain(std::chrono::seconds(5));
        err.drain(std::chrono::seconds(5));
    }
    outFile.seek(0);
    errFile.seek(0);
    run.out = QString::fromLocal8Bit(outFile.readAll());
    run.err = QString::fromLocal8Bit(errFile.readAll());
    return run;
}
