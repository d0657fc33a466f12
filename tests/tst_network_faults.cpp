// One encoder's upgrade through UpgradeSession against encoder-sim, with real network faults
// made by nftables inside this program's own network namespace (127.0.0.1 only): an encoder
// that vanishes at each stage, header segments lost on the way, connects that fail for
// different reasons, and an encoder that is up but quiet.

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
#include "test_image.h"
#include "upgrade_test_support.h"
#include "vanishing_encoder.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <memory>

using namespace std::chrono_literals;

using namespace UpgradeLogLines;

namespace {

// Bounds that give up on a vanished encoder within seconds rather than half a minute.
ChannelBounds QuickLossBounds() {
    ChannelBounds bounds;
    bounds.userTimeout = 3s;
    bounds.keepAliveIdle = 1s;
    bounds.keepAliveInterval = 1s;
    bounds.keepAliveProbes = 3;
    return bounds;
}
// Timers, the nft commands and a machine shared with other builds.
constexpr qint64 SlackMs = 1500;
// Erasing takes 61 replies and programming 100, 20 ms apart: time enough to vanish in.
const QStringList Paced{"--gap-ms", "20", "--program-step", "1000"};
const QStringList SlowReader{"--read-rate", "400000"};
using S = VanishStage;

struct VanishRow {
    const char* name;
    VanishPlan plan;
    QStringList upgradeLog;
};

// All at once, each against a simulator and rules of its own: an upgrade whose encoder answers
// again after an outage succeeds; one whose encoder is gone for good ends as a lost
// connection, given up by TCP within the bound.
void RunAtOnce(const QList<VanishRow>& rows) {
    QList<VanishPlan> plans;
    for (const VanishRow& row : rows)
        plans << row.plan;
    const QList<VanishOutcome> outcomes = RunVanishingUpgrades(plans);
    const qint64 boundMs = VanishedEncoderBound(TcpChannelBounds()).count();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const VanishOutcome& out = outcomes[i];
        const int outageMs = plans[i].outageMs;
        const QString said = QStringLiteral("%1: %2 after %3 ms (bound %4 ms), %5")
                                 .arg(rows[i].name, UpgradeEndKindName(out.end.kind))
                                 .arg(out.lostAfterMs)
                                 .arg(boundMs)
                                 .arg(out.failure + out.end.text);
        QVERIFY2(out.failure.isEmpty() && out.droppedPackets > 0 &&
                     (outageMs > 0
                          ? out.end.kind == UpgradeEndKind::Success && out.lostAfterMs >= outageMs
                          : out.end.kind == UpgradeEndKind::ConnectionLost &&
                                out.lostAfterMs >= 1000 && out.lostAfterMs <= boundMs + SlackMs &&
                                out.channelClosed),
                 qPrintable(said));
        QCOMPARE(out.upgradeLog, rows[i].upgradeLog);
    }
}

// One upgrade against encoder-sim in the namespace.
struct Rig {
    SimProcess sim;
    std::unique_ptr<FirmwareImageBuffer> image;
    std::unique_ptr<TcpClientChannel> channel;
    UpgradeRecordingView view;
    std::unique_ptr<UpgradeSession> session;

    bool start(const QStringList& simArguments, int length) {
        if (!sim.start(simArguments + QStringList{"--once", "--report-line"}))
            return false;
        image = ImageBuffer(PatternImage(length));
        channel = std::make_unique<TcpClientChannel>("127.0.0.1", QByteArray::number(sim.port()));
        session = std::make_unique<UpgradeSession>(*channel, *image, view);
        return true;
    }
    QString endKind() const { return UpgradeEndKindName(session->endCause().kind); }
};

} // namespace

class TestNetworkFaults : public QObject {
    Q_OBJECT

private slots:
    void init() { SKIP_WITHOUT_PRIVATE_NETWORK(); }
    void cleanup() { TcpChannelBounds() = ChannelBounds{}; }

    // Whatever it was doing, an encoder whose network stack stops answering is given up by
    // TCP within the bound, and the upgrade ends as a lost connection.
    void encoderVanishes() {
        TcpChannelBounds() = QuickLossBounds();
        const int t = int(VanishedEncoderBound(TcpChannelBounds()).count()) + 20000;
        RunAtOnce({
            {"at connect, before the header", {S::AtConnect, Paced, 100000, t}, {H, Lost, A}},
            {"in the pause", {S::InPause, Paced, 100000, t}, {H, P, Lost, A}},
            {"during the image", {S::DuringImage, SlowReader, 1000000, t}, {H, P, Lost, A}},
            {"during erase", {S::DuringErase, Paced, 100000, t}, {H, P, W, Lost, A}},
            {"during programming", {S::DuringProgramming, Paced, 100000, t}, {H, P, W, Lost, A}},
        });
    }

    // With the program's bounds, all at once against simulators of their own: a network that
    // drops out for 20 s at any stage is survived, and an encoder that never comes back is
    // found within a minute, its image unacknowledged (the user timeout) or its erase quiet
    // (the keepalive probes). Retransmitted no sooner than 250 ms, TCP's last try inside a
    // 20 s outage comes at 15.75 s and the next at 31.75 s.
    void outagesWithTheProgramsBounds() {
        NetworkFaults network;
        QVERIFY2(network.retransmitNoSooner(250), qPrintable(network.error()));
        constexpr int Outage = 20000;
        constexpr int T = 90000;
        const QStringList done{H, P, W, A};
        QVERIFY(VanishedEncoderBound(TcpChannelBounds()) < 60s);
        RunAtOnce({
            {"20 s in the pause", {S::InPause, Paced, 100000, T, Outage}, done},
            {"20 s during the image", {S::DuringImage, SlowReader, 1000000, T, Outage}, done},
            {"20 s during erase", {S::DuringErase, Paced, 100000, T, Outage}, done},
            {"20 s during programming", {S::DuringProgramming, Paced, 100000, T, Outage}, done},
            {"gone during the image", {S::DuringImage, SlowReader, 1000000, T}, {H, P, Lost, A}},
            {"gone during erase", {S::DuringErase, Paced, 100000, T}, {H, P, W, Lost, A}},
        });
    }

    // An encoder that is there but quiet (a long erase) answers TCP's probes and is waited
    // for, well past the time a vanished one is given up.
    void quietEncoderIsWaitedFor() {
        TcpChannelBounds() = QuickLossBounds();
        Rig rig;
        QVERIFY(rig.start({"--gap-ms", "1", "--silent-at", "erase"}, 1000));
        rig.session->start();
        QVERIFY(QTest::qWaitFor(
            [&] {
                return rig.view.calls.contains("row " +
                                               UpgradeRecordingView::name(UpgradePhase::Erasing));
            },
            10000));
        const qint64 boundMs = VanishedEncoderBound(TcpChannelBounds()).count();
        QTest::qWait(int(2 * boundMs));
        QVERIFY2(!rig.session->ended(), qPrintable(rig.endKind()));
        QCOMPARE(rig.session->step(), UpgradeStep::Following);
        rig.session->stop({UpgradeEndKind::Interrupted, "operator"});
        QCOMPARE(rig.view.log("memo5"), (QStringList{H, P, W, A}));
    }

    void headerSegmentsLost_data() {
        QTest::addColumn<int>("lost");
        QTest::newRow("the first transmission") << 1;
        QTest::newRow("the first two") << 2;
        QTest::newRow("the first three") << 3;
    }

    // The header comes late when its segments are lost on the way; the pause counts from
    // the encoder's acknowledgement, so the encoder still gets its whole pause before the image.
    void headerSegmentsLost() {
        QFETCH(int, lost);
        Rig rig;
        QVERIFY(rig.start({"--gap-ms", "1", "--receive-step", "400", "--erase-step", "0x100000",
                           "--program-step", "400"},
                          1000));
        NetworkFaults faults;
        QVERIFY2(faults.loseFirstSegments(rig.sim.port(), lost), qPrintable(faults.error()));
        rig.session->start();
        QVERIFY(QTest::qWaitFor([&] { return rig.session->ended(); }, 20000));
        QCOMPARE(rig.endKind(), QString("success"));
        QCOMPARE(faults.dropped(), lost);
        const QJsonObject report = rig.sim.nextReport(10000);
        const double pause = report.value("headerToImageMs").toDouble();
        QVERIFY2(pause >= 1000.0, qPrintable(QString::number(pause)));
        QVERIFY2(report.value("complete").toBool(), qPrintable(report.value("end").toString()));
    }

    void connectFails_data() {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<int>("boundS");
        QTest::addColumn<QString>("text");
        // One SYN retransmission: the system gives up after 1 + 2 seconds.
        QTest::newRow("the system gives up first")
            << "drop" << 20 << "connection timed out: the system gave up after [34] s";
        QTest::newRow("the channel's bound first") << "drop" << 1 << "no connection within 1 s";
        QTest::newRow("unreachable")
            << "reject with icmp type host-unreachable" << 20 << "no route to host";
    }

    // A connect that fails says what happened, not the bound that was asked for.
    void connectFails() {
        QFETCH(QString, rule);
        QFETCH(int, boundS);
        QFETCH(QString, text);
        QVERIFY(setSynRetries("1"));
        const auto restore = qScopeGuard([this] { setSynRetries("6"); });
        TcpChannelBounds().connect = std::chrono::seconds(boundS);
        Rig rig;
        QVERIFY(rig.start({}, 1000));
        NetworkFaults faults;
        QVERIFY2(faults.add(QStringLiteral("tcp dport %1 %2").arg(rig.sim.port()).arg(rule)),
                 qPrintable(faults.error()));
        rig.session->start();
        QVERIFY(QTest::qWaitFor([&] { return rig.session->ended(); }, 25000));
        QCOMPARE(rig.endKind(), QString("not-reachable"));
        const QString said = rig.session->endCause().text;
        QVERIFY2(QRegularExpression("^" + text + "$").match(said).hasMatch(), qPrintable(said));
    }

private:
    // This namespace's own setting: how often a connect's SYN is sent again.
    static bool setSynRetries(const QByteArray& count) {
        QFile retries("/proc/sys/net/ipv4/tcp_syn_retries");
        return retries.open(QIODevice::WriteOnly) && retries.write(count) == count.size();
    }
};

FW_PRIVATE_NETWORK_TEST_MAIN(TestNetworkFaults, QCoreApplication)
#include "tst_network_faults.moc"
