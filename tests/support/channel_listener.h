#pragma once

// Raw loopback sockets for the channel tests: a listener on 127.0.0.1 whose backlog and
// accepting the test controls, the accepted peer ends, and a channel connected to one.

#include "TcpClientChannel.h"

#include <QByteArray>

#include <cstdint>
#include <vector>

// An owned descriptor, closed on destruction.
class ChannelFd {
public:
    ChannelFd() = default;
    explicit ChannelFd(int fd) : handle(fd) {}
    ChannelFd(ChannelFd&& other) noexcept : handle(other.release()) {}
    ChannelFd& operator=(ChannelFd&& other) noexcept;
    ~ChannelFd();
    int get() const { return handle; }
    bool valid() const { return handle != -1; }
    int release();
    void reset();
    // Closes with SO_LINGER 0, so the other side gets a reset instead of an orderly close.
    void abort();

private:
    int handle = -1;
};

class ChannelListener {
public:
    // Listens on 127.0.0.1:port (0: any free port). Check listening() afterwards.
    explicit ChannelListener(std::uint16_t port = 0, int backlog = 16);
    bool listening() const { return fd.valid(); }
    std::uint16_t port() const { return boundPort; }
    QByteArray portText() const { return QByteArray::number(boundPort); }
    // Whether a connection waits to be accepted, after waiting up to ms.
    bool pending(int ms) const;
    // Accepts one waiting connection within ms; invalid if none came.
    ChannelFd accept(int ms = 5000) const;
    void close() { fd.reset(); }

private:
    ChannelFd fd;
    std::uint16_t boundPort = 0;
};

// The local port of a connected or bound socket, 0 if unknown.
std::uint16_t channelLocalPort(int fd);
// The remote port of a connected socket, 0 if unknown.
std::uint16_t channelPeerPort(int fd);
// Reads exactly count bytes within ms; fewer on timeout, close or error.
QByteArray channelReadExactly(int fd, qsizetype count, int ms = 5000);
bool channelWriteAll(int fd, const QByteArray& bytes);
// Starts connects to 127.0.0.1:port until one is left hanging because the listener's backlog
// is full. The hanging one is last. Empty if the backlog never filled.
std::vector<ChannelFd> channelFillBacklog(std::uint16_t port, int maxConnections = 64);
// A loopback port on which nothing listens.
std::uint16_t channelDeadPort();
bool channelBlocking(int fd);
// n bytes in which every value occurs, so a lost or reordered byte shows.
QByteArray channelPattern(qsizetype n);

// A channel to a fresh loopback listener; open() connects it and accepts the peer end.
struct ChannelPair {
    ChannelListener listener;
    TcpClientChannel channel{"127.0.0.1", listener.portText()};
    ChannelFd peer;
    bool open();
};
