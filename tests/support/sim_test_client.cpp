#include "sim_test_client.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

SimClient::~SimClient() {
    close();
}

int SimClient::connectTo(std::uint16_t port, int sendBufferBytes) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (sendBufferBytes > 0)
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return 0;
    const int error = errno;
    close();
    return error;
}

bool SimClient::sendAll(const QByteArray& bytes) {
    return sendUntilStalled(bytes, 10000) == bytes.size();
}

qint64 SimClient::sendUntilStalled(const QByteArray& bytes, int stallMs) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        pollfd waiter{fd_, POLLOUT, 0};
        if (poll(&waiter, 1, stallMs) <= 0)
            break;
        const ssize_t sent =
            send(fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done),
                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && errno != EAGAIN)
            break;
        done += std::max<ssize_t>(sent, 0);
    }
    return done;
}

SimReading SimClient::readUntilEnd(int quietMs) {
    SimReading reading;
    char buffer[4096];
    for (;;) {
        pollfd waiter{fd_, POLLIN, 0};
        if (poll(&waiter, 1, quietMs) <= 0)
            return reading;
        const ssize_t count = recv(fd_, buffer, sizeof buffer, 0);
        if (count <= 0) {
            reading.end = count == 0 ? SimEnd::Closed : SimEnd::Reset;
            return reading;
        }
        reading.chunks.append(QByteArray(buffer, count));
        reading.bytes.append(buffer, count);
    }
}

bool SimClient::staysQuiet(int ms) {
    pollfd waiter{fd_, POLLIN | POLLRDHUP, 0};
    return poll(&waiter, 1, ms) == 0;
}

void SimClient::finishSending() {
    shutdown(fd_, SHUT_WR);
}

void SimClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void SimClient::closeWithReset() {
    const linger abort{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

QByteArray simHeader(std::uint32_t reserved, std::uint32_t length, std::uint32_t checksum) {
    QByteArray header;
    for (const std::uint32_t word : {reserved, length, checksum})
        for (int i = 0; i < 4; ++i)
            header.append(static_cast<char>(word >> (8 * i)));
    return header;
}

QByteArray simUpgrade(const QByteArray& image) {
    return simHeader(0, static_cast<std::uint32_t>(image.size()), ImageSumChecksum(image)) + image;
}

QByteArray simZeroEnded(const QList<QByteArray>& replies) {
    QByteArray wire;
    for (const QByteArray& reply : replies)
        wire.append(reply).append('\0');
    return wire;
}

QList<QByteArray> simReportReplies(const QJsonObject& report) {
    QList<QByteArray> replies;
    for (const QJsonValue& text : report.value("replies").toArray())
        replies.append(text.toString().toLatin1());
    return replies;
}

QList<qint64> simReportSends(const QJsonObject& report) {
    QList<qint64> sends;
    for (const QJsonValue& size : report.value("sends").toArray())
        sends.append(size.toInteger());
    return sends;
}
