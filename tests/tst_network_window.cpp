// The window (offscreen) against encoder-sim, inside this program's own network namespace
// (127.0.0.1 only): the encoder vanishes during its erase, and the window says the connection
// is lost instead of showing the erase in progress for ever.

#include "StartUp.h"
#include "TcpClientChannel.h"
#include "local_machine.h"
#include "loop_probe.h"
#include "private_network.h"
#include "sim_process.h"
#include "test_image.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace UpgradeWindowRows;
using namespace std::chrono_literals;

class TestNetworkWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }
    void init() { SKIP_WITHOUT_PRIVATE_NETWORK(); }
    void cleanup() { TcpChannelBounds() = ChannelBounds{}; }

    void encoderVanishesDuringErase() {
        TcpChannelBounds().userTimeout = 3s;
        TcpChannelBounds().keepAliveIdle = 1s;
        TcpChannelBounds().keepAliveInterval = 1s;
        SimProcess sim;
        QVERIFY(sim.startOnce({"--gap-ms", "20"}));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitForDeviceLine(Erase));
        NetworkFaults faults;
        QVERIFY2(faults.vanish(sim.portText().toUShort()), qPrintable(faults.error()));
        QElapsedTimer sinceVanished;
        sinceVanished.start();
        LoopProbe probe;

        const qint64 boundMs = VanishedEncoderBound(TcpChannelBounds()).count();
        QVERIFY(run.waitUntilEnded(int(boundMs) + 10000));
        const qint64 tookMs = sinceVanished.elapsed();
        QVERIFY2(tookMs <= boundMs + 1500, qPrintable(QString::number(tookMs)));
        QCOMPARE(run.upgradeLog(), (QStringList{H, P, W, Lost, A}));
        QCOMPARE(run.deviceLog(), (QStringList{Start, Erase}));
        QCOMPARE(run.window().Label268->text(), SendingDone);
        QCOMPARE(run.window().Label276->text(), ErasingOn);
        QVERIFY(!run.window().Label271->isVisible());
        QVERIFY(run.noticeTexts().isEmpty());
        QVERIFY(!run.window().Client_2.Connected());
        QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
    }

    // A host name whose lookup the resolver never answers, and this machine's own name too:
    // the window goes on turning its event loop, the lookup counts within the connect's bound,
    // and the own address is left blank until an answer comes.
    void nameLookupNeverAnswered() {
        DeadResolver resolver;
        const QString problem = resolver.start();
        if (!problem.isEmpty())
            QSKIP(qPrintable(problem));
        TcpChannelBounds().connect = 2s;
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.settle();
        LoopProbe probe;
        QElapsedTimer clock;
        clock.start();
        run.window().EHost->setText("encoder.example"); // asked of 127.0.0.53 only
        run.window().Edit4->setText("999");
        run.window().SpeedButton26->click();
        QVERIFY(TurnEventLoopUntil([&] { return !run.noticeTexts().isEmpty(); }, 10000));
        QCOMPARE(run.noticeTexts(), QStringList{UpgradeText::ServerNotReady});
        QVERIFY2(clock.elapsed() >= 2000 && clock.elapsed() < 3500,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(run.window().Label442->text(), QString::fromLocal8Bit(MachineName()));
        QCOMPARE(run.window().Label447->text(), QString());
        QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
    }
};

FW_PRIVATE_NETWORK_TEST_MAIN(TestNetworkWindow, QApplication)
#include "tst_network_window.moc"
