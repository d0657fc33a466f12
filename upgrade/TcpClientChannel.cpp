#include "TcpClientChannel.h"

#include "ProgramError.h"

#include <QList>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Milliseconds left until deadline, for poll: never negative, rounded up so that a poll
// never ends just before the deadline and then spins with 0.
int msLeft(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 1'000'000'000));
}

// Waits for events on fd until deadline; false when the deadline passed first or poll failed.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    pollfd p{fd, events, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, msLeft(deadline));
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

bool setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1)
        return false;
    const int wanted = on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK;
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

int pendingError(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

// Dissolves a refused or abandoned connection attempt so that the same socket can be
// connected again (Linux leaves it half-way otherwise), and drops the error it left.
void resetAfterFailedConnect(int fd) {
    sockaddr unspecified{};
    unspecified.sa_family = AF_UNSPEC;
    ::connect(fd, &unspecified, sizeof unspecified);
    pendingError(fd);
}

// A decimal text: an optional sign and at least one digit, nothing else.
bool isDecimal(const QByteArray& text) {
    qsizetype i = (text.startsWith('-') || text.startsWith('+')) ? 1 : 0;
    if (i == text.size())
        return false;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    return true;
}

// Four decimal numbers from 0 to 255 joined by dots, none with a leading zero. inet_addr also
// takes octal ("010" is 8), hexadecimal and short forms ("10.1"): an operator who types a
// zero-padded address would reach another encoder.
bool isPlainDotted(const QByteArray& host) {
    const QList<QByteArray> numbers = host.split('.');
    if (numbers.size() != 4)
        return false;
    for (const QByteArray& number : numbers) {
        if (number.isEmpty() || number.size() > 3 || (number.size() > 1 && number[0] == '0'))
            return false;
        for (const char digit : number) {
            if (digit < '0' || digit > '9')
                return false;
        }
        if (number.toInt() > 255)
            return false;
    }
    return true;
}

// An optional sign, then digits: a number from 0 to 65535 ("-0" is 0).
PortText decimalPort(const QByteArray& port) {
    const bool negative = port.startsWith('-');
    const bool signed_ = negative || port.startsWith('+');
    long value = 0;
    for (qsizetype i = signed_ ? 1 : 0; i < port.size() && value <= 65535; ++i)
        value = value * 10 + (port[i] - '0');
    if (value > 65535 || (negative && value != 0))
        return {0, PortFault::OutOfRange};
    return {static_cast<std::uint16_t>(value), PortFault::None};
}

} // namespace

QString SecondsText(std::chrono::milliseconds bound) {
    return QString::number(static_cast<double>(bound.count()) / 1000.0);
}

ChannelBounds& TcpChannelBounds() {
    static ChannelBounds bounds;
    return bounds;
}

// Linux gives up on unacknowledged bytes userTimeout after their first retransmission, which
// comes a retransmission timeout after the lost send (at least 200 ms; 1 s before the round
// trip is known), and on a quiet connection at the first keepalive probe, past the first
// one, that finds the encoder silent for userTimeout.
std::chrono::milliseconds VanishedEncoderBound(const ChannelBounds& bounds) {
    constexpr milliseconds FirstRetransmission{1000};
    const milliseconds idle = bounds.keepAliveIdle;
    const milliseconds interval = bounds.keepAliveInterval;
    long long probes = 1;
    if (bounds.userTimeout > idle + interval && interval.count() > 0)
        probes = (bounds.userTimeout - idle + interval - milliseconds(1)) / interval;
    const milliseconds quiet = idle + interval * probes;
    return std::max(bounds.userTimeout + FirstRetransmission + HeaderToImagePause, quiet);
}

TcpClientChannel::TcpClientChannel(QByteArray host, QByteArray port)
    : remoteHost(std::move(host)), remotePort(std::move(port)) {}

TcpClientChannel::~TcpClientChannel() {
    Close();
}

void TcpClientChannel::setRemoteHost(const QByteArray& host) {
    if (host == remoteHost)
        return;
    Close();
    remoteHost = host;
}

void TcpClientChannel::setRemotePort(const QByteArray& port) {
    if (port == remotePort)
        return;
    Close();
    remotePort = port;
}

// The started connect, waited for.
bool TcpClientChannel::Connect() {
    ConnectProgress progress = StartConnect();
    while (progress == ConnectProgress::InProgress) {
        waitFor(socketHandle, POLLOUT, connectDeadline);
        progress = FinishConnect();
    }
    return progress == ConnectProgress::Connected;
}

QString TcpClientChannel::ErrorText(int error) {
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

bool TcpClientChannel::LoopbackOnly() {
    const QByteArray value = qgetenv(LoopbackOnlyVariable);
    return !value.isEmpty() && value != "0";
}

bool TcpClientChannel::guardRefuses(const sockaddr_in& address) {
    const bool loopback = (ntohl(address.sin_addr.s_addr) >> 24) == 127;
    if (loopback || !LoopbackOnly())
        return false;
    lastConnectError = LoopbackGuardError;
    errno = LoopbackGuardError;
    return true;
}

bool TcpClientChannel::remoteAddress(sockaddr_in& address,
                                     const std::optional<QByteArray>& lookedUp) {
    // The port is converted first: a text that is no port ends Connect at once, before any
    // name lookup could make it wait.
    const std::uint16_t port = LookupPort(remotePort);
    if (port == 0)
        return false;
    const QByteArray dotted = lookedUp ? *lookedUp : LookupHostAddr(remoteHost);
    if (dotted.isEmpty())
        return false;
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = ::inet_addr(dotted.constData());
    // 0.0.0.0 names no host; Linux would take it for this machine.
    return address.sin_addr.s_addr != htonl(INADDR_ANY) &&
           address.sin_addr.s_addr != htonl(INADDR_NONE);
}

ConnectProgress TcpClientChannel::StartConnect(std::optional<QByteArray> lookedUp,
                                               std::optional<Clock::time_point> begun) {
    if (!Active())
        socketHandle = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!Active()) {
        lastConnectError = errno;
        return ConnectProgress::Failed;
    }
    if (connected)
        return ConnectProgress::Connected;
    if (connecting)
        return FinishConnect();
    lastConnectError = 0;
    sockaddr_in address{};
    if (!remoteAddress(address, lookedUp))
        return connectFailed(EADDRNOTAVAIL);
    if (guardRefuses(address))
        return connectFailed(LoopbackGuardError);
    if (!setNonBlocking(socketHandle, true))
        return connectFailed(errno);
    connectDeadline = begun.value_or(Clock::now()) + TcpChannelBounds().connect;
    if (::connect(socketHandle, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
        errno == EISCONN) {
        setNonBlocking(socketHandle, false);
        return connectionStands();
    }
    // An interrupted connect goes on in the background, like one in progress.
    if (errno != EINPROGRESS && errno != EINTR && errno != EALREADY)
        return connectFailed(errno);
    connecting = true;
    return ConnectProgress::InProgress;
}

ConnectProgress TcpClientChannel::FinishConnect() {
    if (connected)
        return ConnectProgress::Connected;
    if (!connecting)
        return ConnectProgress::Failed;
    pollfd p{socketHandle, POLLOUT, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc == -1 && errno == EINTR);
    if (rc > 0) {
        const int error = pendingError(socketHandle);
        if (error != 0)
            return connectFailed(error);
        connecting = false;
        setNonBlocking(socketHandle, false);
        return connectionStands();
    }
    if (rc == -1)
        return connectFailed(errno);
    if (Clock::now() >= connectDeadline)
        return connectFailed(ConnectBoundError);
    return ConnectProgress::InProgress;
}

// From here on TCP watches for an encoder that vanishes: keepalive probes on a quiet
// connection, a bound on bytes left unacknowledged. Set only now, so that a connect still
// waits as long as the channel's bound and the system allow.
ConnectProgress TcpClientChannel::connectionStands() {
    const ChannelBounds& bounds = TcpChannelBounds();
    const int on = 1;
    const int idle = static_cast<int>(bounds.keepAliveIdle.count());
    const int interval = static_cast<int>(bounds.keepAliveInterval.count());
    const unsigned userTimeout = static_cast<unsigned>(bounds.userTimeout.count());
    ::setsockopt(socketHandle, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(socketHandle, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(socketHandle, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(socketHandle, IPPROTO_TCP, TCP_KEEPCNT, &bounds.keepAliveProbes,
                 sizeof bounds.keepAliveProbes);
    ::setsockopt(socketHandle, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
    connected = true;
    lastFailure = 0;
    return ConnectProgress::Connected;
}

ConnectProgress TcpClientChannel::connectFailed(int error) {
    connecting = false;
    lastConnectError = error;
    resetAfterFailedConnect(socketHandle);
    setNonBlocking(socketHandle, false);
    return ConnectProgress::Failed;
}

std::chrono::milliseconds TcpClientChannel::ConnectTimeLeft() const {
    if (!connecting)
        return milliseconds::zero();
    return milliseconds(msLeft(connectDeadline));
}

void TcpClientChannel::Disconnect() {
    Close();
}

namespace {

// Bytes the encoder has not taken yet (a stalled image): a plain close would queue the FIN
// behind them, and the encoder would wait for the rest of the image until its own time-out.
// A reset tells it at once that no more is coming.
void resetIfUnsent(int fd) {
    int unsent = 0;
    if (::ioctl(fd, SIOCOUTQ, &unsent) == 0 && unsent > 0) {
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
}

} // namespace

void TcpClientChannel::Close() {
    connecting = false;
    if (connected) {
        resetIfUnsent(socketHandle);
        ::shutdown(socketHandle, SHUT_RDWR);
        connected = false;
    }
    if (Active()) {
        // Not retried on EINTR: Linux releases the descriptor either way.
        ::close(socketHandle);
        socketHandle = -1;
    }
}

int TcpClientChannel::SendBuf(const void* buffer, int count, int flags) {
    if (count < 0)
        return -1;
    const auto* bytes = static_cast<const char*>(buffer);
    int sent = 0;
    auto deadline = Clock::now() + TcpChannelBounds().sendStall;
    do {
        const ssize_t n = ::send(socketHandle, bytes + sent, static_cast<size_t>(count - sent),
                                 flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<int>(n);
            deadline = Clock::now() + TcpChannelBounds().sendStall;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(socketHandle, POLLOUT, deadline))
                return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    } while (sent < count);
    return sent;
}

int TcpClientChannel::SendSome(const void* buffer, int count) {
    if (count < 0)
        return -1;
    for (;;) {
        const ssize_t n =
            ::send(socketHandle, buffer, static_cast<size_t>(count), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        if (errno != EINTR) {
            lastFailure = errno;
            return -1;
        }
    }
}

int TcpClientChannel::ReceiveBuf(void* buffer, int capacity, int flags) {
    if (capacity < 0)
        return -1;
    ssize_t n;
    do {
        n = ::recv(socketHandle, buffer, static_cast<size_t>(capacity), flags);
    } while (n == -1 && errno == EINTR);
    if (n == -1 && errno != EAGAIN && errno != EWOULDBLOCK)
        lastFailure = errno;
    return static_cast<int>(n);
}

bool TcpClientChannel::ReplyWaiting() const {
    if (!connected)
        return true; // a receive without a connected socket fails at once
    pollfd p{socketHandle, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc == -1 && errno == EINTR);
    return rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::int64_t TcpClientChannel::UnacknowledgedBytes() const {
    int unacknowledged = 0;
    if (!connected || ::ioctl(socketHandle, SIOCOUTQ, &unacknowledged) != 0)
        return -1;
    return unacknowledged;
}

// TCP counts them in segments, taken here at its largest size. Without selective
// acknowledgements agreed, it counts duplicate acknowledgements there instead: none then.
std::int64_t TcpClientChannel::SelectivelyAcknowledgedBytes() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (!connected || ::getsockopt(socketHandle, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        (info.tcpi_options & TCPI_OPT_SACK) == 0)
        return 0;
    return std::int64_t(info.tcpi_sacked) * std::int64_t(info.tcpi_snd_mss);
}

bool TcpClientChannel::ConnectionFailed() const {
    if (!connected)
        return true;
    pollfd p{socketHandle, 0, 0}; // POLLERR and POLLHUP are reported unasked
    int rc;
    do {
        rc = ::poll(&p, 1, 0);
    } while (rc == -1 && errno == EINTR);
    return rc != 0;
}

// Both counts go back to zero whenever the encoder acknowledges something; a window probe
// that the encoder answers, full as its buffer may be, counts as an answer too.
bool TcpClientChannel::EncoderSilent() const {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (!Active() || ::getsockopt(socketHandle, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_retransmits > 0 || info.tcpi_probes > 0;
}

int TcpClientChannel::ConnectionError() const {
    if (Active()) {
        const int pending = pendingError(socketHandle);
        if (pending != 0)
            lastFailure = pending;
    }
    return lastFailure;
}

QByteArray TcpClientChannel::LocalAddress() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (!connected ||
        ::getsockname(socketHandle, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
    return QByteArray(dotted) + ':' + QByteArray::number(ntohs(local.sin_port));
}

QByteArray TcpClientChannel::LocalHostName() {
    char name[256];
    if (::gethostname(name, sizeof name) != 0)
        return {};
    return QByteArray(name, static_cast<qsizetype>(::strnlen(name, sizeof name)));
}

QByteArray TcpClientChannel::LocalHostAddr() {
    return LookupHostAddr(LocalHostName());
}

QByteArray TcpClientChannel::LookupHostAddr(const QByteArray& host) {
    if (host.isEmpty())
        return "0.0.0.0";
    if (host[0] >= '0' && host[0] <= '9')
        return isPlainDotted(host) && ::inet_addr(host.constData()) != INADDR_NONE ? host
                                                                                   : QByteArray();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.constData(), nullptr, &hints, &found) != 0 || found == nullptr)
        return {};
    const auto* ip = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&ip->sin_addr.s_addr);
    char dotted[16];
    std::snprintf(dotted, sizeof dotted, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    ::freeaddrinfo(found);
    return dotted;
}

// A decimal text is never looked up as a service: the services file is read whole on every
// look, and a fleet converts each encoder's port more than once.
PortText TcpClientChannel::ParsePort(const QByteArray& port) {
    if (port.isEmpty())
        return {0, PortFault::None};
    if (isDecimal(port))
        return decimalPort(port);
    if (const servent* service = ::getservbyname(port.constData(), nullptr))
        return {ntohs(static_cast<std::uint16_t>(service->s_port)), PortFault::None};
    return {0, PortFault::NotANumber};
}

// The port text goes in by concatenation, so a '%' in it is taken literally.
QString TcpClientChannel::PortFaultText(const QByteArray& port, PortFault fault) {
    const char* complaint = fault == PortFault::OutOfRange ? "is not a valid port number"
                                                           : "is not a valid integer value";
    return QStringLiteral("''") + QString::fromLocal8Bit(port) + QStringLiteral("'' ") +
           QLatin1String(complaint);
}

std::uint16_t TcpClientChannel::LookupPort(const QByteArray& port) {
    const PortText parsed = ParsePort(port);
    if (parsed.fault != PortFault::None)
        throw ProgramError(PortFaultText(port, parsed.fault));
    return parsed.port;
}
