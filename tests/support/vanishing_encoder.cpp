#include "vanishing_encoder.h"

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
#include "test_image.h"
#include "upgrade_test_support.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

// The recording view, also telling when a phase row shows and how much the encoder has.
class WatchingView : public UpgradeRecordingView {
public:
    std::function<void(UpgradePhase)> onRow;
    std::function<void(std::int64_t)> onAcknowledged;

    void showPhaseRow(UpgradePhase phase) override {
        UpgradeRecordingView::showPhaseRow(phase);
        if (onRow)
            onRow(phase);
    }
    void imageSent(std::int64_t acknowledged, std::int64_t) override {
        if (onAcknowledged)
            onAcknowledged(acknowledged);
    }
};

// One upgrade whose encoder vanishes at the plan's stage.
class VanishingUpgrade {
public:
    explicit VanishingUpgrade(const VanishPlan& plan) : plan(plan) {}

    void start() {
        if (!sim.start(plan.simArguments + QStringList{"--once"})) {
            outcome.failure = QStringLiteral("the simulator did not start");
            return;
        }
        image = ImageBuffer(PatternImage(plan.imageLength));
        channel = std::make_unique<TcpClientChannel>("127.0.0.1", QByteArray::number(sim.port()));
        session = std::make_unique<UpgradeSession>(*channel, *image, view);
        watchStages();
        session->start();
    }

    // Polled while the upgrades go on, so that each end is timed when it comes.
    bool ended() {
        if (session && session->ended() && sinceVanished.isValid() && outcome.lostAfterMs < 0)
            outcome.lostAfterMs = sinceVanished.elapsed();
        return !session || session->ended();
    }

    VanishOutcome finish() {
        if (!session)
            return outcome;
        if (!sinceVanished.isValid())
            outcome.failure = QStringLiteral("the encoder never vanished: ") + faults.error();
        else if (!session->ended())
            outcome.failure = QStringLiteral("the upgrade did not end");
        outcome.end = session->endCause();
        outcome.upgradeLog = view.log(QStringLiteral("memo5"));
        if (outcome.droppedPackets < 0)
            outcome.droppedPackets = faults.dropped();
        outcome.channelClosed = !channel->Connected();
        return outcome;
    }

private:
    void watchStages() {
        const VanishStage stage = plan.stage;
        view.onStep = [this, stage](UpgradeStep step) {
            vanishWhen((step == UpgradeStep::SendingHeader && stage == VanishStage::AtConnect) ||
                       (step == UpgradeStep::Pausing && stage == VanishStage::InPause));
        };
        view.onAcknowledged = [this, stage](std::int64_t acknowledged) {
            vanishWhen(stage == VanishStage::DuringImage && acknowledged >= plan.imageLength / 5);
        };
        view.onRow = [this, stage](UpgradePhase phase) {
            vanishWhen(
                (phase == UpgradePhase::Erasing && stage == VanishStage::DuringErase) ||
                (phase == UpgradePhase::Programming && stage == VanishStage::DuringProgramming));
        };
    }

    void vanishWhen(bool reached) {
        if (!reached || sinceVanished.isValid() || !faults.vanish(sim.port()))
            return;
        sinceVanished.start();
        if (plan.outageMs > 0)
            QTimer::singleShot(plan.outageMs, &alive, [this] { answerAgain(); });
    }

    void answerAgain() {
        outcome.droppedPackets = faults.dropped();
        faults.clear();
    }

    const VanishPlan plan;
    SimProcess sim;
    std::unique_ptr<FirmwareImageBuffer> image;
    std::unique_ptr<TcpClientChannel> channel;
    WatchingView view;
    std::unique_ptr<UpgradeSession> session;
    NetworkFaults faults;
    QElapsedTimer sinceVanished;
    QObject alive; // the outage's end is not told to a finished upgrade
    VanishOutcome outcome;
};

} // namespace

QList<VanishOutcome> RunVanishingUpgrades(const QList<VanishPlan>& plans) {
    std::vector<std::unique_ptr<VanishingUpgrade>> upgrades;
    int timeoutMs = 0;
    for (const VanishPlan& plan : plans) {
        upgrades.push_back(std::make_unique<VanishingUpgrade>(plan));
        upgrades.back()->start();
        timeoutMs = std::max(timeoutMs, plan.timeoutMs);
    }
    const auto allEnded = [&] {
        return std::all_of(upgrades.begin(), upgrades.end(),
                           [](const auto& upgrade) { return upgrade->ended(); });
    };
    static_cast<void>(QTest::qWaitFor(allEnded, timeoutMs)); // each end is told in finish()
    QList<VanishOutcome> outcomes;
    for (const auto& upgrade : upgrades)
        outcomes << upgrade->finish();
    return outcomes;
}
