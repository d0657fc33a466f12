// One encoder's whole upgrade through UpgradeSession against encoder-sim on loopback: every
// way an upgrade ends, the bytes on the wire, and the event loop left free throughout.

#include "FirmwareImage.h"
#include "SendPacer.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "loop_probe.h"
#include "sim_test_client.h"
#include "upgrade_test_support.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

using namespace UpgradeLogLines;

namespace {

// Fast pacing over a 1,000-byte image: 3 counts, 5 addresses, 3 counts.
QStringList Fast(const QStringList& fault = {}) {
    return QStringList{"--gap-ms",     "1",        "--receive-step", "400",
                       "--erase-step", "0x100000", "--program-step", "400"} +
           fault;
}

enum class Action { None, StopInPause, SmallSendBuffer };

} // namespace

class TestUpgradeSession : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { TcpChannelBounds() = ChannelBounds{}; }

    void endings_data() {
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("silenceMs");
        QTest::addColumn<int>("wholeMs");
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("upgradeLog");
        QTest::addColumn<qint64>("bytesReceived");
        const auto row = [](const char* name, const QStringList& sim, int length, int silenceMs,
                            int wholeMs, Action action, UpgradeEndKind kind, const QString& text,
                            const QStringList& upgradeLog, qint64 received) {
            QTest::newRow(name) << sim << length << silenceMs << wholeMs << int(action) << int(kind)
                                << text << upgradeLog << received;
        };
        const QString noReply = QString(UpgradeLog::NoReplyFor).arg("0.3");
        const QString tooLong = QString(UpgradeLog::TookTooLong).arg("1.6");

        // The simulator answers the header at once, before the image: nothing is acted on
        // until the image has gone.
        row("complete", Fast(), 1000, 0, 0, Action::None, UpgradeEndKind::Success, "", {H, P, W, A},
            1000);
        row("empty image", Fast(), 0, 0, 0, Action::None, UpgradeEndKind::Success, "", {H, P, W, A},
            0);
        row("flash program fail", Fast({"--fail-at", "erase"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::ProgramFail, EncoderReply::ProgramFail, {H, P, W, A}, 1000);
        row("error text", Fast({"--error-at", "program", "--error-text", "verify failed"}), 1000, 0,
            0, Action::None, UpgradeEndKind::EncoderError, "verify failed",
            {H, P, W, "verify failed", A}, 1000);
        row("error, then close before its text",
            Fast({"--error-at", "erase", "--close-after-replies", "6"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::EncoderError, "", {H, P, W, Lost, A}, 1000);
        row("connection lost", Fast({"--close-at", "program"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::ConnectionLost, "", {H, P, W, Lost, A}, 1000);
        row("connection reset", Fast({"--reset-at", "erase"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::ConnectionLost, "", {H, P, W, Lost, A}, 1000);
        row("not reachable", {"--refuse"}, 1000, 0, 0, Action::None, UpgradeEndKind::NotReachable,
            "connection refused", {}, -1);
        row("send stalls", Fast({"--stop-reading-after", "1000"}), MaxImageSize, 0, 0,
            Action::SmallSendBuffer, UpgradeEndKind::SendFailed,
            "the image: the encoder took no byte for 0.3 s", {H, P, Failed, A}, 1000);
        // The encoder rejects the header and closes while a large image goes out: its words,
        // not the broken pipe, are why.
        row("header rejected during a large image",
            Fast({"--error-at", "header", "--error-text", "image too long", "--close-after-replies",
                  "2"}),
            MaxImageSize, 0, 0, Action::None, UpgradeEndKind::EncoderError, "image too long", {},
            -2);
        row("no answer", Fast({"--silent-at", "erase"}), 1000, 300, 0, Action::None,
            UpgradeEndKind::NoAnswer, "no reply from the encoder for 0.3 s", {H, P, W, noReply, A},
            1000);
        row("whole bound", Fast({"--silent-at", "program"}), 1000, 0, 1600, Action::None,
            UpgradeEndKind::TimedOut, "not done within 1.6 s", {H, P, W, tooLong, A}, 1000);
        row("encoder closes in the pause", Fast({"--close-at", "header"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::ConnectionLost, "", {H, P, Lost, A}, -2);
        row("stopped in the pause", Fast(), 1000, 0, 0, Action::StopInPause,
            UpgradeEndKind::Interrupted, "operator", {H, A}, 0);
        // Once the image has gone, the first reply reaches the client in two segments 50 ms
        // apart: it is still one reply. Replies without zero bytes are still told apart.
        row("reply split by the network",
            Fast({"--after-image", "--split-replies", "--gap-ms", "50"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::Success, "", {H, P, W, A}, 1000);
        row("no zero bytes", Fast({"--no-zero", "--gap-ms", "20"}), 1000, 0, 0, Action::None,
            UpgradeEndKind::Success, "", {H, P, W, A}, 1000);
        // One reply per KiB received: held while the image goes out, followed after it.
        row("replies while it receives", {"--gap-ms", "0", "--receive-step", "1024"}, MaxImageSize,
            0, 0, Action::None, UpgradeEndKind::Success, "", {H, P, W, A}, MaxImageSize);
    }

    void endings() {
        QFETCH(QStringList, simArguments);
        QFETCH(int, length);
        QFETCH(int, silenceMs);
        QFETCH(int, wholeMs);
        QFETCH(int, action);
        QFETCH(int, kind);
        QFETCH(QString, text);
        QFETCH(QStringList, upgradeLog);
        QFETCH(qint64, bytesReceived);

        SimProcess sim;
        QVERIFY(sim.start(simArguments + QStringList{"--once", "--report-line"}));
        const auto image = ImageBuffer(PatternImage(length));
        TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
        if (Action(action) == Action::SmallSendBuffer) {
            TcpChannelBounds().sendStall = std::chrono::milliseconds(300);
            QVERIFY(channel.Connect());
            const int bytes = 4096;
            QCOMPARE(
                ::setsockopt(channel.descriptor(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes), 0);
        }
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        if (silenceMs > 0)
            session.setSilenceBound(std::chrono::milliseconds(silenceMs));
        if (wholeMs > 0)
            session.setWholeBound(std::chrono::milliseconds(wholeMs));
        if (Action(action) == Action::StopInPause) {
            view.onStep = [&session](UpgradeStep step) {
                if (step == UpgradeStep::Pausing)
                    QTimer::singleShot(100, [&session] {
                        session.stop({UpgradeEndKind::Interrupted, "operator"});
                    });
            };
        }
        QSignalSpy finished(&session, &UpgradeSession::finished);
        LoopProbe probe;
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return finished.count() > 0; }, 30000));

        QCOMPARE(finished.count(), 1);
        QVERIFY(session.ended());
        QCOMPARE(UpgradeEndKindName(session.endCause().kind),
                 UpgradeEndKindName(UpgradeEndKind(kind)));
        QCOMPARE(session.endCause().text, text);
        if (bytesReceived != -2)
            QCOMPARE(view.log("memo5"), upgradeLog);
        QVERIFY(!channel.Connected());
        QVERIFY2(probe.longestGapMs() < 250, qPrintable(QString::number(probe.longestGapMs())));
        if (UpgradeEndKind(kind) == UpgradeEndKind::EncoderError && text.isEmpty())
            QCOMPARE(view.log("memo4").last(), QString(EncoderReply::Error));
        if (bytesReceived == -1)
            return; // never connected: no report
        const QJsonObject report = sim.nextReport(10000);
        QVERIFY(!report.isEmpty());
        QCOMPARE(report.value("length").toInteger(), length);
        QCOMPARE(report.value("checksum").toInteger(), qint64(image->checksum));
        if (bytesReceived >= 0)
            QCOMPARE(report.value("bytesReceived").toInteger(), bytesReceived);
        if (bytesReceived > 0)
            QVERIFY2(report.value("headerToImageMs").toDouble() >= 1000.0,
                     qPrintable(QString::number(report.value("headerToImageMs").toDouble())));
        if (UpgradeEndKind(kind) == UpgradeEndKind::Success)
            QVERIFY(report.value("complete").toBool());
    }

    // A front end that spent part of the whole bound on an earlier attempt gets only the
    // rest; the end still names the whole bound.
    void wholeBoundLessWhatWasSpent() {
        SimProcess sim;
        QVERIFY(sim.start(Fast({"--silent-at", "erase", "--once", "--report-line"})));
        const auto image = ImageBuffer(PatternImage(1000));
        TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        session.setWholeBound(std::chrono::milliseconds(2500), std::chrono::milliseconds(1200));
        QSignalSpy finished(&session, &UpgradeSession::finished);
        QElapsedTimer clock;
        clock.start();
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return finished.count() > 0; }, 10000));
        QVERIFY2(clock.elapsed() >= 1250 && clock.elapsed() < 1900,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(session.endCause().kind, UpgradeEndKind::TimedOut);
        QCOMPARE(session.endCause().text, "not done within 2.5 s");
    }
    // As the encoder's replies come, the session tells where it stands: the step, the phase,
    // its percentage, the image bytes taken, whether flash is being written, and in words.
    void saysWhereItStands() {
        UpgradeLoopbackEncoder encoder;
        QVERIFY(encoder.listening());
        const auto image = ImageBuffer(PatternImage(1000));
        TcpClientChannel channel("127.0.0.1", encoder.portText());
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        QCOMPARE(session.stage(), "connecting");
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return session.step() == UpgradeStep::Pausing; }, 5000));
        QCOMPARE(session.stage(), "pausing before the image");
        QCOMPARE(session.progress().bytesAcknowledged, 0);
        QVERIFY(encoder.accept());
        QVERIFY(QTest::qWaitFor([&] { return session.step() == UpgradeStep::Following; }, 5000));
        struct Point {
            QByteArray replies;
            int phase; // -1: none yet
            int percent;
            bool writingFlash;
            QString stage;
        };
        const Point road[] = {
            {"", -1, 100, false, "waiting for the encoder to receive the image"},
            {"start receiving image file", 0, 0, false, "receiving the image"},
            {"250", 0, 25, false, "receiving the image"},
            {"1000", 0, 100, false, "receiving the image"},
            {"erase flash program...", 1, 0, true, "erasing flash"},
            {"807403520", 1, 52, true, "erasing flash"},
            {"809304064", 1, 100, true, "erasing flash"},
            {"flash program...", 2, 0, true, "programming flash"},
            {"750", 2, 75, true, "programming flash"},
        };
        for (const Point& point : road) {
            if (!point.replies.isEmpty()) {
                const qsizetype before = view.calls.size();
                QVERIFY(encoder.send(point.replies + '\0'));
                QVERIFY(QTest::qWaitFor([&] { return view.calls.size() > before; }, 5000));
            }
            const UpgradeProgress now = session.progress();
            QCOMPARE(now.step, UpgradeStep::Following);
            QCOMPARE(now.phase ? int(*now.phase) : -1, point.phase);
            QCOMPARE(now.percent, point.percent);
            QCOMPARE(now.bytesAcknowledged, 1000);
            QCOMPARE(now.imageLength, 1000);
            QCOMPARE(now.writingFlash, point.writingFlash);
            QCOMPARE(session.stage(), point.stage);
        }
        encoder.close();
        QVERIFY(QTest::qWaitFor([&] { return session.ended(); }, 5000));
        QVERIFY(!session.progress().writingFlash);
        QCOMPARE(session.stage(), "programming flash");
        QCOMPARE(session.endDescription(), "connection to encoder lost while programming flash");
    }

    // Every end in words, here for a session stopped before it connected.
    void describesItsEnd_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("description");
        const auto row = [](const char* name, UpgradeEndKind kind, const QString& text,
                            const QString& description) {
            QTest::newRow(name) << int(kind) << text << description;
        };
        row("success", UpgradeEndKind::Success, "", "verify flash program...done");
        row("program fail", UpgradeEndKind::ProgramFail, "flash program fail",
            "flash program fail");
        row("error text", UpgradeEndKind::EncoderError, "chip gone", "*** ERROR *** chip gone");
        row("error without its text", UpgradeEndKind::EncoderError, "",
            "*** ERROR *** (the encoder closed the connection before its error text)");
        row("lost", UpgradeEndKind::ConnectionLost, "",
            "connection to encoder lost while connecting");
        row("send failed", UpgradeEndKind::SendFailed, "the header: broken pipe",
            "send to encoder failed (the header: broken pipe)");
        row("not reachable", UpgradeEndKind::NotReachable, "connection refused",
            "SERVER NOT READY (connection refused)");
        row("no answer", UpgradeEndKind::NoAnswer, "no reply from the encoder for 2 s",
            "no reply from the encoder for 2 s while connecting");
        row("timed out", UpgradeEndKind::TimedOut, "not done within 9 s",
            "not done within 9 s while connecting");
        row("interrupted", UpgradeEndKind::Interrupted, "interrupted before connecting",
            "interrupted before connecting");
    }
    void describesItsEnd() {
        QFETCH(int, kind);
        QFETCH(QString, text);
        QFETCH(QString, description);
        const auto image = ImageBuffer(PatternImage(10));
        TcpClientChannel channel("127.0.0.1", "999"); // never connected
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        session.stop({UpgradeEndKind(kind), text});
        QVERIFY(session.ended());
        QCOMPARE(session.stage(), "connecting");
        QCOMPARE(session.endDescription(), description);
    }

    // The header and the image go out as the image stood at start(), whatever happens to the
    // buffer while the connect and the pause take their time.
    void imageAsItStoodAtStart() {
        SimProcess sim;
        QVERIFY(sim.start(Fast({"--once", "--report-line"})));
        const auto image = ImageBuffer(PatternImage(1000));
        const std::uint32_t checksum = image->checksum;
        TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        QSignalSpy finished(&session, &UpgradeSession::finished);
        session.start();
        image->length = 0;
        image->checksum = 0;
        QVERIFY(QTest::qWaitFor([&] { return finished.count() > 0; }, 30000));
        QCOMPARE(UpgradeEndKindName(session.endCause().kind),
                 UpgradeEndKindName(UpgradeEndKind::Success));
        const QJsonObject report = sim.nextReport(10000);
        QCOMPARE(report.value("length").toInteger(), 1000);
        QCOMPARE(report.value("checksum").toInteger(), qint64(checksum));
        QCOMPARE(report.value("bytesReceived").toInteger(), 1000);
        QVERIFY(report.value("complete").toBool());
    }

    // abc goes out as 00 00 00 00 03 00 00 00 DA FE FF FF, then, after the pause, 61 62 63 and
    // nothing more; a byte of the buffer past the length never goes.
    void headerAndImageOnTheWire() {
        UpgradeLoopbackEncoder encoder;
        QVERIFY(encoder.listening());
        auto image = ImageBuffer(PatternImage(4));
        image->data[0] = 'a';
        image->data[1] = 'b';
        image->data[2] = 'c';
        image->data[3] = 'd';
        image->length = 3;
        image->checksum = ImageChecksum(image->data.data(), 3);
        TcpClientChannel channel("127.0.0.1", encoder.portText());
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return session.step() == UpgradeStep::Pausing; }, 5000));
        QVERIFY(encoder.accept());
        QCOMPARE(encoder.receive(12).toHex(' '), QByteArray("00 00 00 00 03 00 00 00 da fe ff ff"));
        QElapsedTimer pause;
        pause.start();
        QVERIFY(QTest::qWaitFor([&] { return session.step() == UpgradeStep::Following; }, 5000));
        QCOMPARE(encoder.receive(3), QByteArray("abc"));
        QVERIFY(pause.elapsed() >= 990);
        session.stop({UpgradeEndKind::Interrupted, {}});
        QCOMPARE(encoder.receiveRest(500), QByteArray());
    }

    // Under the test suite a host off this machine ends the upgrade at once, saying why.
    void loopbackGuardEndsAsNotReachable() {
        QVERIFY2(TcpClientChannel::LoopbackOnly(),
                 "FWUPGRADE_LOOPBACK_ONLY is not set (ctest sets it for every test)");
        const auto image = ImageBuffer(PatternImage(10));
        TcpClientChannel channel("192.0.2.1", "999");
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        QSignalSpy finished(&session, &UpgradeSession::finished);
        session.start();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(UpgradeEndKindName(session.endCause().kind), QString("not-reachable"));
        QCOMPARE(session.endCause().text,
                 QString("FWUPGRADE_LOOPBACK_ONLY is set: only loopback addresses (127.0.0.0/8) "
                         "may be reached"));
        QCOMPARE(view.calls, (QStringList{"not connected", "ended not-reachable"}));
    }

    // A slow encoder: the event loop turns throughout the image send, which waits for it. The
    // image counts as sent as the encoder acknowledges it, not as this machine's socket takes
    // it (which takes all of it at once): the progress never runs ahead of the encoder's
    // reading by more than its small receive buffer, and the replies wait for the last byte.
    void slowReaderKeepsTheLoopFree() {
        constexpr int ReadRate = 200000;
        constexpr int Length = 300000;
        SimProcess sim;
        QVERIFY(sim.start(Fast({"--read-rate", QString::number(ReadRate), "--receive-step", "65536",
                                "--once", "--report-line"})));
        const auto image = ImageBuffer(PatternImage(Length));
        TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
        UpgradeRecordingView view;
        UpgradeSession session(channel, *image, view);
        QElapsedTimer sinceImage;
        qint64 imageMs = -1;
        view.onStep = [&](UpgradeStep step) {
            if (step == UpgradeStep::SendingImage)
                sinceImage.start();
            else if (step == UpgradeStep::Following)
                imageMs = sinceImage.elapsed();
        };
        qint64 mostAhead = 0;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, [&] {
            if (session.step() == UpgradeStep::SendingImage)
                mostAhead = std::max(mostAhead, session.imageBytesSent() -
                                                    sinceImage.elapsed() * ReadRate / 1000);
        });
        sampler.start(20);
        LoopProbe probe;
        QElapsedTimer clock;
        clock.start();
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return session.ended(); }, 30000));
        QCOMPARE(UpgradeEndKindName(session.endCause().kind), QString("success"));
        QVERIFY2(clock.elapsed() >= 2400, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(probe.longestGapMs() < 250, qPrintable(QString::number(probe.longestGapMs())));
        QVERIFY2(imageMs >= 1200, qPrintable(QString::number(imageMs)));
        QVERIFY2(mostAhead < 64 * 1024, qPrintable(QString::number(mostAhead)));
        QCOMPARE(session.imageBytesSent(), Length);
    }

    // Past the budget of a turn, senders wait and are resumed in the order they came, a turn's
    // budget at a time; one that has gone meanwhile is skipped.
    void pacerResumesInOrderATurnAtATime() {
        SendPacer pacer(100);
        QObject first, second, third;
        auto gone = std::make_unique<QObject>();
        QStringList resumed;
        const auto sender = [&](const QString& name) {
            return [&resumed, &pacer, name] {
                resumed << name;
                pacer.spent(60);
            };
        };
        QVERIFY(pacer.admit(&first, sender("first")));
        pacer.spent(100);
        QVERIFY(!pacer.admit(&second, sender("second")));
        QVERIFY(!pacer.admit(&third, sender("third")));
        pacer.wait(gone.get(), sender("gone"));
        pacer.wait(&first, sender("first"));
        gone.reset();
        QVERIFY(resumed.isEmpty()); // never within the turn that spent the budget
        const auto nextTurn = [&resumed] {
            const qsizetype before = resumed.size();
            QDeadlineTimer deadline(5000);
            while (resumed.size() == before && !deadline.hasExpired())
                QCoreApplication::processEvents();
        };
        nextTurn();
        QCOMPARE(resumed, (QStringList{"second", "third"}));
        nextTurn();
        QCOMPARE(resumed, (QStringList{"second", "third", "first"}));
        QCOMPARE(pacer.waitingCount(), std::size_t{0});
    }

    // Encoders sending at once through one pacer whose budget is far below what they send:
    // they take turns, every image arrives whole, and the loop stays free.
    void pacedSessionsAllDeliverWholeImages() {
        constexpr int Encoders = 4;
        const auto image = ImageBuffer(PatternImage(600000));
        SendPacer pacer(64 * 1024);
        std::vector<std::unique_ptr<SimProcess>> sims;
        std::vector<std::unique_ptr<TcpClientChannel>> channels;
        std::vector<std::unique_ptr<UpgradeRecordingView>> views;
        std::vector<std::unique_ptr<UpgradeSession>> sessions;
        for (int i = 0; i < Encoders; ++i) {
            sims.push_back(std::make_unique<SimProcess>());
            QVERIFY(sims.back()->start(Fast({"--once", "--report-line"})));
            channels.push_back(std::make_unique<TcpClientChannel>(
                "127.0.0.1", QByteArray::number(sims.back()->port())));
            views.push_back(std::make_unique<UpgradeRecordingView>());
            sessions.push_back(
                std::make_unique<UpgradeSession>(*channels.back(), *image, *views.back()));
            sessions.back()->setSendPacer(&pacer);
        }
        std::size_t mostWaiting = 0;
        QTimer watch;
        connect(&watch, &QTimer::timeout,
                [&] { mostWaiting = std::max(mostWaiting, pacer.waitingCount()); });
        watch.start(0);
        LoopProbe probe;
        for (const auto& session : sessions)
            session->start();
        QVERIFY(QTest::qWaitFor(
            [&] {
                return std::all_of(sessions.begin(), sessions.end(),
                                   [](const auto& session) { return session->ended(); });
            },
            30000));
        for (int i = 0; i < Encoders; ++i) {
            QCOMPARE(UpgradeEndKindName(sessions[i]->endCause().kind), QString("success"));
            const QJsonObject report = sims[i]->nextReport(10000);
            QVERIFY(report.value("checksumValid").toBool());
            QCOMPARE(report.value("bytesReceived").toInteger(), image->length);
        }
        QVERIFY2(mostWaiting >= 2, qPrintable(QString::number(mostWaiting)));
        QVERIFY2(probe.longestGapMs() < 250, qPrintable(QString::number(probe.longestGapMs())));
    }
};

QTEST_GUILESS_MAIN(TestUpgradeSession)
#include "tst_upgrade_session.moc"
