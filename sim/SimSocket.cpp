#include "SimSocket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool fillAddress(const QString& address, int port, sockaddr_storage& storage, socklen_t& size) {
    const QByteArray text = address.toLatin1();
    storage = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    if (inet_pton(AF_INET, text.constData(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET6, text.constData(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        size = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

QString addressText(const sockaddr_storage& storage) {
    char host[INET6_ADDRSTRLEN] = {};
    if (storage.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(storage);
        inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        return QStringLiteral("[%1]:%2").arg(QLatin1String(host)).arg(ntohs(v6.sin6_port));
    }
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(storage);
    inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
    return QStringLiteral("%1:%2").arg(QLatin1String(host)).arg(ntohs(v4.sin_port));
}

std::chrono::system_clock::time_point arrivalTime(msghdr& message) {
    for (cmsghdr* part = CMSG_FIRSTHDR(&message); part; part = CMSG_NXTHDR(&message, part)) {
        if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec stamp{};
        std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
        return std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(stamp.tv_sec) + std::chrono::nanoseconds(stamp.tv_nsec)));
    }
    return std::chrono::system_clock::now();
}

void setMsTimeout(int fd, int option, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

QString systemError(const char* what) {
    return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

ssize_t receiveMessage(int fd, msghdr& message, int flags) {
    ssize_t count = 0;
    do {
        count = recvmsg(fd, &message, flags);
    } while (count < 0 && errno == EINTR);
    return count;
}

// poll() on one descriptor, resumed after a signal: >0 ready, 0 timed out, <0 failed.
int pollOne(int fd, short events, int timeoutMs) {
    pollfd waiter{fd, events, 0};
    int ready = 0;
    do {
        ready = poll(&waiter, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    return ready;
}

} // namespace

int openServerSocket(const QString& address, int port, bool listening, QString& error) {
    sockaddr_storage storage{};
    socklen_t size = 0;
    if (!fillAddress(address, port, storage, size)) {
        error = QStringLiteral("not a numeric address: %1").arg(address);
        return -1;
    }
    const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = systemError("socket");
        return -1;
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    // Set here, accepted connections have it from their first byte: set only once accepted,
    // a header that came before would be stamped with the time it was read.
    setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0) {
        error = systemError("bind");
    } else if (listening && listen(fd, 8) != 0) {
        error = systemError("listen");
    } else {
        return fd;
    }
    close(fd);
    return -1;
}

QString localAddressText(int fd) {
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &size);
    return addressText(storage);
}

QString peerAddressText(int fd) {
    sockaddr_storage storage{};
    socklen_t size = sizeof storage;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&storage), &size) != 0)
        return {};
    return addressText(storage);
}

int acceptConnection(int listener, int sendTimeoutMs) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
            setMsTimeout(fd, SO_SNDTIMEO, sendTimeoutMs);
            return fd;
        }
        // A client that gave up before being accepted, or a signal: wait for the next one.
        if (errno != EINTR && errno != ECONNABORTED && errno != EPROTO && errno != EPERM &&
            errno != ENETDOWN && errno != EHOSTUNREACH && errno != ENETUNREACH)
            return -1;
    }
}

// Takes what is there first and waits only when nothing is: while an image streams in, the
// bytes are nearly always there, and a wait before every receive doubled the system calls.
Received receiveSome(int fd, char* buffer, std::size_t capacity, int timeoutMs) {
    iovec data{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t count = receiveMessage(fd, message, MSG_DONTWAIT);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (pollOne(fd, POLLIN, timeoutMs) == 0)
            return {ReceiveStatus::TimedOut, 0, {}};
        message.msg_controllen = sizeof control;
        count = receiveMessage(fd, message, 0);
    }
    if (count <= 0)
        return {count == 0 ? ReceiveStatus::Closed : ReceiveStatus::Failed, 0, {}};
    return {ReceiveStatus::Data, static_cast<std::size_t>(count), arrivalTime(message)};
}

long sendOnce(int fd, const char* data, std::size_t size) {
    ssize_t sent = 0;
    do {
        sent = send(fd, data, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return static_cast<long>(sent);
}

void waitForClientToGo(int fd, int timeoutMs) {
    // POLLIN is left out: the data the client goes on sending stays unread.
    pollOne(fd, POLLRDHUP, timeoutMs);
}

void resetConnection(int fd) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}
