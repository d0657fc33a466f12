#include "StartUp.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QTest>

using namespace UpgradeWindowRows;

// The encoder closes or resets the connection at each stage. Whatever came before is shown,
// the loss is said in the upgrade log, and the rows stay where the encoder left them.
class TestUpgradeWindowMatrix : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void connectionEnds_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QStringList>("deviceLog");
        QTest::addColumn<QStringList>("upgradeLog");
        QTest::addColumn<QStringList>("stageLabels");
        const QStringList none{Hidden, Hidden, Hidden};
        const QStringList receiving{SendingOn, Hidden, Hidden};
        const QStringList erasing{SendingDone, ErasingOn, Hidden};
        const QStringList programming{SendingDone, ErasingDone, ProgrammingOn};
        const QStringList programmed{SendingDone, ErasingDone, ProgrammingDone};
        // The close comes during the pause, but one send of a small image is still taken.
        QTest::newRow("close at header") << QStringList{"--close-at", "header"} << QStringList{}
                                         << QStringList{H, P, Lost, A} << none;
        QTest::newRow("close at receive")
            << QStringList{"--close-at", "receive"} << QStringList{Start}
            << QStringList{H, P, Lost, A} << receiving;
        QTest::newRow("close at erase")
            << QStringList{"--close-at", "erase"} << QStringList{Start, Erase}
            << QStringList{H, P, W, Lost, A} << erasing;
        QTest::newRow("close at program")
            << QStringList{"--close-at", "program"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, Lost, A} << programming;
        QTest::newRow("close at verify")
            << QStringList{"--close-at", "verify"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, Lost, A} << programmed;
        // A reset during the pause makes the image send fail; what came before it is shown.
        QTest::newRow("reset at header") << QStringList{"--reset-at", "header"} << QStringList{}
                                         << QStringList{H, P, Failed, Lost, A} << none;
        QTest::newRow("reset at receive")
            << QStringList{"--reset-at", "receive"} << QStringList{Start}
            << QStringList{H, P, Failed, Lost, A} << receiving;
        QTest::newRow("reset while erasing")
            << QStringList{"--reset-at", "erase"} << QStringList{Start, Erase}
            << QStringList{H, P, W, Lost, A} << erasing;
        QTest::newRow("reset while programming")
            << QStringList{"--reset-at", "program"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, Lost, A} << programming;
        QTest::newRow("reset at verify")
            << QStringList{"--reset-at", "verify"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, Lost, A} << programmed;
        // Halfway through the counts: 400 and 800 of 1000 programmed.
        QTest::newRow("close in the middle of programming")
            << QStringList{"--close-after-replies", "13"} << QStringList{Start, Erase, Program}
            << QStringList{H, P, W, Lost, A} << programming;
    }
    void connectionEnds() {
        QFETCH(QStringList, fault);
        QFETCH(QStringList, deviceLog);
        QFETCH(QStringList, upgradeLog);
        QFETCH(QStringList, stageLabels);
        UpgradeWindowPlan plan;
        plan.simArguments = Fast(fault);
        const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
        CheckOutcome(outcome, true, deviceLog, upgradeLog, {}, stageLabels);
        QVERIFY(!outcome.report.value("complete").toBool());
    }
};

QTEST_MAIN(TestUpgradeWindowMatrix)
#include "tst_upgrade_window_matrix.moc"
