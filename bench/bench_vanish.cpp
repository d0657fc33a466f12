// How long a vanished encoder goes unnoticed: one upgrade through UpgradeSession against
// encoder-sim per stage, inside a network namespace of this program's own (127.0.0.1 only),
// where nftables drops every packet to and from the encoder once the stage is reached. Prints
// the time from the drop to the reported loss, with the program's bounds (or, with --quick,
// the network tests' shortened ones), against the bound they add up to.
//
//   bench_vanish [--quick] [--rounds R]      (as root, or where user namespaces are allowed)
#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
#include "upgrade_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>
#include <functional>
#include <memory>

using namespace std::chrono_literals;

namespace {

enum class Stage { AtConnect, InPause, DuringImage, DuringErase, DuringProgramming };

struct StagePlan {
    Stage stage;
    const char* name;
    QStringList simArguments;
    int length;
};

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

// Milliseconds from the drop to the end, and how it ended; -1 when the drop never came.
struct Outcome {
    qint64 ms = -1;
    QString end;
};

Outcome VanishAt(const StagePlan& plan) {
    Outcome outcome;
    SimProcess sim;
    if (!sim.start(plan.simArguments + QStringList{"--once"}))
        return outcome;
    auto image = std::make_unique<FirmwareImageBuffer>();
    image->length = plan.length;
    image->checksum = ImageChecksum(image->data.data(), static_cast<std::size_t>(plan.length));
    TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
    WatchingView view;
    UpgradeSession session(channel, *image, view);
    NetworkFaults faults;
    QElapsedTimer sinceVanished;
    const auto vanishWhen = [&](bool reached) {
        if (reached && !sinceVanished.isValid() && faults.vanish(sim.port()))
            sinceVanished.start();
    };
    view.onStep = [&](UpgradeStep step) {
        vanishWhen((step == UpgradeStep::SendingHeader && plan.stage == Stage::AtConnect) ||
                   (step == UpgradeStep::Pausing && plan.stage == Stage::InPause));
    };
    view.onAcknowledged = [&](std::int64_t acknowledged) {
        vanishWhen(plan.stage == Stage::DuringImage && acknowledged >= plan.length / 5);
    };
    view.onRow = [&](UpgradePhase phase) {
        vanishWhen((phase == UpgradePhase::Erasing && plan.stage == Stage::DuringErase) ||
                   (phase == UpgradePhase::Programming && plan.stage == Stage::DuringProgramming));
    };
    session.start();
    const bool ended = QTest::qWaitFor([&] { return session.ended(); }, 120000);
    if (sinceVanished.isValid() && ended)
        outcome.ms = sinceVanished.elapsed();
    outcome.end = ended ? UpgradeEndKindName(session.endCause().kind)
                        : QStringLiteral("not ended after 120 s");
    return outcome;
}

} // namespace

int main(int argc, char* argv[]) {
    EnterPrivateNetwork();
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsEmpty("ENCODER_SIM"))
        qputenv("ENCODER_SIM", ENCODER_SIM_PROGRAM);
    const QStringList arguments = application.arguments();
    const bool quick = arguments.contains("--quick");
    const qsizetype roundsAt = arguments.indexOf("--rounds");
    const int rounds = roundsAt > 0 ? std::max(1, arguments.value(roundsAt + 1).toInt()) : 1;
    if (const QString problem = PrivateNetworkProblem(); !problem.isEmpty()) {
        std::fprintf(stderr, "bench_vanish: no private network: %s\n", qPrintable(problem));
        return 1;
    }
    if (quick) {
        TcpChannelBounds().userTimeout = 3s;
        TcpChannelBounds().keepAliveIdle = 1s;
        TcpChannelBounds().keepAliveInterval = 1s;
        TcpChannelBounds().keepAliveProbes = 3;
    }
    const ChannelBounds& bounds = TcpChannelBounds();
    std::printf("From the encoder's vanishing to the reported loss, %s bounds: user timeout "
                "%lld ms, keepalive after %lld s then every %lld s; at most %lld ms "
                "(%d round(s))\n",
                quick ? "the network tests'" : "the program's",
                static_cast<long long>(bounds.userTimeout.count()),
                static_cast<long long>(bounds.keepAliveIdle.count()),
                static_cast<long long>(bounds.keepAliveInterval.count()),
                static_cast<long long>(VanishedEncoderBound(bounds).count()), rounds);
    // Erasing and programming go on for minutes, 500 ms a reply: time enough to vanish in.
    const QStringList slow{"--gap-ms", "500", "--program-step", "1000"};
    const StagePlan plans[] = {
        {Stage::AtConnect, "at connect, before the header", slow, 100000},
        {Stage::InPause, "in the pause", slow, 100000},
        {Stage::DuringImage, "during the image", {"--read-rate", "100000"}, 1000000},
        {Stage::DuringErase, "during erase", slow, 100000},
        {Stage::DuringProgramming, "during programming", slow, 100000},
    };
    for (const StagePlan& plan : plans) {
        for (int round = 1; round <= rounds; ++round) {
            const Outcome outcome = VanishAt(plan);
            std::printf("  %-30s %8lld ms, %s\n", plan.name, static_cast<long long>(outcome.ms),
                        qPrintable(outcome.end));
            std::fflush(stdout);
        }
    }
    return 0;
}
