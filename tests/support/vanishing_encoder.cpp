#include "vanishing_encoder.h"

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
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
    std::function<void()> onEnd;

    void showPhaseRow(UpgradePhase phase) override {
        UpgradeRecordingView::showPhaseRow(phase);
        if (onRow)
            onRow(phase);
    }
    void imageSent(std::int64_t acknowledged, std::int64_t) override {
        if (onAcknowledged)
            onAcknowledged(acknowledged);
    }
    void upgradeEnded(const UpgradeEnd& end) override {
        UpgradeRecordingView::upgradeEnded(end);
        if (onEnd)
            onEnd();
    }
};

// One upgrade whose encoder vanishes at the plan's stage.
class VanishingUpgrade {
public:
    explicit VanishingUpgrade(const VanishPlan& plan) : plan(plan) {
        outageEnd.setSingleShot(true);
        QObject::connect(&outageEnd, &QTimer::timeout, [this] { answerAgain(); });
    }

    bool start() {
        if (!sim.start(plan.simArguments + QStringList{"--once"})) {
            outcome.failure = QStringLiteral("the simulator did not start");
            return false;
        }
        image = std::make_unique<FirmwareImageBuffer>();
        for (int i = 0; i < plan.imageLength; ++i)
            image->data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + i / 256);
        image->length = plan.imageLength;
        image->checksum =
            ImageChecksum(image->data.data(), static_cast<std::size_t>(image->length));
        channel = std::make_unique<TcpClientChannel>("127.0.0.1", QByteArray::number(sim.port()));
        session = std::make_unique<UpgradeSession>(*channel, *image, view);
        watchStages();
        session->start();
        return true;
    }

    bool ended() const { return !session || session->ended(); }

    VanishOutcome finish(bool inTime) {
        if (!session)
            return outcome;
        if (!sinceVanished.isValid())
            outcome.failure = QStringLiteral("the encoder never vanished: ") + faults.error();
        else if (!inTime)
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
        view.onEnd = [this] {
            if (sinceVanished.isValid())
                outcome.lostAfterMs = sinceVanished.elapsed();
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
            outageEnd.start(plan.outageMs);
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
    QTimer outageEnd;
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
    const bool inTime = QTest::qWaitFor(allEnded, timeoutMs);
    QList<VanishOutcome> outcomes;
    for (const auto& upgrade : upgrades)
        outcomes << upgrade->finish(inTime || upgrade->ended());
    return outcomes;
}

VanishOutcome RunVanishingUpgrade(const VanishPlan& plan) {
    return RunVanishingUpgrades({plan}).front();
}
