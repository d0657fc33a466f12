#pragma once

// A plain client of encoder-sim, and the bytes it sends and reads.

#include "sim_process.h"
#include "test_image.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QStringList>

#include <cstdint>

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
// Header and image as an honest client sends them.
QByteArray simUpgrade(const QByteArray& image);
// The replies joined as they go on the wire, each ended by a zero byte.
QByteArray simZeroEnded(const QList<QByteArray>& replies);
QList<QByteArray> simReportReplies(const QJsonObject& report);
QList<qint64> simReportSends(const QJsonObject& report);
