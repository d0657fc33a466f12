#include "ConnectionInfo.h"
#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeMonitor.h"
#include "local_machine.h"
#include "upgrade_test_support.h"

#include <QDeadlineTimer>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

constexpr std::int32_t ImageLength = 1000;

const QString Abort = "memo5 !!! UPGRADE FLASH ABORT !!!";
const QString PowerWarning = "memo5 !!! DO NOT SWITCH POWER OFF !!!";
const QString Lost = "memo5 !!! CONNECTION TO ENCODER LOST !!!";
const QString Success = "success box FLASH PROGRAMMED SUCCESSFULLY...NOW REBOOT THE ENCODER";

// The replies that bring the encoder to a named point of the upgrade.
QByteArrayList repliesUpTo(const QString& point) {
    const QList<std::pair<QString, QByteArrayList>> road{
        {"stage 0", {}},           {"sending", {"start receiving image file"}},
        {"sent", {"1000"}},        {"erasing", {"erase flash program..."}},
        {"erased", {"809304064"}}, {"programming", {"flash program..."}},
        {"programmed", {"1000"}},
    };
    QByteArrayList replies;
    for (const auto& [name, step] : road) {
        replies += step;
        if (name == point)
            return replies;
    }
    qFatal("no point %s", qPrintable(point));
}

// Stage, phase flags and whether the upgrade has ended, in one comparable line.
QString summary(const UpgradeMonitor& monitor) {
    const UpgradeState& s = monitor.state();
    QStringList parts{"stage " + QString::number(s.UpgradeStage)};
    if (s.SendingPhase)
        parts << "sending";
    if (s.ErasingPhase)
        parts << "erasing";
    if (s.ProgrammingPhase)
        parts << "programming";
    if (monitor.ended())
        parts << "ended";
    return parts.join(' ');
}

// A monitor on a channel that is never connected, fed replies directly.
struct Rig {
    TcpClientChannel channel{"127.0.0.1", "0"};
    UpgradeRecordingView view;
    UpgradeMonitor monitor{channel, view, ImageLength};

    explicit Rig(const QString& point = "stage 0") {
        handle(repliesUpTo(point));
        view.calls.clear();
    }
    void handle(const QByteArrayList& replies) {
        for (const QByteArray& reply : replies)
            monitor.handleReply(reply);
    }
};

// A monitor on a channel connected to a loopback encoder.
struct WireRig {
    UpgradeLoopbackEncoder encoder;
    TcpClientChannel channel{"127.0.0.1", "0"};
    UpgradeRecordingView view;
    UpgradeMonitor monitor{channel, view, ImageLength};

    bool connect() {
        channel.setRemotePort(encoder.portText());
        return encoder.listening() && channel.Connect() && encoder.accept();
    }
    // Pumps whenever the encoder's bytes are waiting or a held tail is due, until done() or
    // 5 s have passed.
    bool pumpUntil(const std::function<bool()>& done) {
        QDeadlineTimer deadline(5000);
        while (!done()) {
            if (deadline.hasExpired())
                return false;
            const auto due = monitor.tailDue();
            const bool tailDue = due && *due <= ReplyStream::Clock::now();
            // Replies that came together wait in the monitor, not in the socket.
            const bool waiting = channel.ReplyWaiting() || monitor.pendingBytes() > 0;
            if (channel.Connected() && (waiting || tailDue))
                monitor.pump();
            else
                QThread::msleep(1);
        }
        return true;
    }
    bool handled(qsizetype calls) {
        return pumpUntil([&] { return view.calls.size() >= calls; });
    }
};

QByteArray zeroEnded(const QByteArrayList& replies) {
    QByteArray wire;
    for (const QByteArray& reply : replies)
        wire += reply + '\0';
    return wire;
}

// Columns point, replies, calls, after: the replies after the setup point, handled in order,
// make exactly these calls of the front end and leave this summary.
void addRepliesColumns() {
    QTest::addColumn<QString>("point");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QStringList>("calls");
    QTest::addColumn<QString>("after");
}

void checkRepliesRow() {
    QFETCH(QString, point);
    QFETCH(QByteArrayList, replies);
    QFETCH(QStringList, calls);
    QFETCH(QString, after);

    Rig rig(point);
    rig.handle(replies);
    QCOMPARE(rig.view.calls, calls);
    QCOMPARE(summary(rig.monitor), after);
}

} // namespace

Q_DECLARE_METATYPE(PumpResult)

class TestUpgradeMonitor : public QObject {
    Q_OBJECT

private slots:
    void progress_data();
    void progress();
    void stageTexts_data();
    void stageTexts();
    void errorText_data();
    void errorText();
    void completeUpgrade();
    void longReplyFillsTheBufferAtMost();
    void stopUpgradeTwiceLogsTwiceEndsOnce();

    void pumpReadsEveryWaitingReply();
    void pumpTakesRepliesThatArriveApart();
    void pumpHoldsATail_data();
    void pumpHoldsATail();
    void pumpWaitsForTheErrorText();
    void pumpWithinBudget();
    void pumpDoesNothingUnconnected();
    void connectionLost_data();
    void connectionLost();
    void endingBeforeTheCloseIsNoLoss();
    void boxOpenHoldsPumpOff_data();
    void boxOpenHoldsPumpOff();

    void connectionInfoAsTyped();

    void phaseAndPosition_data();
    void phaseAndPosition();
};

// Progress numbers at each phase, for a 1,000-byte image. The replies after the setup point
// are handled in order; every call of the front end is compared.
void TestUpgradeMonitor::progress_data() {
    addRepliesColumns();

    const QString sendDone = "text Sending: Sending image file ... done";
    const QString eraseDone = "text Erasing: Erasing flash ... done";
    const QString programDone = "text Programming: Programming flash ... done";

    QTest::newRow("sending 500") << "sending" << QByteArrayList{"500"}
                                 << QStringList{"pos Sending 500"} << "stage 1 sending";
    QTest::newRow("sending 1000 completes, unlogged; the next is logged")
        << "sending" << QByteArrayList{"1000", "hello"}
        << QStringList{"pos Sending 1000", sendDone, "memo4 hello"} << "stage 1";
    QTest::newRow("sending 1200 neither moves nor completes")
        << "sending" << QByteArrayList{"1200"} << QStringList{} << "stage 1 sending";
    QTest::newRow("sending 999") << "sending" << QByteArrayList{"999"}
                                 << QStringList{"pos Sending 999"} << "stage 1 sending";
    QTest::newRow("two blanks and 512") << "sending" << QByteArrayList{"  512"}
                                        << QStringList{"pos Sending 512"} << "stage 1 sending";
    QTest::newRow("512 and a word") << "sending" << QByteArrayList{"512 word"}
                                    << QStringList{"pos Sending 512"} << "stage 1 sending";
    QTest::newRow("every white space") << "sending" << QByteArrayList{"\t\n\v\f\r 42"}
                                       << QStringList{"pos Sending 42"} << "stage 1 sending";
    QTest::newRow("plus sign") << "sending" << QByteArrayList{"+7"} << QStringList{"pos Sending 7"}
                               << "stage 1 sending";
    QTest::newRow("minus sign shows at the start")
        << "sending" << QByteArrayList{"-3"} << QStringList{"pos Sending 0"} << "stage 1 sending";
    QTest::newRow("letters read as 0") << "sending" << QByteArrayList{"abc 12"}
                                       << QStringList{"pos Sending 0"} << "stage 1 sending";
    QTest::newRow("sign without digits reads as 0")
        << "sending" << QByteArrayList{"- 5"} << QStringList{"pos Sending 0"} << "stage 1 sending";
    QTest::newRow("overflow wraps to 1000 and completes")
        << "sending" << QByteArrayList{"4294968296"} << QStringList{"pos Sending 1000", sendDone}
        << "stage 1";
    QTest::newRow("overflow wraps negative") << "sending" << QByteArrayList{"2147483648"}
                                             << QStringList{"pos Sending 0"} << "stage 1 sending";
    QTest::newRow("wrapping past 2^32 twice")
        << "sending" << QByteArrayList{"8589935092"} << QStringList{"pos Sending 500"}
        << "stage 1 sending";

    QTest::newRow("erasing at the start")
        << "erasing" << QByteArrayList{"805306368"} << QStringList{"pos Erasing 805306368"}
        << "stage 2 erasing";
    QTest::newRow("erasing below the start shows at the start")
        << "erasing" << QByteArrayList{"1000"} << QStringList{"pos Erasing 805306368"}
        << "stage 2 erasing";
    QTest::newRow("erasing midway") << "erasing" << QByteArrayList{"807000000"}
                                    << QStringList{"pos Erasing 807000000"} << "stage 2 erasing";
    QTest::newRow("erasing 809304064 completes")
        << "erasing" << QByteArrayList{"809304064"}
        << QStringList{"pos Erasing 809304064", eraseDone} << "stage 2";
    QTest::newRow("erasing above the end completes without moving")
        << "erasing" << QByteArrayList{"809304065"} << QStringList{eraseDone} << "stage 2";
    QTest::newRow("hex address reads as 0")
        << "erasing" << QByteArrayList{"0x303D0000"} << QStringList{"pos Erasing 805306368"}
        << "stage 2 erasing";

    QTest::newRow("programming 500") << "programming" << QByteArrayList{"500"}
                                     << QStringList{"pos Programming 500"} << "stage 3 programming";
    QTest::newRow("programming 1000 completes")
        << "programming" << QByteArrayList{"1000", "next"}
        << QStringList{"pos Programming 1000", programDone, "memo4 next"} << "stage 3";
    QTest::newRow("programming 1200 completes without moving")
        << "programming" << QByteArrayList{"1200"} << QStringList{programDone} << "stage 3";

    QTest::newRow("no phase: numbers are only logged")
        << "sent" << QByteArrayList{"500"} << QStringList{"memo4 500"} << "stage 1";
}

void TestUpgradeMonitor::progress() {
    checkRepliesRow();
}

void TestUpgradeMonitor::stageTexts_data() {
    addRepliesColumns();

    QTest::newRow("start at stage 0")
        << "stage 0" << QByteArrayList{"start receiving image file"}
        << QStringList{"memo4 start receiving image file", "row Sending",
                       "text Sending: Sending image file ... in progress"}
        << "stage 1 sending";
    QTest::newRow("start with CR LF does not match")
        << "stage 0" << QByteArrayList{"start receiving image file\r\n"}
        << QStringList{"memo4 start receiving image file\r\n"} << "stage 0";
    QTest::newRow("start in other case does not match")
        << "stage 0" << QByteArrayList{"Start receiving image file"}
        << QStringList{"memo4 Start receiving image file"} << "stage 0";
    QTest::newRow("start cut in two does not match")
        << "stage 0" << QByteArrayList{"start recei", "ving image file"}
        << QStringList{"memo4 start recei", "memo4 ving image file"} << "stage 0";
    QTest::newRow("erase at stage 0") << "stage 0" << QByteArrayList{"erase flash program..."}
                                      << QStringList{"memo4 erase flash program..."} << "stage 0";
    QTest::newRow("program at stage 0") << "stage 0" << QByteArrayList{"flash program..."}
                                        << QStringList{"memo4 flash program..."} << "stage 0";
    QTest::newRow("verify at stage 0")
        << "stage 0" << QByteArrayList{"verify flash program...done"}
        << QStringList{"memo4 verify flash program...done"} << "stage 0";
    QTest::newRow("fail at stage 0")
        << "stage 0" << QByteArrayList{"flash program fail"}
        << QStringList{"memo4 flash program fail", Abort, "ended program-fail"} << "stage 0 ended";
    QTest::newRow("start again at stage 1")
        << "sent" << QByteArrayList{"start receiving image file"}
        << QStringList{"memo4 start receiving image file"} << "stage 1";
    QTest::newRow("erase at stage 1")
        << "sent" << QByteArrayList{"erase flash program..."}
        << QStringList{"memo4 erase flash program...", "row Erasing",
                       "text Erasing: Erasing flash ... in progress", PowerWarning}
        << "stage 2 erasing";
    QTest::newRow("program at stage 1") << "sent" << QByteArrayList{"flash program..."}
                                        << QStringList{"memo4 flash program..."} << "stage 1";
    QTest::newRow("program at stage 2")
        << "erased" << QByteArrayList{"flash program..."}
        << QStringList{"memo4 flash program...", "row Programming",
                       "text Programming: Programming flash ... in progress"}
        << "stage 3 programming";
    QTest::newRow("verify at stage 2 is only logged")
        << "erased" << QByteArrayList{"verify flash program...done"}
        << QStringList{"memo4 verify flash program...done"} << "stage 2";
    QTest::newRow("verify at stage 3")
        << "programmed" << QByteArrayList{"verify flash program...done"}
        << QStringList{"memo4 verify flash program...done", Success, Abort, "ended success"}
        << "stage 3 ended";
    QTest::newRow("fail while programming")
        << "programming" << QByteArrayList{"flash program fail"}
        << QStringList{"pos Programming 0", Abort, "ended program-fail"} << "stage 3 ended";
    QTest::newRow("stage text during an unfinished phase")
        << "sending" << QByteArrayList{"erase flash program...", "1000", "hello"}
        << QStringList{"pos Sending 0",
                       "row Erasing",
                       "text Erasing: Erasing flash ... in progress",
                       PowerWarning,
                       "pos Sending 1000",
                       "text Sending: Sending image file ... done",
                       "pos Erasing 805306368",
                       "pos Erasing 805306368"}
        << "stage 2 erasing";
    QTest::newRow("verify during unfinished programming")
        << "programming" << QByteArrayList{"verify flash program...done"}
        << QStringList{"pos Programming 0", Success, Abort, "ended success"} << "stage 3 ended";
}

void TestUpgradeMonitor::stageTexts() {
    checkRepliesRow();
}

void TestUpgradeMonitor::errorText_data() {
    addRepliesColumns();

    QTest::newRow("error alone waits for its text")
        << "stage 0" << QByteArrayList{"*** ERROR ***"} << QStringList{} << "stage 0";
    QTest::newRow("error text at stage 0")
        << "stage 0" << QByteArrayList{"*** ERROR ***", "bad checksum"}
        << QStringList{"error box bad checksum", "memo5 bad checksum", Abort, "ended encoder-error",
                       "memo4 bad checksum"}
        << "stage 0 ended";
    QTest::newRow("error text read as sending progress")
        << "sending" << QByteArrayList{"*** ERROR ***", "500"}
        << QStringList{"error box 500", "memo5 500", Abort, "ended encoder-error",
                       "pos Sending 500"}
        << "stage 1 sending ended";
    QTest::newRow("programming stops before the error text is read")
        << "programming" << QByteArrayList{"*** ERROR ***", "500"}
        << QStringList{"error box 500", "memo5 500", Abort, "ended encoder-error", "memo4 500"}
        << "stage 3 ended";
    QTest::newRow("error text that is a fail runs the stop again")
        << "stage 0" << QByteArrayList{"*** ERROR ***", "flash program fail"}
        << QStringList{"error box flash program fail", "memo5 flash program fail", Abort,
                       "ended encoder-error",          "memo4 flash program fail", Abort}
        << "stage 0 ended";
    QTest::newRow("error text that is a stage text still moves the stage")
        << "stage 0" << QByteArrayList{"*** ERROR ***", "start receiving image file"}
        << QStringList{"error box start receiving image file",
                       "memo5 start receiving image file",
                       Abort,
                       "ended encoder-error",
                       "memo4 start receiving image file",
                       "row Sending",
                       "text Sending: Sending image file ... in progress"}
        << "stage 1 sending ended";
    QTest::newRow("a second error marker is the error text")
        << "stage 0" << QByteArrayList{"*** ERROR ***", "*** ERROR ***"}
        << QStringList{"error box *** ERROR ***", "memo5 *** ERROR ***", Abort,
                       "ended encoder-error", "memo4 *** ERROR ***"}
        << "stage 0 ended";
    QTest::newRow("error with a trailing blank is no marker")
        << "stage 0" << QByteArrayList{"*** ERROR *** "} << QStringList{"memo4 *** ERROR *** "}
        << "stage 0";
}

void TestUpgradeMonitor::errorText() {
    checkRepliesRow();
}

void TestUpgradeMonitor::completeUpgrade() {
    Rig rig;
    rig.handle({"start receiving image file", "0", "500", "1000", "erase flash program...",
                "805306368", "807000000", "809304064", "flash program...", "400", "1000",
                "verify flash program...done"});
    QCOMPARE(rig.view.log("memo4"),
             (QStringList{"start receiving image file", "erase flash program...",
                          "flash program...", "verify flash program...done"}));
    QCOMPARE(rig.view.log("memo5"),
             (QStringList{"!!! DO NOT SWITCH POWER OFF !!!", "!!! UPGRADE FLASH ABORT !!!"}));
    QCOMPARE(rig.view.calls.count(Success), 1);
    QCOMPARE(rig.view.calls.last(), QString("ended success"));
    QVERIFY(rig.view.calls.contains("pos Erasing 809304064"));
    QVERIFY(rig.view.calls.contains("text Programming: Programming flash ... done"));
    QCOMPARE(summary(rig.monitor), QString("stage 3 ended"));
    QCOMPARE(rig.monitor.replyText(), QByteArray("verify flash program...done"));
}

void TestUpgradeMonitor::longReplyFillsTheBufferAtMost() {
    Rig rig;
    rig.handle({QByteArray(300, 'x')});
    QCOMPARE(rig.view.calls, QStringList{"memo4 " + QString(255, 'x')});
    QCOMPARE(rig.monitor.state().ReplyBuffer.back(), '\0');
    rig.handle({QByteArray("ab\0cd", 5)});
    QCOMPARE(rig.monitor.replyText(), QByteArray("ab"));
    // Whatever the earlier reply left in the buffer is cleared.
    QCOMPARE(rig.monitor.state().ReplyBuffer[3], '\0');
}

void TestUpgradeMonitor::stopUpgradeTwiceLogsTwiceEndsOnce() {
    Rig rig("programming");
    rig.monitor.StopUpgrade();
    rig.monitor.StopUpgrade();
    QCOMPARE(rig.view.calls, (QStringList{Abort, "ended interrupted", Abort}));
    QCOMPARE(summary(rig.monitor), QString("stage 3 ended"));
}

void TestUpgradeMonitor::pumpReadsEveryWaitingReply() {
    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send(zeroEnded(
        {"start receiving image file", "500", "1000", "erase flash program...", "805306368"})));
    QVERIFY(rig.handled(9));
    QCOMPARE(rig.view.calls,
             (QStringList{"memo4 start receiving image file", "row Sending",
                          "text Sending: Sending image file ... in progress", "pos Sending 500",
                          "pos Sending 1000", "text Sending: Sending image file ... done",
                          "memo4 erase flash program...", "row Erasing",
                          "text Erasing: Erasing flash ... in progress", PowerWarning,
                          "pos Erasing 805306368"}));
    QCOMPARE(summary(rig.monitor), QString("stage 2 erasing"));
}

// An encoder that sends no zero bytes: each reply that arrives alone is a reply.
void TestUpgradeMonitor::pumpTakesRepliesThatArriveApart() {
    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send("start receiving image file"));
    QVERIFY(rig.pumpUntil([&] { return rig.monitor.state().UpgradeStage == 1; }));
    QVERIFY(rig.encoder.send("700"));
    QVERIFY(rig.pumpUntil([&] { return rig.view.calls.contains("pos Sending 700"); }));
    QCOMPARE(rig.monitor.pendingBytes(), qsizetype(0));
}

// Bytes without their zero byte may be the first part of a reply the network has split:
// they are held until the rest comes, next bytes show they were a reply, or the encoder has
// been quiet long enough.
void TestUpgradeMonitor::pumpHoldsATail_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<PumpResult>("firstResult");
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QStringList>("deviceLog");
    QTest::addColumn<QString>("after");

    const QString start = EncoderReply::StartReceiving;
    QTest::newRow("a reply split by the network")
        << QByteArray("start recei") << PumpResult::TailWaiting
        << QByteArray("ving image file\0", 16) << QStringList{start} << "stage 1 sending";
    QTest::newRow("without zero bytes, a reply once the encoder is quiet")
        << QByteArray(EncoderReply::StartReceiving) << PumpResult::TailWaiting << QByteArray()
        << QStringList{start} << "stage 1 sending";
    QTest::newRow("without zero bytes, a reply once the next comes")
        << QByteArray(EncoderReply::StartReceiving) << PumpResult::TailWaiting << QByteArray("1000")
        << QStringList{start} << "stage 1";
    QTest::newRow("after a zero byte, a tail waits for its own")
        << QByteArray("1\0start recei", 13) << PumpResult::Idle << QByteArray() << QStringList{"1"}
        << "stage 0";
}

void TestUpgradeMonitor::pumpHoldsATail() {
    QFETCH(QByteArray, first);
    QFETCH(PumpResult, firstResult);
    QFETCH(QByteArray, second);
    QFETCH(QStringList, deviceLog);
    QFETCH(QString, after);

    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send(first));
    QVERIFY(QTest::qWaitFor([&] { return rig.channel.ReplyWaiting(); }, 5000));
    QCOMPARE(rig.monitor.pump(), firstResult);
    if (!second.isEmpty()) {
        QThread::msleep(50);
        QVERIFY(rig.encoder.send(second));
    }
    QVERIFY(rig.pumpUntil([&] { return summary(rig.monitor) == after; }));
    QThread::msleep(ReplyStream::TailQuietTime.count() + 20);
    rig.monitor.pump();
    QCOMPARE(rig.view.log("memo4"), deviceLog);
    QCOMPARE(summary(rig.monitor), after);
}

void TestUpgradeMonitor::pumpWaitsForTheErrorText() {
    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send(zeroEnded({"*** ERROR ***"})));
    QVERIFY(rig.pumpUntil([&] { return rig.monitor.awaitingErrorText(); }));
    QCOMPARE(rig.monitor.pump(), PumpResult::Idle);
    QVERIFY(rig.view.calls.isEmpty());
    QVERIFY(rig.encoder.send(zeroEnded({"flash write error"})));
    QVERIFY(rig.handled(5));
    QCOMPARE(rig.view.calls,
             (QStringList{"error box flash write error", "memo5 flash write error", Abort,
                          "ended encoder-error", "memo4 flash write error"}));
    QVERIFY(!rig.channel.Connected());
}

void TestUpgradeMonitor::pumpWithinBudget() {
    WireRig rig;
    QVERIFY(rig.connect());
    rig.monitor.setPumpBudget({2, std::chrono::seconds(10)});
    QVERIFY(rig.encoder.send(zeroEnded({"a", "b", "c", "d", "e"})));
    QVERIFY(QTest::qWaitFor([&] { return rig.channel.ReplyWaiting(); }, 5000));
    QThread::msleep(20); // all five in the receive queue
    QCOMPARE(rig.monitor.pump(), PumpResult::MorePending);
    QCOMPARE(rig.view.log("memo4"), (QStringList{"a", "b"}));
    QCOMPARE(rig.monitor.pump(), PumpResult::MorePending);
    QCOMPARE(rig.monitor.pump(), PumpResult::Idle);
    QCOMPARE(rig.view.log("memo4"), (QStringList{"a", "b", "c", "d", "e"}));
}

void TestUpgradeMonitor::pumpDoesNothingUnconnected() {
    Rig rig("sending");
    QCOMPARE(rig.monitor.pump(), PumpResult::Idle);
    QVERIFY(rig.view.calls.isEmpty());
    QVERIFY(!rig.monitor.ended());
}

// The encoder closes in the middle of programming: what it sent before is still followed,
// the bars stay where they were, and the loss is reported once.
void TestUpgradeMonitor::connectionLost_data() {
    QTest::addColumn<bool>("reset");
    QTest::addColumn<QByteArray>("lastBytes");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("orderly close")
        << false << QByteArray("700\0", 4)
        << QStringList{"pos Programming 700", Lost, Abort, "ended connection-lost"};
    QTest::newRow("close after an unterminated reply")
        << false << QByteArray("700")
        << QStringList{"pos Programming 700", Lost, Abort, "ended connection-lost"};
    QTest::newRow("close after the error marker")
        << false << QByteArray("*** ERROR ***\0", 14)
        << QStringList{"memo4 *** ERROR ***", Lost, Abort, "ended encoder-error"};
    QTest::newRow("reset") << true << QByteArray("700\0", 4)
                           << QStringList{"pos Programming 700", Lost, Abort,
                                          "ended connection-lost"};
}

void TestUpgradeMonitor::connectionLost() {
    QFETCH(bool, reset);
    QFETCH(QByteArray, lastBytes);
    QFETCH(QStringList, calls);

    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send(zeroEnded(repliesUpTo("programming")) + zeroEnded({"500"})));
    QVERIFY(rig.pumpUntil([&] { return rig.view.calls.contains("pos Programming 500"); }));
    rig.view.calls.clear();
    QVERIFY(rig.encoder.send(lastBytes));
    if (reset) {
        QVERIFY(rig.pumpUntil([&] { return !rig.view.calls.isEmpty(); }));
        rig.encoder.reset();
    } else {
        rig.encoder.close();
    }
    QVERIFY(rig.pumpUntil([&] { return rig.monitor.ended(); }));
    QCOMPARE(rig.view.calls, calls);
    QVERIFY(!rig.channel.Connected());
    rig.view.calls.clear();
    QCOMPARE(rig.monitor.pump(), PumpResult::Idle);
    QCOMPARE(rig.monitor.pump(), PumpResult::Idle);
    QVERIFY(rig.view.calls.isEmpty());
}

void TestUpgradeMonitor::endingBeforeTheCloseIsNoLoss() {
    WireRig rig;
    QVERIFY(rig.connect());
    QVERIFY(rig.encoder.send(zeroEnded({"flash program fail", "after the end"})));
    rig.encoder.close();
    QVERIFY(rig.pumpUntil([&] { return rig.monitor.ended(); }));
    QCOMPARE(rig.view.calls,
             (QStringList{"memo4 flash program fail", Abort, "ended program-fail"}));
}

// While a notice box of the reply handling is open, a tick or socket notification that the
// box's event loop delivers must not read the next reply.
void TestUpgradeMonitor::boxOpenHoldsPumpOff_data() {
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<QString>("box");

    QByteArrayList success = repliesUpTo("programmed");
    success << "verify flash program...done"
            << "flash program fail";
    QTest::newRow("success box") << success << Success;
    QTest::newRow("error box") << QByteArrayList{"*** ERROR ***", "boom", "flash program fail"}
                               << "error box boom";
}

void TestUpgradeMonitor::boxOpenHoldsPumpOff() {
    QFETCH(QByteArrayList, replies);
    QFETCH(QString, box);

    WireRig rig;
    QVERIFY(rig.connect());
    int nestedPumps = 0;
    QStringList callsBeforeNested;
    rig.view.whileBoxOpen = [&] {
        callsBeforeNested = rig.view.calls;
        const qsizetype pending = rig.monitor.pendingBytes();
        QThread::msleep(20); // the rest of the replies is surely waiting by now
        for (int i = 0; i < 3; ++i) {
            if (rig.monitor.pump() == PumpResult::Idle)
                ++nestedPumps;
        }
        QVERIFY(rig.channel.Connected()); // the stop comes after the box
        QCOMPARE(rig.monitor.pendingBytes(), pending);
        QCOMPARE(rig.view.calls, callsBeforeNested);
    };
    QVERIFY(rig.encoder.send(zeroEnded(replies)));
    QVERIFY(rig.pumpUntil([&] { return rig.monitor.ended(); }));
    QCOMPARE(nestedPumps, 3);
    QCOMPARE(callsBeforeNested.last(), box);
    QCOMPARE(rig.view.calls.count(Abort), 1);
    QVERIFY(!rig.view.calls.contains("memo4 flash program fail"));
}

// The 12-byte header, then exactly `length` image bytes: nothing of the buffer beyond them.
void TestUpgradeMonitor::connectionInfoAsTyped() {
    TcpClientChannel channel("localhost", "0999");
    const ConnectionInfo info = ReadConnectionInfo(channel);
    QCOMPARE(info.remoteHost, QByteArray("localhost"));
    QCOMPARE(info.remotePort, QByteArray("0999"));
    QCOMPARE(info.localHostName, MachineName());
    QVERIFY(!channel.Active());
}

// The phase of the latest stage text and where its bar stands, as a front end reads them when
// it redraws; the percentage is the bar's, within its range.
void TestUpgradeMonitor::phaseAndPosition_data() {
    QTest::addColumn<QString>("point");
    QTest::addColumn<QByteArrayList>("replies");
    QTest::addColumn<int>("phase"); // -1: none yet
    QTest::addColumn<int>("position");
    QTest::addColumn<int>("percent");
    QTest::newRow("before the first stage text")
        << "stage 0" << QByteArrayList{"700"} << -1 << 0 << 0;
    QTest::newRow("receiving, none counted") << "sending" << QByteArrayList{} << 0 << 0 << 0;
    QTest::newRow("receiving a quarter") << "sending" << QByteArrayList{"250"} << 0 << 250 << 25;
    QTest::newRow("a count past the image moves no bar")
        << "sending" << QByteArrayList{"1500"} << 0 << 0 << 0;
    QTest::newRow("erasing, before an address")
        << "erasing" << QByteArrayList{} << 1 << FlashFirst << 0;
    QTest::newRow("erasing halfway")
        << "erasing" << QByteArrayList{"807403520"} << 1 << 807403520 << 52;
    QTest::newRow("an address below flash")
        << "erasing" << QByteArrayList{"5"} << 1 << FlashFirst << 0;
    QTest::newRow("programming 999") << "programming" << QByteArrayList{"999"} << 2 << 999 << 99;
    QTest::newRow("programmed") << "programmed" << QByteArrayList{} << 2 << 1000 << 100;
}

void TestUpgradeMonitor::phaseAndPosition() {
    QFETCH(QString, point);
    QFETCH(QByteArrayList, replies);
    QFETCH(int, phase);
    QFETCH(int, position);
    QFETCH(int, percent);
    Rig rig(point);
    rig.handle(replies);
    const std::optional<UpgradePhase> shown = rig.monitor.phase();
    QCOMPARE(shown ? int(*shown) : -1, phase);
    if (!shown)
        return;
    QCOMPARE(rig.monitor.phasePosition(*shown), position);
    QCOMPARE(PhasePercent(*shown, position, ImageLength), percent);
}

QTEST_GUILESS_MAIN(TestUpgradeMonitor)
#include "tst_upgrade_monitor.moc"
