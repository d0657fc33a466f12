#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cstdint>

// encoder-sim on 127.0.0.1 and free ports, killed when done with; its path comes from
// ENCODER_SIM (or the one given). With --listeners N it serves N ports.
class SimProcess {
public:
    explicit SimProcess(QString program = qEnvironmentVariable("ENCODER_SIM"))
        : program(std::move(program)) {}
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    // Adds --address 127.0.0.1 --port 0 and waits for every "listening on" line.
    bool start(const QStringList& arguments);
    // One connection served, its report printed: adds --once --report-line (not to --refuse).
    bool startOnce(const QStringList& arguments);

    std::uint16_t port() const { return ports_.value(0); }
    const QList<std::uint16_t>& ports() const { return ports_; }
    QString portText() const { return QString::number(port()); }
    // "127.0.0.1:PORT", as a host is given to fwupgrade-cli.
    QString host(qsizetype listener = 0) const;
    const QByteArray& firstLine() const { return firstLine_; }
    qint64 processId() const { return process.processId(); }

    // The next report line (--report-line), waiting on the process; empty when none came.
    QJsonObject nextReport(int timeoutMs = 10000);
    // The report line if one has come, without waiting; empty otherwise.
    QJsonObject takeReport();
    // The report of a --once simulator, turning the event loop until it has come.
    QJsonObject waitForReport(int timeoutMs = 20000);
    // Whether that report has come, without waiting.
    bool reported();
    // Waits for the exit; -1 when it did not exit in time or crashed.
    int waitForExitCode(int timeoutMs = 10000);
    bool isRunning() const { return process.state() == QProcess::Running; }
    QByteArray standardError() { return process.readAllStandardError(); }

private:
    QString program;
    QProcess process;
    QByteArray firstLine_;
    QList<std::uint16_t> ports_;
    QJsonObject report;
};
