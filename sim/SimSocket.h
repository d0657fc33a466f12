#pragma once

#include <QString>

#include <chrono>
#include <cstddef>

// Thin wrappers over POSIX stream sockets for the simulator's single thread.

// A socket bound to the address and port, listening unless `listening` is false (a bound
// socket that does not listen makes the system refuse every connection to its port).
// Returns -1 and sets `error` on failure.
int openServerSocket(const QString& address, int port, bool listening, QString& error);

// "127.0.0.1:40123" or "[::1]:40123"
QString localAddressText(int fd);
QString peerAddressText(int fd);

// Waits for and accepts the next connection, with TCP_NODELAY, receive time stamps and a send
// time-out set.
int acceptConnection(int listener, int sendTimeoutMs);

enum class ReceiveStatus { Data, Closed, Failed, TimedOut };

struct Received {
    ReceiveStatus status = ReceiveStatus::Failed;
    std::size_t count = 0;
    // When the system took the bytes off the wire (wall clock), so that the simulator's own
    // scheduling does not skew the times it reports.
    std::chrono::system_clock::time_point arrival;
};

// One receive of at most `capacity` bytes, waiting up to `timeoutMs` for something to arrive.
Received receiveSome(int fd, char* buffer, std::size_t capacity, int timeoutMs);

// Sends all bytes; each send call's accepted count is passed to `onSend`. False when the
// client has gone or stopped reading for longer than the send time-out.
template <typename OnSend> bool sendAll(int fd, const char* data, std::size_t size, OnSend onSend);

// Waits, reading nothing, until the client resets or closes the connection or `timeoutMs`
// passes without that.
void waitForClientToGo(int fd, int timeoutMs);

// Closes so that the client sees RST rather than FIN.
void resetConnection(int fd);

long sendOnce(int fd, const char* data, std::size_t size);

template <typename OnSend> bool sendAll(int fd, const char* data, std::size_t size, OnSend onSend) {
    while (size > 0) {
        const long sent = sendOnce(fd, data, size);
        if (sent <= 0)
            return false;
        onSend(sent);
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}
