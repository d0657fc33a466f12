// The channel's operations that never wait: StartConnect / FinishConnect and SendSome, with
// which one thread follows many encoders.

#include "ProgramError.h"
#include "TcpClientChannel.h"
#include "channel_listener.h"

#include <QElapsedTimer>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>

using namespace std::chrono_literals;

namespace {

bool writableWithin(int fd, int ms) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, ms) > 0;
}

// Finishes a started connect the way an event loop would: on writability or the bound.
ConnectProgress finishWithin(TcpClientChannel& channel, int ms) {
    QElapsedTimer clock;
    clock.start();
    ConnectProgress progress = ConnectProgress::InProgress;
    while (progress == ConnectProgress::InProgress && clock.elapsed() < ms) {
        writableWithin(channel.descriptor(), 20);
        progress = channel.FinishConnect();
    }
    return progress;
}

// The connect as a row names it: started and finished here, or the waiting Connect that wraps
// the same steps.
ConnectProgress connectAs(TcpClientChannel& channel, bool started) {
    if (!started)
        return channel.Connect() ? ConnectProgress::Connected : ConnectProgress::Failed;
    const ConnectProgress progress = channel.StartConnect();
    return progress == ConnectProgress::InProgress ? finishWithin(channel, 5000) : progress;
}

// Sends with SendSome until it takes nothing more; the count taken, or -1 on a failure.
qint64 fillSendPath(TcpClientChannel& channel, const QByteArray& block) {
    qint64 taken = 0;
    for (int calls = 0; calls < 100'000; ++calls) {
        const int n = channel.SendSome(block.constData(), int(block.size()));
        if (n < 0)
            return -1;
        if (n == 0)
            return taken;
        taken += n;
    }
    return taken;
}

} // namespace

class TestChannelAsync : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        // A send that raised SIGPIPE must end this process, not pass unnoticed.
        std::signal(SIGPIPE, SIG_DFL);
    }

    void init() { TcpChannelBounds() = ChannelBounds{}; }

    // The started connect stands; afterwards the socket is blocking again, as after Connect,
    // and carries bytes both ways.
    void startConnectStands() {
        ChannelListener listener;
        QVERIFY(listener.listening());
        TcpClientChannel channel("127.0.0.1", listener.portText());
        const ConnectProgress started = channel.StartConnect();
        QVERIFY(started != ConnectProgress::Failed);
        QVERIFY(channel.Active());
        QCOMPARE(finishWithin(channel, 5000), ConnectProgress::Connected);
        QVERIFY(channel.Connected());
        QVERIFY(channelBlocking(channel.descriptor()));
        QCOMPARE(channel.ConnectError(), 0);
        QCOMPARE(channel.ConnectTimeLeft(), 0ms);
        QCOMPARE(channel.StartConnect(), ConnectProgress::Connected); // nothing new
        ChannelFd peer = listener.accept();
        QVERIFY(peer.valid());
        QCOMPARE(channelPeerPort(peer.get()), channelLocalPort(channel.descriptor()));
        QVERIFY(!listener.pending(100));

        QCOMPARE(channel.SendSome("\x00\x01\x02", 3), 3);
        QCOMPARE(channelReadExactly(peer.get(), 3), QByteArray("\x00\x01\x02", 3));
        QVERIFY(channelWriteAll(peer.get(), "ok"));
        QTRY_VERIFY(channel.ReplyWaiting());
        char reply[8];
        QCOMPARE(channel.ReceiveBuf(reply, sizeof reply, 0), 2);
    }

    // A refusal fails the connect with the platform's reason and leaves the channel open,
    // blocking, and the same socket is tried again next time; receives and sends fail at once.
    void refusedConnect_data() {
        QTest::addColumn<bool>("started"); // StartConnect; else the waiting Connect
        QTest::newRow("started") << true;
        QTest::newRow("waiting") << false;
    }
    void refusedConnect() {
        QFETCH(bool, started);
        const std::uint16_t port = channelDeadPort();
        TcpClientChannel channel("127.0.0.1", QByteArray::number(port));
        QCOMPARE(connectAs(channel, started), ConnectProgress::Failed);
        QCOMPARE(channel.ConnectError(), ECONNREFUSED);
        QVERIFY(channel.Active());
        QVERIFY(!channel.Connected());
        QVERIFY(channelBlocking(channel.descriptor()));
        QCOMPARE(channel.FinishConnect(), ConnectProgress::Failed); // none under way
        QVERIFY(channel.ReplyWaiting());
        char byte;
        QCOMPARE(channel.ReceiveBuf(&byte, 1, 0), -1);
        QCOMPARE(channel.SendBuf("x", 1, 0), -1);
        const int fd = channel.descriptor();

        ChannelListener listener(port);
        if (!listener.listening())
            QSKIP("the dead port was taken meanwhile");
        QCOMPARE(connectAs(channel, started), ConnectProgress::Connected);
        QCOMPARE(channel.descriptor(), fd);
        QCOMPARE(channel.ConnectError(), 0);
        ChannelFd peer = listener.accept();
        QVERIFY(peer.valid());
        QCOMPARE(channelPeerPort(peer.get()), channelLocalPort(fd));
    }

    // No usable address fails at once, before anything is sent to the network; receives and
    // sends then fail at once too.
    void noUsableAddress_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<QByteArray>("port"); // "*": the listener's port
        QTest::addColumn<bool>("started");    // StartConnect; else the waiting Connect
        QTest::newRow("empty host") << QByteArray() << QByteArray("*") << true;
        QTest::newRow("0.0.0.0") << QByteArray("0.0.0.0") << QByteArray("*") << true;
        QTest::newRow("0") << QByteArray("0") << QByteArray("*") << true;
        QTest::newRow("digit name") << QByteArray("1nosuchhost") << QByteArray("*") << true;
        QTest::newRow("bad octet") << QByteArray("127.0.0.256") << QByteArray("*") << true;
        QTest::newRow("empty port") << QByteArray("127.0.0.1") << QByteArray() << true;
        QTest::newRow("port 0") << QByteArray("127.0.0.1") << QByteArray("0") << true;
        QTest::newRow("0.0.0.0, waiting") << QByteArray("0.0.0.0") << QByteArray("*") << false;
        QTest::newRow("empty port, waiting") << QByteArray("127.0.0.1") << QByteArray() << false;
    }
    void noUsableAddress() {
        QFETCH(QByteArray, host);
        QFETCH(QByteArray, port);
        QFETCH(bool, started);
        ChannelListener listener;
        TcpClientChannel channel(host, port == "*" ? listener.portText() : port);
        QCOMPARE(connectAs(channel, started), ConnectProgress::Failed);
        QCOMPARE(channel.ConnectError(), EADDRNOTAVAIL);
        QVERIFY(channel.Active());
        QVERIFY(!channel.Connected());
        QVERIFY(channelBlocking(channel.descriptor()));
        QVERIFY(!listener.pending(200));
        QVERIFY(channel.ReplyWaiting());
        char byte;
        QCOMPARE(channel.ReceiveBuf(&byte, 1, 0), -1);
        QCOMPARE(channel.SendBuf("x", 1, 0), -1);
    }

    // Under the test suite the channel reaches this machine only: a connect elsewhere fails
    // at once, before anything is sent, waiting or not; every loopback address still goes.
    void loopbackGuard_data() {
        QTest::addColumn<QByteArray>("host");
        QTest::addColumn<bool>("started"); // StartConnect; else the waiting Connect
        QTest::addColumn<int>("error");    // 0: connected to the listener
        const int guard = TcpClientChannel::LoopbackGuardError;
        QTest::newRow("documentation address") << QByteArray("192.0.2.1") << false << guard;
        QTest::newRow("documentation address, started") << QByteArray("192.0.2.1") << true << guard;
        QTest::newRow("127.0.0.1") << QByteArray("127.0.0.1") << false << 0;
        QTest::newRow("127.0.0.1, started") << QByteArray("127.0.0.1") << true << 0;
        QTest::newRow("localhost, started") << QByteArray("localhost") << true << 0;
        QTest::newRow("127.0.0.2, where nothing listens")
            << QByteArray("127.0.0.2") << true << int(ECONNREFUSED);
    }
    void loopbackGuard() {
        QFETCH(QByteArray, host);
        QFETCH(bool, started);
        QFETCH(int, error);
        // Without the guard, a row would send to the network: never run it so.
        QVERIFY2(TcpClientChannel::LoopbackOnly(),
                 "FWUPGRADE_LOOPBACK_ONLY is not set (ctest sets it for every test)");
        ChannelListener listener;
        QVERIFY(listener.listening());
        TcpClientChannel channel(host, listener.portText());
        QElapsedTimer clock;
        clock.start();
        const ConnectProgress progress = connectAs(channel, started);
        QCOMPARE(channel.ConnectError(), error);
        QCOMPARE(progress == ConnectProgress::Connected, error == 0);
        QCOMPARE(channel.Connected(), error == 0);
        if (error == TcpClientChannel::LoopbackGuardError)
            QVERIFY2(clock.elapsed() < 50, qPrintable(QString::number(clock.elapsed())));
        if (error == 0)
            QVERIFY(listener.accept().valid());
        else
            QVERIFY(!listener.pending(0));
    }

    // A text that is no port raises the same error as Connect, and nothing is attempted.
    void badPortRaises() {
        TcpClientChannel channel("127.0.0.1", "abc");
        QString message;
        try {
            channel.StartConnect();
        } catch (const ProgramError& error) {
            message = error.message();
        }
        QCOMPARE(message, QStringLiteral("''abc'' is not a valid integer value"));
        QVERIFY(channel.Active());
        QVERIFY(!channel.Connected());
    }

    // A connect left hanging by a listener that never accepts stays InProgress, without
    // waiting, until the bound (the waiting Connect waits for it); then it fails, saying so,
    // and the socket can be used again.
    void connectBound_data() {
        QTest::addColumn<bool>("started"); // StartConnect; else the waiting Connect
        QTest::newRow("started") << true;
        QTest::newRow("waiting") << false;
    }
    void connectBound() {
        QFETCH(bool, started);
        ChannelListener listener(0, 0);
        QVERIFY(listener.listening());
        auto fillers = channelFillBacklog(listener.port());
        if (fillers.empty())
            QSKIP("the listener's backlog never filled: connects are not held up here");
        TcpChannelBounds().connect = 400ms;
        TcpClientChannel channel("127.0.0.1", listener.portText());
        QElapsedTimer clock;
        clock.start();
        if (started) {
            QCOMPARE(channel.StartConnect(), ConnectProgress::InProgress);
            QCOMPARE(channel.FinishConnect(), ConnectProgress::InProgress);
            const auto left = channel.ConnectTimeLeft();
            QVERIFY2(left > 0ms && left <= 400ms, qPrintable(QString::number(left.count())));
        }
        QCOMPARE(connectAs(channel, started), ConnectProgress::Failed);
        QVERIFY2(clock.elapsed() >= 380 && clock.elapsed() < 5000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(channel.ConnectError(), TcpClientChannel::ConnectBoundError);
        QCOMPARE(channel.ConnectTimeLeft(), 0ms);
        QVERIFY(channel.Active());
        QVERIFY(!channel.Connected());
        QVERIFY(channelBlocking(channel.descriptor()));
        const int fd = channel.descriptor();

        fillers.clear();
        while (listener.accept(50).valid()) {
        }
        TcpChannelBounds().connect = 5s;
        QVERIFY(channel.Connect()); // the waiting connect takes the same socket on
        QCOMPARE(channel.descriptor(), fd);
    }

    // Closing a channel whose connect is under way ends the attempt.
    void closeWhileConnecting() {
        ChannelListener listener(0, 0);
        QVERIFY(listener.listening());
        auto fillers = channelFillBacklog(listener.port());
        if (fillers.empty())
            QSKIP("the listener's backlog never filled: connects are not held up here");
        TcpClientChannel channel("127.0.0.1", listener.portText());
        QCOMPARE(channel.StartConnect(), ConnectProgress::InProgress);
        channel.Close();
        QVERIFY(!channel.Active());
        QCOMPARE(channel.descriptor(), -1);
        QCOMPARE(channel.FinishConnect(), ConnectProgress::Failed);
        QCOMPARE(channel.ConnectTimeLeft(), 0ms);
    }

    // SendSome never waits: against a peer that does not read it takes bytes until the path
    // is full, then 0; once the peer reads, it takes more; every byte arrives in order.
    void sendSomeNeverWaits() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        const QByteArray block = channelPattern(1 << 20);
        const qint64 taken = fillSendPath(channel, block);
        QVERIFY2(taken > 0, qPrintable(QString::number(taken)));
        QCOMPARE(channel.SendSome(block.constData(), int(block.size())), 0);
        QVERIFY(channel.Connected());

        // What went in arrives as the block's bytes, repeated; once it is all read, the path
        // has room again.
        const QByteArray arrived = channelReadExactly(peer.get(), taken);
        QCOMPARE(arrived.size(), taken);
        QVERIFY(arrived.startsWith(block.first(std::min<qsizetype>(taken, block.size()))));
        QVERIFY(writableWithin(channel.descriptor(), 5000));
        QVERIFY(channel.SendSome(block.constData(), int(block.size())) > 0);
    }

    void sendSomeEdgeCases() {
        ChannelListener listener;
        TcpClientChannel channel("127.0.0.1", listener.portText());
        QCOMPARE(channel.SendSome("x", 1), -1); // not connected
        QVERIFY(channel.Connect());
        ChannelFd peer = listener.accept();
        QCOMPARE(channel.SendSome("x", 0), 0);
        QCOMPARE(channel.SendSome("x", -1), -1);
        QCOMPARE(channelReadExactly(peer.get(), 1, 200), QByteArray());
    }

    // A peer that reset the connection makes SendSome fail with -1, never with SIGPIPE.
    void sendSomeToGonePeer() {
        ChannelPair pair;
        QVERIFY(pair.open());
        auto& [listener, channel, peer] = pair;
        peer.abort();
        const QByteArray block = channelPattern(64 * 1024);
        int result = 0;
        for (int i = 0; i < 1000 && result >= 0; ++i) {
            result = channel.SendSome(block.constData(), int(block.size()));
            if (result == 0)
                writableWithin(channel.descriptor(), 50);
        }
        QCOMPARE(result, -1);
        QVERIFY(channel.Connected()); // only Close clears it
    }
};

QTEST_GUILESS_MAIN(TestChannelAsync)
#include "tst_channel_async.moc"
