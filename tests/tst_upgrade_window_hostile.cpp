#include "StartUp.h"
#include "TcpClientChannel.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QJsonArray>
#include <QTest>

using namespace UpgradeWindowRows;

namespace {

// The first reply the simulator sent, byte for byte.
QByteArray FirstReply(const QJsonObject& report) {
    return report.value("replies").toArray().first().toString().toLatin1();
}

} // namespace

// Encoders that send odd things, cut their replies oddly, stop reading or fall silent.
class TestUpgradeWindowHostile : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }
    void cleanup() { TcpChannelBounds() = ChannelBounds{}; }

    // An odd first reply is logged as received, in pieces of at most 255 bytes, and the
    // upgrade then goes through.
    void oddFirstReply_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<int>("pieces");
        QTest::newRow("control and 8-bit bytes") << QStringList{"--garbage"} << 1;
        QTest::newRow("255 bytes") << QStringList{"--long-reply", "255"} << 1;
        QTest::newRow("256 bytes") << QStringList{"--long-reply", "256"} << 2;
        QTest::newRow("6 kilobytes") << QStringList{"--long-reply", "6000"} << 24;
    }
    void oddFirstReply() {
        QFETCH(QStringList, fault);
        QFETCH(int, pieces);
        UpgradeWindowPlan plan;
        plan.simArguments = Fast(fault);
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        const QByteArray first = FirstReply(outcome.report);
        QCOMPARE((first.size() + 254) / 255, pieces);
        CheckOutcome(outcome, true, UpgradeWindowShownLines(first) + UpgradeWindowStageTexts(),
                     UpgradeWindowCompleteUpgradeLog(), {UpgradeText::Success}, Programmed);
        QVERIFY(outcome.report.value("complete").toBool());
    }

    // However the replies are cut into sends, they are taken as the encoder meant them.
    void repliesCutOddly_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("two replies in one send") << Fast({"--merge-replies"});
        QTest::newRow("one reply split across two sends") << Fast({"--split-replies"});
        QTest::newRow("replies without zero bytes") << QStringList{
            "--no-zero", "--gap-ms",       "100", "--receive-step", "1000", "--erase-step",
            "0x400000",  "--program-step", "1000"};
    }
    void repliesCutOddly() {
        QFETCH(QStringList, arguments);
        UpgradeWindowPlan plan;
        plan.simArguments = arguments;
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        CheckOutcome(outcome, true, UpgradeWindowStageTexts(), UpgradeWindowCompleteUpgradeLog(),
                     {UpgradeText::Success}, Programmed);
        QVERIFY(outcome.report.value("complete").toBool());
    }

    // A silent encoder is waited for without a limit, the window stays responsive, and
    // closing it ends the connection.
    void silentEncoder_data() {
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("lastLine");
        QTest::addColumn<QStringList>("deviceLog");
        QTest::addColumn<QStringList>("upgradeLog");
        QTest::addColumn<QStringList>("stageLabels");
        QTest::newRow("silent at header")
            << "header" << QString() << QStringList{} << QStringList{H, P} << NoStage;
        QTest::newRow("silent at receive")
            << "receive" << Start << QStringList{Start} << QStringList{H, P} << Receiving;
        QTest::newRow("silent at erase")
            << "erase" << Erase << QStringList{Start, Erase} << QStringList{H, P, W} << Erasing;
        QTest::newRow("silent at verify")
            << "verify" << Program << QStringList{Start, Erase, Program} << QStringList{H, P, W}
            << Programmed;
    }
    void silentEncoder() {
        QFETCH(QString, stage);
        QFETCH(QString, lastLine);
        QFETCH(QStringList, deviceLog);
        QFETCH(QStringList, upgradeLog);
        QFETCH(QStringList, stageLabels);
        UpgradeWindowPlan plan;
        plan.simArguments = Fast({"--silent-at", stage});
        plan.silentMs = 300;
        plan.silentAfter = lastLine;
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        CheckOutcome(outcome, false, deviceLog, upgradeLog, {}, stageLabels);
        QVERIFY(!outcome.report.value("complete").toBool());
    }

    // The image send gives up once the encoder has taken nothing for the stall bound; what it
    // said until then is shown, and the sending bar stays where the encoder's count left it.
    void encoderStopsReadingDuringImage() {
        TcpChannelBounds().sendStall = std::chrono::milliseconds(300);
        UpgradeWindowPlan plan;
        plan.simArguments = Fast({"--stop-reading-after", "4096", "--idle-timeout-ms", "1500"});
        plan.imageLength = MaxImageSize;
        plan.sendBuffer = 65536;
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        CheckOutcome(outcome, true, {Start}, {H, P, Failed, A}, {}, Receiving);
        QCOMPARE(outcome.bars.first(), 4096);
        QCOMPARE(outcome.report.value("bytesReceived").toInteger(), 4096);
        QCOMPARE(outcome.report.value("replies").toArray().last().toString(), QString("4096"));
    }
};

QTEST_MAIN(TestUpgradeWindowHostile)
#include "tst_upgrade_window_hostile.moc"
