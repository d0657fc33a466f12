#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

#include <cstdint>

// encoder-sim started on a free loopback port; its path comes from ENCODER_SIM. Defined here
// in full, so every program that drives the simulator takes it with this header alone.
class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }

    // Adds --address 127.0.0.1 --port 0 and waits for the first line.
    bool start(const QStringList& arguments) {
        const QString program = qEnvironmentVariable("ENCODER_SIM");
        if (program.isEmpty())
            return false;
        process_.start(program, QStringList{"--address", "127.0.0.1", "--port", "0"} + arguments);
        if (!process_.waitForStarted(5000))
            return false;
        const QDeadlineTimer deadline(10000);
        while (!process_.canReadLine() && !deadline.hasExpired())
            process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        firstLine_ = process_.readLine().trimmed();
        port_ =
            static_cast<std::uint16_t>(firstLine_.mid(firstLine_.lastIndexOf(':') + 1).toUInt());
        return port_ != 0;
    }
    std::uint16_t port() const { return port_; }
    const QByteArray& firstLine() const { return firstLine_; }
    // Waits for the exit; -1 when it did not exit in time or crashed.
    int waitForExitCode(int timeoutMs = 10000) {
        if (!process_.waitForFinished(timeoutMs) || process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }
    bool isRunning() const { return process_.state() == QProcess::Running; }
    // The next JSON report line on stdout (--report-line); empty when none came in time.
    QJsonObject nextReport(int timeoutMs = 10000) {
        const QDeadlineTimer deadline(timeoutMs);
        while (!process_.canReadLine() && !deadline.hasExpired() &&
               process_.state() == QProcess::Running)
            process_.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        return takeReport();
    }
    // The report line if one has come, without waiting; empty otherwise.
    QJsonObject takeReport() {
        return process_.canReadLine() ? QJsonDocument::fromJson(process_.readLine()).object()
                                      : QJsonObject();
    }
    QByteArray standardError() { return process_.readAllStandardError(); }

private:
    QProcess process_;
    QByteArray firstLine_;
    std::uint16_t port_ = 0;
};

// How a read of the simulator's replies ended.
enum class SimEnd { Closed, Reset, Quiet };

struct SimReading {
    QByteArray bytes;
    QList<QByteArray> chunks; // one per receive
    SimEnd end = SimEnd::Quiet;
};

// A plain blocking POSIX TCP client on 127.0.0.1.
class SimClient {
public:
    SimClient() = default;
    SimClient(const SimClient&) = delete;
    SimClient& operator=(const SimClient&) = delete;
    ~SimClient();

    // Returns the connect's errno, 0 on success.
    int connectTo(std::uint16_t port, int sendBufferBytes = 0);
    bool sendAll(const QByteArray& bytes);
    // Sends without blocking until nothing more is taken for `stallMs`; returns the bytes taken.
    qint64 sendUntilStalled(const QByteArray& bytes, int stallMs);
    // Reads until the simulator closes or resets, or nothing arrives for `quietMs`.
    SimReading readUntilEnd(int quietMs = 5000);
    // True when nothing arrives for `ms` and the connection is still open.
    bool staysQuiet(int ms);
    // Half-closes: the simulator reads the end of the stream, the replies still arrive.
    void finishSending();
    void close();
    void closeWithReset();

private:
    int fd_ = -1;
};

QByteArray simHeader(std::uint32_t reserved, std::uint32_t length, std::uint32_t checksum);
// The checksum an honest client sends: the two's complement of the byte sum.
std::uint32_t simImageChecksum(const QByteArray& image);
// Header and image as an honest client sends them.
QByteArray simUpgrade(const QByteArray& image);
// The replies joined as they go on the wire, each ended by a zero byte.
QByteArray simZeroEnded(const QList<QByteArray>& replies);
QList<QByteArray> simReportReplies(const QJsonObject& report);
QList<qint64> simReportSends(const QJsonObject& report);
