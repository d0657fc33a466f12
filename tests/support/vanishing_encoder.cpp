#include "vanishing_encoder.h"

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
#include "upgrade_test_support.h"

#include <QElapsedTimer>
#include <QTest>

#include <functional>
#include <memory>

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

} // namespace

VanishOutcome RunVanishingUpgrade(const VanishPlan& plan) {
    VanishOutcome outcome;
    SimProcess sim;
    if (!sim.start(plan.simArguments + QStringList{"--once"})) {
        outcome.failure = QStringLiteral("the simulator did not start");
        return outcome;
    }
    auto image = std::make_unique<FirmwareImageBuffer>();
    for (int i = 0; i < plan.imageLength; ++i)
        image->data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 7 + i / 256);
    image->length = plan.imageLength;
    image->checksum = ImageChecksum(image->data.data(), static_cast<std::size_t>(image->length));
    TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
    WatchingView view;
    UpgradeSession session(channel, *image, view);

    NetworkFaults faults;
    QElapsedTimer sinceVanished;
    const auto vanishWhen = [&](bool reached) {
        if (reached && !sinceVanished.isValid() && faults.vanish(sim.port()))
            sinceVanished.start();
    };
    const VanishStage stage = plan.stage;
    view.onStep = [&](UpgradeStep step) {
        vanishWhen((step == UpgradeStep::SendingHeader && stage == VanishStage::AtConnect) ||
                   (step == UpgradeStep::Pausing && stage == VanishStage::InPause));
    };
    view.onAcknowledged = [&](std::int64_t acknowledged) {
        vanishWhen(stage == VanishStage::DuringImage && acknowledged >= plan.imageLength / 5);
    };
    view.onRow = [&](UpgradePhase phase) {
        vanishWhen((phase == UpgradePhase::Erasing && stage == VanishStage::DuringErase) ||
                   (phase == UpgradePhase::Programming && stage == VanishStage::DuringProgramming));
    };
    session.start();
    const bool ended = QTest::qWaitFor([&] { return session.ended(); }, plan.timeoutMs);

    if (!sinceVanished.isValid())
        outcome.failure = QStringLiteral("the encoder never vanished: ") + faults.error();
    else if (!ended)
        outcome.failure = QStringLiteral("the upgrade did not end");
    else
        outcome.lostAfterMs = sinceVanished.elapsed();
    outcome.end = session.endCause();
    outcome.upgradeLog = view.log(QStringLiteral("memo5"));
    outcome.droppedPackets = faults.dropped();
    outcome.channelClosed = !channel.Connected();
    return outcome;
}
