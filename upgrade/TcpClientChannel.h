#pragma once

#include <QByteArray>

#include <chrono>
#include <cstdint>

// The default encoder address offered in the window's host box.
inline constexpr char DefaultEncoderHost[] = "192.168.1.100";
inline constexpr char DefaultEncoderPort[] = "999";

// How long the channel waits on the encoder. One place, so tests can shorten them.
struct ChannelBounds {
    std::chrono::milliseconds connect{10'000};   // a connect that has not stood by then fails
    std::chrono::milliseconds sendStall{30'000}; // a send that moves no byte for this long fails
};
ChannelBounds& TcpChannelBounds();

// A blocking IPv4 TCP client to the encoder: closed, open (socket, not connected) or
// connected. Host and port are 8-bit texts, resolved only when the channel connects.
// Only Close clears Connected: a connection the encoder has closed still counts as
// connected, and every ReceiveBuf on it then returns 0 at once.
class TcpClientChannel {
public:
    TcpClientChannel(QByteArray host = DefaultEncoderHost, QByteArray port = DefaultEncoderPort);
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
    void Disconnect(); // Close
    void Close();      // shutdown both ways, close the socket; harmless when already closed

    // Sends the whole buffer (looping over partial sends, never raising SIGPIPE); returns
    // count, or -1 when a send fails or the encoder takes no byte for sendStall.
    int SendBuf(const void* buffer, int count, int flags);
    // One receive of at most capacity bytes: bytes received, 0 once the encoder has closed
    // its side, -1 on error. Waits until one of these is at hand; adds no zero byte.
    int ReceiveBuf(void* buffer, int capacity, int flags);
    // Whether a ReceiveBuf would return at once (data, the encoder's close, or an error;
    // so also while the channel is closed or not connected).
    bool ReplyWaiting() const;
    // The socket, for a QSocketNotifier; -1 while the channel is closed.
    int descriptor() const { return socketHandle; }

    bool Active() const { return socketHandle != -1; }
    bool Connected() const { return connected; }

    static QByteArray LocalHostName();
    static QByteArray LocalHostAddr();
    // "" gives "0.0.0.0"; a text that starts with a digit must be a dotted address and is
    // never looked up; any other text is looked up as a host name (first IPv4 address).
    // An empty result means no usable address.
    static QByteArray LookupHostAddr(const QByteArray& host);
    // "" gives 0; a service name gives its port; otherwise a decimal number from 0 to
    // 65535. Throws ProgramError otherwise.
    static std::uint16_t LookupPort(const QByteArray& port);

private:
    bool connectToRemote();

    QByteArray remoteHost;
    QByteArray remotePort;
    int socketHandle = -1;
    bool connected = false;
};
