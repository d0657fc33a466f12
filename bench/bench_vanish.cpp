// How long a vanished encoder goes unnoticed, and how long an outage is survived: upgrades
// through UpgradeSession against encoder-sim, one per stage and all at once, inside a network
// namespace of this program's own (127.0.0.1 only), where nftables drops every packet to and
// from an encoder once its stage is reached. Prints the time from the drop to the reported
// loss, with the program's bounds (or, with --quick, the network tests' shortened ones),
// against the bound they add up to; with --outages, for each outage (in seconds) whether the
// upgrade still succeeded once the encoder answered again, and the largest outage survived in
// every round at each stage. --rto-min has TCP retransmit no sooner than MS (200 on loopback),
// as over a network whose round trip varies.
//
//   bench_vanish [--quick] [--rounds R] [--outages 20,25,30] [--rto-min MS]
//   (as root, or where user namespaces are allowed)
#include "TcpClientChannel.h"
#include "private_network.h"
#include "vanishing_encoder.h"

#include <QCoreApplication>

#include <cstdio>
#include <map>

using namespace std::chrono_literals;

namespace {

struct Stage {
    const char* name;
    VanishPlan plan;
};

// Erasing and programming go on for tens of seconds, 250 ms a reply: time enough to vanish in.
QList<Stage> stages(int timeoutMs) {
    const QStringList slow{"--gap-ms", "250", "--program-step", "1000"};
    return {
        {"at connect, before the header", {VanishStage::AtConnect, slow, 100000, timeoutMs}},
        {"in the pause", {VanishStage::InPause, slow, 100000, timeoutMs}},
        {"during the image",
         {VanishStage::DuringImage, {"--read-rate", "100000"}, 1000000, timeoutMs}},
        {"during erase", {VanishStage::DuringErase, slow, 100000, timeoutMs}},
        {"during programming", {VanishStage::DuringProgramming, slow, 100000, timeoutMs}},
    };
}

QList<VanishOutcome> runAll(const QList<Stage>& all, int outageMs) {
    QList<VanishPlan> plans;
    for (const Stage& stage : all) {
        plans << stage.plan;
        plans.back().outageMs = outageMs;
    }
    return RunVanishingUpgrades(plans);
}

void print(const char* name, const VanishOutcome& outcome) {
    std::printf("  %-30s %8lld ms, %s%s\n", name, static_cast<long long>(outcome.lostAfterMs),
                qPrintable(UpgradeEndKindName(outcome.end.kind)),
                qPrintable(outcome.failure.isEmpty() ? QString() : " (" + outcome.failure + ")"));
    std::fflush(stdout);
}

void measureVanishing(int rounds) {
    const QList<Stage> all = stages(120000);
    for (int round = 1; round <= rounds; ++round) {
        const QList<VanishOutcome> outcomes = runAll(all, 0);
        for (qsizetype i = 0; i < all.size(); ++i)
            print(all[i].name, outcomes[i]);
    }
}

// An outage is survived when the upgrade succeeds all the same.
void measureOutages(const QList<int>& outagesS, int rounds) {
    const QList<Stage> all = stages(240000);
    std::map<qsizetype, int> largest; // stage -> largest outage survived in every round so far
    std::map<qsizetype, bool> failed;
    for (const int outageS : outagesS) {
        for (int round = 1; round <= rounds; ++round) {
            std::printf("An outage of %d s, round %d (ms from the drop to the end):\n", outageS,
                        round);
            const QList<VanishOutcome> outcomes = runAll(all, outageS * 1000);
            for (qsizetype i = 0; i < all.size(); ++i) {
                print(all[i].name, outcomes[i]);
                if (outcomes[i].end.kind != UpgradeEndKind::Success ||
                    !outcomes[i].failure.isEmpty())
                    failed[i] = true;
            }
        }
        for (qsizetype i = 0; i < all.size(); ++i)
            if (!failed[i])
                largest[i] = outageS;
    }
    std::printf("The largest outage survived in every round:\n");
    for (qsizetype i = 0; i < all.size(); ++i)
        std::printf("  %-30s %s\n", all[i].name,
                    largest.count(i) ? qPrintable(QString::number(largest[i]) + " s")
                                     : "none of those tried");
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
    const qsizetype outagesAt = arguments.indexOf("--outages");
    QList<int> outagesS;
    for (const QString& seconds : arguments.value(outagesAt + 1).split(',', Qt::SkipEmptyParts))
        if (outagesAt > 0 && seconds.toInt() > 0)
            outagesS << seconds.toInt();
    if (const QString problem = PrivateNetworkProblem(); !problem.isEmpty()) {
        std::fprintf(stderr, "bench_vanish: no private network: %s\n", qPrintable(problem));
        return 1;
    }
    NetworkFaults network;
    const qsizetype rtoMinAt = arguments.indexOf("--rto-min");
    if (rtoMinAt > 0 && !network.retransmitNoSooner(arguments.value(rtoMinAt + 1).toInt())) {
        std::fprintf(stderr, "bench_vanish: --rto-min: %s\n", qPrintable(network.error()));
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
                "%lld ms, send stall %lld ms, keepalive after %lld s then every %lld s; at "
                "most %lld ms (%d round(s)%s)\n",
                quick ? "the network tests'" : "the program's",
                static_cast<long long>(bounds.userTimeout.count()),
                static_cast<long long>(bounds.sendStall.count()),
                static_cast<long long>(bounds.keepAliveIdle.count()),
                static_cast<long long>(bounds.keepAliveInterval.count()),
                static_cast<long long>(VanishedEncoderBound(bounds).count()), rounds,
                rtoMinAt > 0 ? qPrintable(", retransmitted no sooner than " +
                                          arguments.value(rtoMinAt + 1) + " ms")
                             : "");
    measureVanishing(rounds);
    if (!outagesS.isEmpty())
        measureOutages(outagesS, rounds);
    return 0;
}
