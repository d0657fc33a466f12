#pragma once

#include "EncoderProtocol.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>

struct sockaddr_in;

// Set (to anything but "" or "0") in the environment, the channel connects to loopback
// addresses (127.0.0.0/8) only: the test suite sets it, so that no test reaches the network.
inline constexpr char LoopbackOnlyVariable[] = "FWUPGRADE_LOOPBACK_ONLY";

// How long the channel waits on the encoder. One place, so tests can shorten them.
// TCP doubles its wait after each unanswered retransmission, so after an outage the next try
// can come nearly twice the outage after the first loss: bounds of 45 s let a network that
// drops out for 20 s at any stage pass, and still find a vanished encoder within a minute.
struct ChannelBounds {
    std::chrono::milliseconds connect{10'000}; // a connect that has not stood by then fails
    // A send of which the encoder acknowledges no byte for this long fails.
    std::chrono::milliseconds sendStall{45'000};
    // An encoder that vanishes (power cut, cable pulled) is given up by TCP itself once a
    // connection stands: bytes it leaves unacknowledged for userTimeout end the connection,
    // and so does a quiet connection whose keepalive probes (the first after keepAliveIdle
    // without a word from the encoder, then one every keepAliveInterval) go unanswered until
    // userTimeout has passed (or keepAliveProbes of them, where the user timeout is not known).
    // An encoder that is there but quiet answers the probes and is never given up.
    std::chrono::milliseconds userTimeout{45'000};
    std::chrono::seconds keepAliveIdle{10};
    std::chrono::seconds keepAliveInterval{5};
    int keepAliveProbes = 7;
};
ChannelBounds& TcpChannelBounds();
// A bound as the texts give it, in seconds: "10", "0.3".
QString SecondsText(std::chrono::milliseconds bound);

// The longest a vanished encoder can go unnoticed under these bounds, at any stage once the
// connection stands: its bytes unacknowledged (the image starts at most a pause after the
// header was acknowledged), or its keepalive probes unanswered. Allows one second for TCP's
// first retransmission, from which it counts the user timeout.
std::chrono::milliseconds VanishedEncoderBound(const ChannelBounds& bounds);

// What is wrong with a port text: neither a service name nor a decimal number, or a number
// outside 0 to 65535.
enum class PortFault { None, NotANumber, OutOfRange };
struct PortText {
    std::uint16_t port = 0;
    PortFault fault = PortFault::None;
};

// How a connect started without waiting stands.
enum class ConnectProgress {
    Connected,
    InProgress, // wait until descriptor() is writable or the bound has passed, then finish it
    Failed,     // refused, unreachable, no usable address, or the bound passed
};

// A blocking IPv4 TCP client to the encoder: closed, open (socket, not connected) or
// connected. Host and port are 8-bit texts, resolved only when the channel connects.
// Only Close clears Connected: a connection the encoder has closed still counts as
// connected, and every ReceiveBuf on it then returns 0 at once.
class TcpClientChannel {
public:
    TcpClientChannel(QByteArray host = DefaultEncoderHost,
                     QByteArray port = DefaultEncoderPortText);
    ~TcpClientChannel();
    TcpClientChannel(const TcpClientChannel&) = delete;
    TcpClientChannel& operator=(const TcpClientChannel&) = delete;

    // A different text closes the channel first; the same text changes nothing.
    void setRemoteHost(const QByteArray& host);
    void setRemotePort(const QByteArray& port);
    const QByteArray& RemoteHost() const { return remoteHost; }
    const QByteArray& RemotePort() const { return remotePort; }

    // Creates the socket if there is none and connects it, waiting at most
    // TcpChannelBounds().connect. Returns Connected. Throws ProgramError when the port text
    // is neither a service name nor a decimal number from 0 to 65535 (nothing is attempted).
    // Port 0 and the address 0.0.0.0 reach no encoder: the connect fails without trying.
    bool Connect();
    // The same connect without waiting, so that one thread can follow many encoders: creates
    // the socket if there is none and starts connecting it. Throws ProgramError as Connect does.
    // A front end that looked the host up itself (off its event loop) passes the dotted text it
    // found (empty: not found) and when it began, where the connect's bound then counts from.
    ConnectProgress StartConnect(std::optional<QByteArray> lookedUp = std::nullopt,
                                 std::optional<std::chrono::steady_clock::time_point> begun = {});
    // Whether the started connect has stood: InProgress while it is under way and within
    // TcpChannelBounds().connect of its start. A failed connect leaves the channel open, as
    // Connect does; the socket is blocking again once the connect has stood or failed.
    ConnectProgress FinishConnect();
    // What is left of the started connect's bound; zero when none is under way.
    std::chrono::milliseconds ConnectTimeLeft() const;
    // Why the last connect failed: an errno value (ETIMEDOUT when the system gave up),
    // ConnectBoundError once TcpChannelBounds().connect passed first, LoopbackGuardError when
    // LoopbackOnly() kept it from leaving this machine; 0 if none.
    int ConnectError() const { return lastConnectError; }
    void Disconnect(); // Close
    void Close();      // shutdown both ways, close the socket; harmless when already closed

    // Sends the whole buffer (looping over partial sends, never raising SIGPIPE); returns
    // count, or -1 when a send fails or the encoder takes no byte for sendStall.
    int SendBuf(const void* buffer, int count, int flags);
    // Sends what the platform takes at once, without waiting: bytes taken, 0 when it takes
    // none now (wait until descriptor() is writable), -1 when the send fails. Never raises
    // SIGPIPE. The caller bounds the wait, as SendBuf does with sendStall.
    int SendSome(const void* buffer, int count);
    // One receive of at most capacity bytes: bytes received, 0 once the encoder has closed
    // its side, -1 on error. Waits until one of these is at hand; adds no zero byte.
    int ReceiveBuf(void* buffer, int capacity, int flags);
    // Whether a ReceiveBuf would return at once (data, the encoder's close, or an error;
    // so also while the channel is closed or not connected).
    bool ReplyWaiting() const;
    // Bytes handed to the socket that the encoder has not acknowledged yet, also once the
    // connection has failed; -1 while the channel is not connected.
    std::int64_t UnacknowledgedBytes() const;
    // Of those, about how many the encoder has already received past a lost segment (its
    // selective acknowledgements); 0 when none or unknown.
    std::int64_t SelectivelyAcknowledgedBytes() const;
    // Whether the connection has failed: reset by the encoder, or given up by TCP.
    bool ConnectionFailed() const;
    // Whether TCP's latest retransmissions or window probes to the encoder went unanswered:
    // the encoder (or the way to it) has gone silent, rather than merely not taking more.
    bool EncoderSilent() const;
    // The error that ended the connection (an errno value), 0 if none is known.
    int ConnectionError() const;

    // The socket, for a QSocketNotifier; -1 while the channel is closed.
    int descriptor() const { return socketHandle; }

    bool Active() const { return socketHandle != -1; }
    bool Connected() const { return connected; }

    // This end of the connection as "address:port"; empty while not connected.
    QByteArray LocalAddress() const;

    static QByteArray LocalHostName();
    static QByteArray LocalHostAddr();
    // "" gives "0.0.0.0"; a text that starts with a digit must be four decimal numbers from 0
    // to 255 without leading zeros (not 255.255.255.255) and is never looked up; any other text is
    // looked up as a host name (first IPv4 address). An empty result means no usable address.
    static QByteArray LookupHostAddr(const QByteArray& host);
    // "" gives 0; a decimal number from 0 to 65535 gives itself; otherwise a service name
    // gives its port.
    static PortText ParsePort(const QByteArray& port);
    // The window's words for a fault: "''x'' is not a valid integer value".
    static QString PortFaultText(const QByteArray& port, PortFault fault);
    // ParsePort's port; throws ProgramError with PortFaultText on a fault.
    static std::uint16_t LookupPort(const QByteArray& port);

    // An errno value in words, as a clause: "connection refused".
    static QString ErrorText(int error);

    // Whether LoopbackOnlyVariable is set: a connect to any other address then fails with
    // LoopbackGuardError before anything is sent.
    static bool LoopbackOnly();
    static constexpr int LoopbackGuardError = EPERM;
    // No errno value: the channel's own connect bound passed before the system gave up.
    static constexpr int ConnectBoundError = -1;

private:
    bool remoteAddress(sockaddr_in& address, const std::optional<QByteArray>& lookedUp = {});
    bool guardRefuses(const sockaddr_in& address);
    ConnectProgress connectFailed(int error);
    ConnectProgress connectionStands();

    QByteArray remoteHost;
    QByteArray remotePort;
    int socketHandle = -1;
    bool connected = false;
    bool connecting = false; // a StartConnect is under way
    std::chrono::steady_clock::time_point connectDeadline;
    int lastConnectError = 0;
    mutable int lastFailure = 0; // what ended the connection, once a call has reported it
};
