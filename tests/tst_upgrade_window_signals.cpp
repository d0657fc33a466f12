#include "Dialogs.h"
#include "StartUp.h"
#include "TForm1.h"
#include "test_process.h"
#include "upgrade_window_harness.h"

#include <QApplication>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/types.h>

class TestUpgradeWindowSignals : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    // As the package check does it: start the program, wait for its window, send the signal,
    // expect a normal exit with status 0.
    void programEndsWithZeroOnSignal_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGINT") << SIGINT;
    }
    void programEndsWithZeroOnSignal() {
        QFETCH(int, signalNumber);
        TestProcess program;
        QVERIFY(program.start(QStringLiteral(FWUPGRADE_PROGRAM), {}, -1,
                              {"QT_QPA_PLATFORM=offscreen"}));
        QVERIFY(QTest::qWaitFor([&] { return program.catches(SIGTERM) && program.catches(SIGINT); },
                                20000));
        QCOMPARE(::kill(program.pid(), signalNumber), 0);
        QCOMPARE(program.waitForExit(10000), 0);
    }

    // In this process: the signal closes the window, also while a modal box runs its own
    // event loop, and the window program returns 0.
    void signalClosesWindow_data() {
        QTest::addColumn<int>("signalNumber");
        QTest::addColumn<bool>("boxOpen");
        QTest::newRow("SIGTERM") << SIGTERM << false;
        QTest::newRow("SIGINT") << SIGINT << false;
        QTest::newRow("SIGTERM with a notice box open") << SIGTERM << true;
    }
    void signalClosesWindow() {
        QFETCH(int, signalNumber);
        QFETCH(bool, boxOpen);
        bool boxReturned = false;
        QTimer::singleShot(0, [&] {
            QVERIFY(Form1 && Form1->isVisible());
            if (!boxOpen) {
                std::raise(signalNumber);
                return;
            }
            QTimer::singleShot(100, [signalNumber] { std::raise(signalNumber); });
            ShowNotice(QStringLiteral("FILE NOT SELECTED"));
            boxReturned = true;
        });
        bool stuck = false;
        QCOMPARE(RunWindowProgramWithin(10000, stuck), 0);
        QVERIFY2(!stuck, "the signal did not end the window program within 10 s");
        QCOMPARE(Form1, nullptr);
        QCOMPARE(boxReturned, boxOpen);
        // The handlers are gone with the window program.
        QVERIFY(!ProcessCatches(QCoreApplication::applicationPid(), SIGTERM));
    }
};

QTEST_MAIN(TestUpgradeWindowSignals)
#include "tst_upgrade_window_signals.moc"
