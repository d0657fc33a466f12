#include "sim_process.h"

#include "loop_probe.h"

#include <QDeadlineTimer>
#include <QJsonDocument>

SimProcess::~SimProcess() {
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool SimProcess::start(const QStringList& arguments) {
    if (program.isEmpty())
        return false;
    const qsizetype listeners = arguments.indexOf("--listeners");
    const int expected = listeners >= 0 ? arguments.value(listeners + 1).toInt() : 1;
    process.start(program, QStringList{"--address", "127.0.0.1", "--port", "0"} + arguments);
    if (!process.waitForStarted(5000))
        return false;
    const QDeadlineTimer deadline(30000);
    while (ports_.size() < expected && !deadline.hasExpired()) {
        if (!process.canReadLine() &&
            !process.waitForReadyRead(static_cast<int>(deadline.remainingTime())))
            break;
        const QByteArray line = process.readLine().trimmed();
        if (ports_.isEmpty())
            firstLine_ = line;
        ports_.append(static_cast<std::uint16_t>(line.mid(line.lastIndexOf(':') + 1).toUInt()));
    }
    return ports_.size() == expected && !ports_.contains(0);
}

bool SimProcess::startOnce(const QStringList& arguments) {
    if (arguments.contains("--refuse"))
        return start(arguments);
    return start(QStringList{"--once", "--report-line"} + arguments);
}

QString SimProcess::host(qsizetype listener) const {
    return QStringLiteral("127.0.0.1:%1").arg(ports_.value(listener));
}

QJsonObject SimProcess::nextReport(int timeoutMs) {
    const QDeadlineTimer deadline(timeoutMs);
    while (!process.canReadLine() && !deadline.hasExpired() && process.state() == QProcess::Running)
        process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
    return takeReport();
}

QJsonObject SimProcess::takeReport() {
    return process.canReadLine() ? QJsonDocument::fromJson(process.readLine()).object()
                                 : QJsonObject();
}

bool SimProcess::reported() {
    if (report.isEmpty())
        report = takeReport();
    return !report.isEmpty();
}

QJsonObject SimProcess::waitForReport(int timeoutMs) {
    TurnEventLoopUntil([this] { return reported(); }, timeoutMs);
    return report;
}

int SimProcess::waitForExitCode(int timeoutMs) {
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}
