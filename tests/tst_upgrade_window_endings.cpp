#include "StartUp.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QTest>

using namespace UpgradeWindowRows;

// The encoder ends the upgrade itself at each stage: "flash program fail", or "*** ERROR ***"
// with its text (then it closes), or "*** ERROR ***" and a close with no text at all.
class TestUpgradeWindowEndings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void encoderEndsTheUpgrade_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QStringList>("deviceLog");
        QTest::addColumn<QStringList>("upgradeLog");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<QStringList>("stageLabels");
        const QStringList none{Hidden, Hidden, Hidden};
        const QStringList receiving{SendingOn, Hidden, Hidden};
        const QStringList erasing{SendingDone, ErasingOn, Hidden};
        const QStringList programming{SendingDone, ErasingDone, ProgrammingOn};
        const QStringList programmed{SendingDone, ErasingDone, ProgrammingDone};

        // Within a phase the reply reads as progress and is not logged.
        QTest::newRow("fail at header") << QStringList{"--fail-at", "header"} << QStringList{Fail}
                                        << QStringList{H, P, A} << QStringList{} << none;
        QTest::newRow("fail at receive")
            << QStringList{"--fail-at", "receive"} << QStringList{Start} << QStringList{H, P, A}
            << QStringList{} << receiving;
        QTest::newRow("fail at erase")
            << QStringList{"--fail-at", "erase"} << QStringList{Start, Erase}
            << QStringList{H, P, W, A} << QStringList{} << erasing;
        QTest::newRow("fail at program")
            << QStringList{"--fail-at", "program"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, A} << QStringList{} << programming;
        QTest::newRow("fail at verify")
            << QStringList{"--fail-at", "verify"} << QStringList{Start, Erase, Program, Fail}
            << QStringList{H, P, W, A} << QStringList{} << programmed;

        // The error text is shown, logged to the upgrade log, and goes on as a reply: logged
        // to the device log unless a sending or erasing phase reads it.
        const QString text = "flash <b>busy</b> & 100%";
        const QStringList error{"--error-text", text};
        QTest::newRow("error at header")
            << QStringList{"--error-at", "header"} + error << QStringList{text}
            << QStringList{H, P, text, A} << QStringList{text} << none;
        QTest::newRow("error at receive")
            << QStringList{"--error-at", "receive"} + error << QStringList{Start}
            << QStringList{H, P, text, A} << QStringList{text} << receiving;
        QTest::newRow("error at erase")
            << QStringList{"--error-at", "erase"} + error << QStringList{Start, Erase}
            << QStringList{H, P, W, text, A} << QStringList{text} << erasing;
        // Ending the upgrade clears the programming phase first.
        QTest::newRow("error at program")
            << QStringList{"--error-at", "program"} + error
            << QStringList{Start, Erase, Program, text} << QStringList{H, P, W, text, A}
            << QStringList{text} << programming;
        QTest::newRow("error at verify")
            << QStringList{"--error-at", "verify"} + error
            << QStringList{Start, Erase, Program, text} << QStringList{H, P, W, text, A}
            << QStringList{text} << programmed;

        // "*** ERROR ***" and then a close instead of the text: no box, the loss is said.
        QTest::newRow("error then close, at header")
            << QStringList{"--error-at", "header", "--close-after-replies", "1"} << QStringList{}
            << QStringList{H, P, Lost, A} << QStringList{} << none;
        QTest::newRow("error then close, while erasing")
            << QStringList{"--error-at", "erase", "--close-after-replies", "6"}
            << QStringList{Start, Erase} << QStringList{H, P, W, Lost, A} << QStringList{}
            << erasing;
    }
    void encoderEndsTheUpgrade() {
        QFETCH(QStringList, fault);
        QFETCH(QStringList, deviceLog);
        QFETCH(QStringList, upgradeLog);
        QFETCH(QStringList, notices);
        QFETCH(QStringList, stageLabels);
        UpgradeWindowPlan plan;
        plan.simArguments = Fast(fault);
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        CheckOutcome(outcome, true, deviceLog, upgradeLog, notices, stageLabels);
        QVERIFY(!outcome.report.value("complete").toBool());
    }
};

QTEST_MAIN(TestUpgradeWindowEndings)
#include "tst_upgrade_window_endings.moc"
