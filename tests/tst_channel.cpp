#include "ProgramError.h"
#include "TcpClientChannel.h"
#include "channel_listener.h"
#include "local_machine.h"

#include <QElapsedTimer>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? value : -1;
}

bool closeOnExec(int fd) {
    return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

QString connectError(TcpClientChannel& channel) {
    try {
        channel.Connect();
    } catch (const ProgramError& e) {
        return e.message();
    }
    return {};
}

} // namespace

class TestChannel : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A send that raised SIGPIPE must end this process, not pass unnoticed.
        std::signal(SIGPIPE, SIG_DFL);
    }

    void init() { TcpChannelBounds() = ChannelBounds{}; }

    void lookupPort_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("port");
        QTest::newRow("empty") << QByteArray() << 0;
        QTest::newRow("decimal") << QByteArray("999") << 999;
        QTest::newRow("zero") << QByteArray("0") << 0;
        QTest::newRow("highest") << QByteArray("65535") << 65535;
        QTest::newRow("leading zeros") << QByteArray("00999") << 999;
        QTest::newRow("service ftp") << QByteArray("ftp") << 21;
    }
    void lookupPort() {
        QFETCH(QByteArray, text);
        QFETCH(int, port);
        if (!text.isEmpty() && !std::isdigit(text[0]) && !::getservbyname(text, nullptr))
            QSKIP("the service database lacks this name (is netbase installed?)");
        QCOMPARE(TcpClientChannel::LookupPort(text), port);
    }

    // A text that is no port makes Connect raise at once: the socket is made, no connect
    // is attempted (not even to the port a 16-bit wrap would give), nothing is resolved.
    void connectRefusesBadPort_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("wrapped");
        const auto number = [](const char* t) {
            return QStringLiteral("''%1'' is not a valid integer value").arg(t);
        };
        const auto range = [](const char* t) {
            return QStringLiteral("''%1'' is not a valid port number").arg(t);
        };
        QTest::newRow("66535") << QByteArray("66535") << range("66535") << 999;
        QTest::newRow("-1") << QByteArray("-1") << range("-1") << 65535;
        QTest::newRow("huge") << QByteArray("99999999999999999999") << range("99999999999999999999")
                              << -1;
        QTest::newRow("abc") << QByteArray("abc") << number("abc") << -1;
        QTest::newRow("trailing letter") << QByteArray("99a") << number("99a") << -1;
        QTest::newRow("space") << QByteArray(" 999") << number(" 999") << -1;
        QTest::newRow("sign only") << QByteArray("-") << number("-") << -1;
        QTest::newRow("percent") << QByteArray("%s%1") << number("%s%1") << -1;
    }
    void connectRefusesBadPort() {
        QFETCH(QByteArray, text);
        QFETCH(QString, message);
        QFETCH(int, wrapped);
        std::optional<ChannelListener> trap;
        if (wrapped >= 0) {
            trap.emplace(std::uint16_t(wrapped));
            if (!trap->listening())
                QSKIP(qPrintable(QStringLiteral("cannot listen on port %1").arg(wrapped)));
        }
        TcpClientChannel channel("127.0.0.1", text);
        QCOMPARE(connectError(channel), message);
        QVERIFY(channel.Active());
        QVERIFY(!channel.Connected());
        if (trap)
            QVERIFY(!trap->pending(200));
        QCOMPARE(connectError(channel), message); // the next Connect refuses it the same way
    }

    void lookupHostAddr_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("dotted");
        QTest::newRow("empty") << QByteArray() << QByteArray("0.0.0.0");
        QTest::newRow("dotted") << QByteArray("127.0.0.1") << QByteArray("127.0.0.1");
        QTest::newRow("localhost") << QByteArray("localhost") << QByteArray("127.0.0.1");
        // A leading digit is never looked up; only four plain decimal numbers are an address,
        // kept as written.
        QTest::newRow("digit name") << QByteArray("1nosuchhost") << QByteArray();
        QTest::newRow("highest octet") << QByteArray("10.255.0.9") << QByteArray("10.255.0.9");
        QTest::newRow("zero octets") << QByteArray("127.0.0.0") << QByteArray("127.0.0.0");
        QTest::newRow("bad octet") << QByteArray("127.0.0.256") << QByteArray();
        QTest::newRow("broadcast") << QByteArray("255.255.255.255") << QByteArray();
        QTest::newRow("octal octet") << QByteArray("10.1.0.010") << QByteArray();
        QTest::newRow("zero-padded") << QByteArray("127.000.000.001") << QByteArray();
        QTest::newRow("hex") << QByteArray("0x0a.1") << QByteArray();
        QTest::newRow("hex octet") << QByteArray("127.0.0.0x1") << QByteArray();
        QTest::newRow("short form") << QByteArray("127.1") << QByteArray();
        QTest::newRow("one number") << QByteArray("2130706433") << QByteArray();
        QTest::newRow("five numbers") << QByteArray("127.0.0.1.1") << QByteArray();
        QTest::newRow("empty octet") << QByteArray("127..0.1") << QByteArray();
        QTest::newRow("trailing dot") << QByteArray("127.0.0.1.") << QByteArray();
        QTest::newRow("sign") << QByteArray("127.0.0.+1") << QByteArray();
        QTest::newRow("space") << QByteArray("127.0.0.1 ") << QByteArray();
    }
    void lookupHostAddr() {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, dotted);
        QCOMPARE(TcpClientChannel::LookupHostAddr(host), dotted);
    }

    void localHost() {
        QVERIFY(!MachineAddress().isEmpty());
        QCOMPARE(TcpClientChannel::LocalHostName(), MachineName());
        QCOMPARE(TcpClientChannel::LocalHostAddr(), MachineAddress());
    }

    // Connects, then moves bytes both ways and checks they are the connection's own.
    void connectsAndTalks_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("port"); // empty: the listener's free port as a number
        QTest::addColumn<int>("listenPort");
        QTest::newRow("numeric") << QByteArray("127.0.0.1") << QByteArray() << 0;
        QTest::newRow("host name") << QByteArray("localhost") << QByteArray() << 0;
        QTest::newRow("service name") << QByteArray("127.0.0.1") << QByteArray("ftp") << 21;
    }
    void connectsAndTalks() {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, port);
        QFETCH(int, listenPort);
        if (!port.isEmpty() && !std::isdigit(port[0]) && !::getservbyname(port, nullptr))
            QSKIP("the service database lacks this name (is netbase installed?)");
        const ChannelListener listener{std::uint16_t(listenPort)};
        if (!listener.listening())
            QSKIP(qPrintable(QStringLiteral("cannot listen on port %1").arg(listenPort)));
        TcpClientChannel channel(host, port.isEmpty() ? listener.portText() : port);
        QVERIFY(channel.Connect());
        QVERIFY(channel.Active());
        QVERIFY(channel.Connected());
        QVERIFY(channelBlocking(channel.descriptor()));
        QVERIFY(closeOnExec(channel.descriptor()));
        ChannelFd peer = listener.accept();
        QVERIFY(peer.valid());
        QCOMPARE(channelPeerPort(peer.get()), channelLocalPort(channel.descriptor()));

        const QByteArray header("\x01\x00\x02\x00\xff\xfe\x00\x10\x00\x00\x30\x00", 12);
        QCOMPARE(channel.SendBuf(header.constData(), int(header.size()), 0), 12);
        QCOMPARE(channelReadExactly(peer.get(), 12), header);

        QVERIFY(channelWriteAll(peer.get(), "ready"));
        char reply[256];
        QTRY_VERIFY(channel.ReplyWaiting());
        QCOMPARE(channel.ReceiveBuf(reply, sizeof reply, 0), 5);
        QCOMPARE(QByteArray(reply, 5), QByteArray("ready"));

        QVERIFY(channel.Connect()); // already connected: nothing new
        QVERIFY(!listener.pending(100));
    }

    void settersCloseOnlyOnChange_data() {
        QTest::addColumn<bool>("setHost");
        QTest::addColumn<bool>("sameText");
        QTest::newRow("same host") << true << true;
        QTest::newRow("other host") << true << false;
        QTest::newRow("same port") << false << true;
        QTest::newRow("other port") << false << false;
    }
    void settersCloseOnlyOnChange() {
        QFETCH(bool, setHost);
        QFETCH(bool, sameText);
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        const int fd = channel.descriptor();

        // "localhost" names the same machine but is another text.
        if (setHost)
            channel.setRemoteHost(sameText ? QByteArray("127.0.0.1") : QByteArray("localhost"));
        else
            channel.setRemotePort(sameText ? listener.portText() : QByteArray("0999"));

        if (sameText) {
            QVERIFY(channel.Connected());
            QCOMPARE(channel.descriptor(), fd);
            QCOMPARE(channel.SendBuf("x", 1, 0), 1);
            QCOMPARE(channelReadExactly(peer.get(), 1), QByteArray("x"));
        } else {
            QVERIFY(!channel.Connected());
            QVERIFY(!channel.Active());
            QCOMPARE(channel.descriptor(), -1);
            QCOMPARE(channelReadExactly(peer.get(), 1), QByteArray()); // the peer saw the close
        }
    }

    // Close is harmless on a closed channel and never closes a descriptor twice.
    void closeIsIdempotent() {
        TcpClientChannel idle;
        idle.Disconnect();
        idle.Close();
        QVERIFY(!idle.Active());

        ChannelListener listener;
        TcpClientChannel channel("127.0.0.1", listener.portText());
        QVERIFY(channel.Connect());
        const int fd = channel.descriptor();
        channel.Disconnect();
        QVERIFY(!channel.Connected());
        QVERIFY(!channel.Active());
        ChannelFd reused(::dup(STDIN_FILENO)); // likely takes the freed number
        channel.Disconnect();
        channel.Close();
        QVERIFY(::fcntl(reused.get(), F_GETFD) != -1);
        if (reused.get() == fd)
            QVERIFY(::fcntl(fd, F_GETFD) != -1);
        QVERIFY(channel.ReplyWaiting()); // a receive would fail at once
        char byte;
        QCOMPARE(channel.ReceiveBuf(&byte, 1, 0), -1);
        QCOMPARE(channel.SendBuf("x", 1, 0), -1);
    }

    void destructionCloses() {
        ChannelListener listener;
        ChannelFd peer;
        {
            TcpClientChannel channel("127.0.0.1", listener.portText());
            QVERIFY(channel.Connect());
            peer = listener.accept();
            QVERIFY(peer.valid());
        }
        pollfd ready{peer.get(), POLLIN, 0};
        QVERIFY2(::poll(&ready, 1, 5000) == 1, "the peer never learnt of the close");
        char byte;
        QCOMPARE(::recv(peer.get(), &byte, 1, 0), ssize_t(0));
    }

    void peerCloseKeepsConnected() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        QVERIFY(channelWriteAll(peer.get(), "last words"));
        peer.reset();

        char reply[256];
        QTRY_VERIFY(channel.ReplyWaiting());
        QCOMPARE(channel.ReceiveBuf(reply, sizeof reply, 0), 10);
        for (int i = 0; i < 3; ++i) {
            QVERIFY(channel.ReplyWaiting()); // so the receive below cannot block
            QCOMPARE(channel.ReceiveBuf(reply, sizeof reply, 0), 0);
            QVERIFY(channel.Connected());
            QVERIFY(channel.Active());
        }
    }

    void replyWaiting() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        QVERIFY(!channel.ReplyWaiting());
        QVERIFY(channelWriteAll(peer.get(), QByteArray("0x30000000\0", 11)));
        QTRY_VERIFY(channel.ReplyWaiting());
        char reply[256];
        QCOMPARE(channel.ReceiveBuf(reply, sizeof reply, 0), 11);
        QVERIFY(!channel.ReplyWaiting());
    }

    // A large buffer arrives whole and in order while the peer reads it in small bites.
    void sendsWholeBuffer() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        const QByteArray image = channelPattern(6 * 1024 * 1024 + 13);
        QByteArray received;
        std::thread reader([&] { received = channelReadExactly(peer.get(), image.size()); });
        const int sent = channel.SendBuf(image.constData(), int(image.size()), 0);
        reader.join();
        QCOMPARE(sent, int(image.size()));
        QVERIFY(received == image);
    }

    void sendToGonePeerFails_data() {
        QTest::addColumn<bool>("reset");
        QTest::newRow("orderly close") << false;
        QTest::newRow("reset") << true;
    }
    void sendToGonePeerFails() {
        QFETCH(bool, reset);
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        if (reset)
            peer.abort();
        else
            peer.reset();
        QTRY_VERIFY(channel.ReplyWaiting());
        // The first bytes after an orderly close may still be taken; the reset they draw
        // fails every later send.
        const QByteArray block = channelPattern(64 * 1024);
        int result = 0;
        for (int i = 0; i < 50 && result != -1; ++i) {
            result = channel.SendBuf(block.constData(), int(block.size()), 0);
            if (result != -1)
                QTest::qWait(20);
        }
        QCOMPARE(result, -1);
        // Once the reset is consumed, sends meet a broken pipe, which must not raise SIGPIPE.
        QCOMPARE(channel.SendBuf(block.constData(), int(block.size()), 0), -1);
        QCOMPARE(channel.SendBuf("x", 1, 0), -1);
        QVERIFY(channel.Connected()); // only Close clears it
    }

    // Once a connection stands, by either connect, TCP itself watches for an encoder that
    // vanishes: keepalive probes and a user timeout, as the bounds say.
    void connectionWatchedForLoss_data() {
        QTest::addColumn<bool>("waiting");
        QTest::newRow("Connect") << true;
        QTest::newRow("StartConnect") << false;
    }
    void connectionWatchedForLoss() {
        QFETCH(bool, waiting);
        TcpChannelBounds().userTimeout = 7500ms;
        TcpChannelBounds().keepAliveIdle = 3s;
        TcpChannelBounds().keepAliveInterval = 2s;
        TcpChannelBounds().keepAliveProbes = 5;
        ChannelListener listener;
        TcpClientChannel channel("127.0.0.1", listener.portText());
        if (waiting) {
            QVERIFY(channel.Connect());
        } else {
            ConnectProgress progress = channel.StartConnect();
            for (int i = 0; i < 500 && progress == ConnectProgress::InProgress; ++i) {
                std::this_thread::sleep_for(10ms);
                progress = channel.FinishConnect();
            }
            QCOMPARE(progress, ConnectProgress::Connected);
        }
        const int fd = channel.descriptor();
        QCOMPARE(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 3);
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 5);
        QCOMPARE(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 7500);
    }

    // How long a vanished encoder can go unnoticed: unacknowledged bytes are given up the user
    // timeout after their first retransmission (the image may start a pause after the
    // header), a quiet connection at the first keepalive probe past it, and never before a
    // probe has gone unanswered.
    void vanishedEncoderBound_data() {
        QTest::addColumn<int>("userTimeoutMs");
        QTest::addColumn<int>("idleS");
        QTest::addColumn<int>("intervalS");
        QTest::addColumn<int>("boundMs");
        QTest::newRow("the program's") << 45000 << 10 << 5 << 47000;
        QTest::newRow("probes past the user timeout") << 2000 << 2 << 3 << 5000;
        QTest::newRow("a long idle") << 3000 << 20 << 5 << 25000;
        QTest::newRow("no whole number of intervals") << 12000 << 2 << 7 << 16000;
    }
    void vanishedEncoderBound() {
        QFETCH(int, userTimeoutMs);
        QFETCH(int, idleS);
        QFETCH(int, intervalS);
        QFETCH(int, boundMs);
        ChannelBounds bounds;
        bounds.userTimeout = std::chrono::milliseconds(userTimeoutMs);
        bounds.keepAliveIdle = std::chrono::seconds(idleS);
        bounds.keepAliveInterval = std::chrono::seconds(intervalS);
        QCOMPARE(VanishedEncoderBound(bounds).count(), boundMs);
    }

    // The encoder is found within a minute at any stage, and a send it stops taking fails
    // before TCP would give up on it.
    void programBoundsAddUp() {
        const ChannelBounds bounds;
        QVERIFY(VanishedEncoderBound(bounds) < 60s);
        QVERIFY(bounds.sendStall <= bounds.userTimeout);
        QCOMPARE(bounds.keepAliveIdle + bounds.keepAliveInterval * bounds.keepAliveProbes,
                 std::chrono::duration_cast<std::chrono::seconds>(bounds.userTimeout));
    }

    // What the peer has not read stays unacknowledged only as long as it is in flight: bytes
    // the peer's system has taken count as acknowledged, read or not; a reset shows as a
    // failed connection, and the count stays.
    void unacknowledgedBytes() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        QCOMPARE(channel.UnacknowledgedBytes(), 0);
        QVERIFY(!channel.ConnectionFailed());
        QCOMPARE(channel.SendSome("abcdefghijkl", 12), 12);
        QElapsedTimer clock;
        clock.start();
        while (channel.UnacknowledgedBytes() != 0 && clock.elapsed() < 5000)
            std::this_thread::sleep_for(1ms);
        QCOMPARE(channel.UnacknowledgedBytes(), 0);
        QVERIFY(!channel.EncoderSilent());
        peer.abort();
        clock.restart();
        while (!channel.ConnectionFailed() && clock.elapsed() < 5000)
            std::this_thread::sleep_for(1ms);
        QVERIFY(channel.ConnectionFailed());
        QCOMPARE(channel.UnacknowledgedBytes(), 0);
        QCOMPARE(channel.ConnectionError(), ECONNRESET);
        QVERIFY(!channel.EncoderSilent());
        channel.Close();
        QCOMPARE(channel.UnacknowledgedBytes(), -1);
        QVERIFY(channel.ConnectionFailed());
    }

    // A peer that never reads stalls the send; the bound ends it with -1.
    void sendStallBound() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        TcpChannelBounds().sendStall = 300ms;
        const QByteArray flood(64 * 1024 * 1024, 'x');
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(channel.SendBuf(flood.constData(), int(flood.size()), 0), -1);
        const qint64 took = clock.elapsed();
        QVERIFY2(took >= 250 && took < 20000, qPrintable(QString::number(took)));
        QVERIFY(channel.Connected());

        // Closing with the image stuck in the queue resets the connection, so the peer learns
        // at once that no more is coming instead of waiting behind the unsent bytes.
        channel.Close();
        char sink[65536];
        ssize_t got = 0;
        QElapsedTimer reading;
        reading.start();
        do {
            pollfd ready{peer.get(), POLLIN, 0};
            QVERIFY(::poll(&ready, 1, 5000) == 1);
            got = ::recv(peer.get(), sink, sizeof sink, 0);
        } while (got > 0 && reading.elapsed() < 10000);
        QCOMPARE(got, ssize_t(-1));
        QCOMPARE(errno, ECONNRESET);
    }
};

QTEST_GUILESS_MAIN(TestChannel)
#include "tst_channel.moc"
