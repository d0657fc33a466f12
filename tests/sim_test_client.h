#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>

#include <cstdint>

// encoder-sim started on a free loopback port; its path comes from ENCODER_SIM.
class SimProcess {
public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    // Adds --address 127.0.0.1 --port 0 and waits for the first line.
    bool start(const QStringList& arguments);
    std::uint16_t port() const { return port_; }
    const QByteArray& firstLine() const { return firstLine_; }
    // Waits for the exit; -1 when it did not exit in time or crashed.
    int waitForExitCode(int timeoutMs = 10000);
    bool isRunning() const { return process_.state() == QProcess::Running; }
    // The next JSON report line on stdout (--report-line); empty when none came in time.
    QJsonObject nextReport(int timeoutMs = 10000);
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
