// How long a vanished encoder goes unnoticed: one upgrade through UpgradeSession against
// encoder-sim per stage, inside a network namespace of this program's own (127.0.0.1 only),
// where nftables drops every packet to and from the encoder once the stage is reached. Prints
// the time from the drop to the reported loss, with the program's bounds (or, with --quick,
// the network tests' shortened ones), against the bound they add up to.
//
//   bench_vanish [--quick] [--rounds R]      (as root, or where user namespaces are allowed)
#include "TcpClientChannel.h"
#include "private_network.h"
#include "vanishing_encoder.h"

#include <QCoreApplication>

#include <cstdio>

using namespace std::chrono_literals;

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
    constexpr int Timeout = 120000;
    const struct {
        const char* name;
        VanishPlan plan;
    } stages[] = {
        {"at connect, before the header", {VanishStage::AtConnect, slow, 100000, Timeout}},
        {"in the pause", {VanishStage::InPause, slow, 100000, Timeout}},
        {"during the image",
         {VanishStage::DuringImage, {"--read-rate", "100000"}, 1000000, Timeout}},
        {"during erase", {VanishStage::DuringErase, slow, 100000, Timeout}},
        {"during programming", {VanishStage::DuringProgramming, slow, 100000, Timeout}},
    };
    for (const auto& [name, plan] : stages) {
        for (int round = 1; round <= rounds; ++round) {
            const VanishOutcome outcome = RunVanishingUpgrade(plan);
            std::printf(
                "  %-30s %8lld ms, %s%s\n", name, static_cast<long long>(outcome.lostAfterMs),
                qPrintable(UpgradeEndKindName(outcome.end.kind)),
                qPrintable(outcome.failure.isEmpty() ? QString() : " (" + outcome.failure + ")"));
            std::fflush(stdout);
        }
    }
    return 0;
}
