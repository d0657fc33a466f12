#include "channel_listener.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool waitFor(int fd, short events, int ms) {
    pollfd p{fd, events, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, ms);
    } while (rc == -1 && errno == EINTR);
    return rc > 0;
}

std::uint16_t portOf(int fd, bool peer) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    const int rc = peer ? ::getpeername(fd, raw, &length) : ::getsockname(fd, raw, &length);
    return rc == 0 ? ntohs(address.sin_port) : 0;
}

} // namespace

ChannelFd& ChannelFd::operator=(ChannelFd&& other) noexcept {
    if (this != &other) {
        reset();
        handle = other.release();
    }
    return *this;
}

ChannelFd::~ChannelFd() {
    reset();
}

int ChannelFd::release() {
    const int fd = handle;
    handle = -1;
    return fd;
}

void ChannelFd::reset() {
    if (handle != -1)
        ::close(handle);
    handle = -1;
}

void ChannelFd::abort() {
    if (handle == -1)
        return;
    linger immediate{1, 0};
    ::setsockopt(handle, SOL_SOCKET, SO_LINGER, &immediate, sizeof immediate);
    reset();
}

ChannelListener::ChannelListener(std::uint16_t port, int backlog) {
    ChannelFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return;
    const int on = 1;
    ::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    const sockaddr_in address = loopback(port);
    if (::bind(s.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(s.get(), backlog) != 0)
        return;
    boundPort = portOf(s.get(), false);
    fd = std::move(s);
}

bool ChannelListener::pending(int ms) const {
    return waitFor(fd.get(), POLLIN, ms);
}

ChannelFd ChannelListener::accept(int ms) const {
    if (!pending(ms))
        return {};
    return ChannelFd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

std::uint16_t channelLocalPort(int fd) {
    return portOf(fd, false);
}
std::uint16_t channelPeerPort(int fd) {
    return portOf(fd, true);
}

QByteArray channelReadExactly(int fd, qsizetype count, int ms) {
    QByteArray bytes;
    char chunk[65536];
    while (bytes.size() < count && waitFor(fd, POLLIN, ms)) {
        const auto want = std::min<qsizetype>(count - bytes.size(), sizeof chunk);
        const ssize_t n = ::recv(fd, chunk, static_cast<size_t>(want), 0);
        if (n <= 0)
            break;
        bytes.append(chunk, n);
    }
    return bytes;
}

bool channelWriteAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + done,
                                 static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR)
            return false;
        if (n > 0)
            done += n;
    }
    return true;
}

std::vector<ChannelFd> channelFillBacklog(std::uint16_t port, int maxConnections) {
    std::vector<ChannelFd> clients;
    const sockaddr_in address = loopback(port);
    for (int i = 0; i < maxConnections; ++i) {
        ChannelFd c(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.valid())
            break;
        const int rc =
            ::connect(c.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const bool established =
            rc == 0 || (errno == EINPROGRESS && waitFor(c.get(), POLLOUT, 300));
        clients.push_back(std::move(c));
        if (!established)
            return clients;
    }
    return {};
}

std::uint16_t channelDeadPort() {
    ChannelListener probe;
    return probe.port();
}

bool channelBlocking(int fd) {
    return (::fcntl(fd, F_GETFL) & O_NONBLOCK) == 0;
}

QByteArray channelPattern(qsizetype n) {
    QByteArray bytes(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xFF);
    return bytes;
}

bool ChannelPair::open() {
    if (!channel.Connect())
        return false;
    peer = listener.accept();
    return peer.valid();
}
