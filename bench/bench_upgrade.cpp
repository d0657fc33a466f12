// The upgrade through the real window (offscreen) against encoder-sim and a loopback sender:
// (a) the time of a whole upgrade of the largest image, (b) the event loop's longest stall
// over the whole upgrade, click included, (c) the smallest gap between two replies without zero
// bytes that the window still takes apart. Prints figures measured in this one run.
//
//   bench_upgrade [a] [b] [c]      (all three by default)
#include "EncoderProtocol.h"
#include "StartUp.h"
#include "upgrade_window_harness.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QTest>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct UpgradeFigures {
    bool complete = false;
    double totalMs = 0;        // click to the end of the upgrade
    double clickMs = 0;        // the click, until the connect has settled
    qint64 longestStallMs = 0; // from before the click to the end
    int replies = 0;
    double imageMs = 0; // the simulator's first to last image byte
};

UpgradeFigures WholeUpgrade(const QStringList& simArguments) {
    UpgradeFigures figures;
    SimProcess sim;
    if (!sim.startOnce(simArguments))
        return figures;
    UpgradeWindowDriver run;
    if (!run.load(PatternImage(MaxImageSize)))
        return figures;
    run.settle();
    // Watched from before the click: the click itself must not hold the loop either.
    LoopProbe probe;
    QElapsedTimer clock;
    clock.start();
    run.press(sim.portText());
    figures.clickMs = double(clock.nsecsElapsed()) / 1e6;
    const bool ended = run.waitUntilEnded(60000);
    figures.totalMs = double(clock.nsecsElapsed()) / 1e6;
    figures.longestStallMs = probe.longestGapMs();
    const QJsonObject report = sim.waitForReport();
    figures.complete = ended && report.value("complete").toBool() &&
                       run.noticeTexts() == QStringList{UpgradeText::Success};
    figures.replies = report.value("replyCount").toInt();
    figures.imageMs = report.value("imageMs").toDouble();
    return figures;
}

void BenchWholeUpgrade(bool printTimes, bool printStalls) {
    std::printf("Whole upgrade of %d bytes through the window, encoder-sim default steps\n",
                MaxImageSize);
    struct Encoder {
        const char* name;
        QStringList arguments;
        int gapMs;
    };
    const Encoder encoders[] = {{"gap 0 ms", {"--gap-ms", "0"}, 0},
                                {"gap 2 ms", {"--gap-ms", "2"}, 2},
                                {"reading 1 MB/s", {"--gap-ms", "0", "--read-rate", "1000000"}, 0}};
    for (const Encoder& encoder : encoders) {
        for (int runNumber = 1; runNumber <= 3; ++runNumber) {
            const UpgradeFigures f = WholeUpgrade(encoder.arguments);
            const double pacing = double(encoder.gapMs) * f.replies;
            if (printTimes)
                std::printf("  %s, run %d: %s, total %.0f ms (click and connect %.1f ms, image on "
                            "the wire %.0f ms), %d replies, simulator pacing %.0f ms, beyond "
                            "pause, image and pacing %.0f ms (aim 15 ms)\n",
                            encoder.name, runNumber, f.complete ? "complete" : "NOT COMPLETE",
                            f.totalMs, f.clickMs, f.imageMs, f.replies, pacing,
                            f.totalMs - 1000.0 - f.imageMs - pacing);
            if (printStalls)
                std::printf("  %s, run %d: longest event-loop stall over the whole upgrade, "
                            "click included: %lld ms (aim 20 ms)\n",
                            encoder.name, runNumber, static_cast<long long>(f.longestStallMs));
        }
    }
}

// ---- (c) with the simulator: replies without zero bytes, --gap-ms apart -------------------

bool NoZeroUpgradeCompletes(int gapMs) {
    SimProcess sim;
    if (!sim.startOnce({"--no-zero", "--gap-ms", QString::number(gapMs), "--receive-step", "1000",
                        "--erase-step", "0x100000", "--program-step", "250"}))
        return false;
    UpgradeWindowDriver run;
    if (!run.load(PatternImage(1000)))
        return false;
    run.upgrade(sim.portText());
    if (!run.waitUntilEnded(5000))
        run.closeWindow();
    const QJsonObject report = sim.waitForReport();
    return run.noticeTexts() == QStringList{UpgradeText::Success} &&
           report.value("complete").toBool();
}

void BenchSimGaps() {
    std::printf("Replies without zero bytes (encoder-sim --no-zero, 14 replies per upgrade):\n");
    for (int gapMs = 0; gapMs <= 10; ++gapMs) {
        int complete = 0;
        const int runs = 5;
        for (int i = 0; i < runs; ++i)
            complete += NoZeroUpgradeCompletes(gapMs) ? 1 : 0;
        std::printf("  --gap-ms %2d: %d of %d upgrades complete\n", gapMs, complete, runs);
    }
}

// ---- (c) with a loopback sender: pairs of replies, sub-millisecond gaps -------------------

// Plays an encoder that takes header and image, then sends pairs of short replies with no
// zero byte, the two of a pair about `gap` apart (the sender sleeps, so the window's thread
// has a core), the pairs 20 ms apart; then closes. Records each pair's actual gap.
class PairSender {
public:
    PairSender(std::vector<std::chrono::microseconds> gaps, int pairsPerGap)
        : gaps(std::move(gaps)), pairsPerGap(pairsPerGap),
          actual(this->gaps.size(), std::vector<double>(std::size_t(pairsPerGap))) {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener, 1);
        socklen_t size = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~PairSender() {
        worker.join();
        ::close(listener);
    }
    // The gap between the end of the first send and the start of the second, in microseconds.
    double actualGapUs(std::size_t gap, int pair) const { return actual[gap][std::size_t(pair)]; }
    quint16 port = 0;

private:
    void serve() {
        const int peer = ::accept(listener, nullptr, nullptr);
        const int on = 1;
        ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        char header[12];
        readExactly(peer, header, 12);
        std::uint32_t length = 0;
        std::memcpy(&length, header + 4, 4);
        std::vector<char> image(length);
        readExactly(peer, image.data(), length);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (std::size_t g = 0; g < gaps.size(); ++g) {
            for (int i = 0; i < pairsPerGap; ++i) {
                const std::string first = "g" + std::to_string(g) + "a" + std::to_string(i);
                const std::string second = "g" + std::to_string(g) + "b" + std::to_string(i);
                ::send(peer, first.data(), first.size(), MSG_NOSIGNAL);
                const auto sent = Clock::now();
                if (gaps[g].count() > 0)
                    std::this_thread::sleep_until(sent + gaps[g]);
                const auto next = Clock::now();
                ::send(peer, second.data(), second.size(), MSG_NOSIGNAL);
                actual[g][std::size_t(i)] =
                    std::chrono::duration<double, std::micro>(next - sent).count();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        ::close(peer);
    }
    static void readExactly(int fd, char* into, std::size_t count) {
        for (std::size_t done = 0; done < count;) {
            const ssize_t got = ::recv(fd, into + done, count - done, 0);
            if (got <= 0)
                return;
            done += std::size_t(got);
        }
    }

    std::vector<std::chrono::microseconds> gaps;
    int pairsPerGap;
    std::vector<std::vector<double>> actual;
    int listener = -1;
    std::thread worker;
};

void BenchPairGaps() {
    using std::chrono::microseconds;
    const std::vector<microseconds> gaps{microseconds(0),    microseconds(100),  microseconds(200),
                                         microseconds(300),  microseconds(500),  microseconds(700),
                                         microseconds(1000), microseconds(2000), microseconds(3000),
                                         microseconds(5000)};
    const int pairs = 50;
    std::printf("Pairs of replies without zero bytes from a loopback sender (%d pairs per gap):\n",
                pairs);
    PairSender sender(gaps, pairs);
    UpgradeWindowDriver run;
    if (!run.load(PatternImage(1000)))
        return;
    run.upgrade(QString::number(sender.port));
    if (!run.waitUntilEnded(60000)) {
        std::printf("  the sender's close was not seen\n");
        return;
    }
    const QStringList lines = run.deviceLog();
    for (std::size_t g = 0; g < gaps.size(); ++g) {
        int apart = 0;
        double smallestApart = 1e9;
        double largestMerged = 0;
        double mean = 0;
        for (int i = 0; i < pairs; ++i) {
            const QString first = QStringLiteral("g%1a%2").arg(g).arg(i);
            const QString second = QStringLiteral("g%1b%2").arg(g).arg(i);
            const double gap = sender.actualGapUs(g, i);
            mean += gap / pairs;
            if (lines.contains(first) && lines.contains(second)) {
                ++apart;
                smallestApart = std::min(smallestApart, gap);
            } else {
                largestMerged = std::max(largestMerged, gap);
            }
        }
        std::printf("  gap %5lld us (actual mean %6.0f us): %2d of %d pairs taken as two replies"
                    "; largest gap merged %6.0f us\n",
                    static_cast<long long>(gaps[g].count()), mean, apart, pairs, largestMerged);
    }
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    PrepareApplication(application);
    if (qEnvironmentVariableIsEmpty("ENCODER_SIM"))
        qputenv("ENCODER_SIM", ENCODER_SIM_PROGRAM);
    QStringList parts = application.arguments().mid(1);
    if (parts.isEmpty())
        parts = {"a", "b", "c"};
    if (parts.contains("a") || parts.contains("b"))
        BenchWholeUpgrade(parts.contains("a"), parts.contains("b"));
    if (parts.contains("c")) {
        BenchPairGaps();
        BenchSimGaps();
    }
    return 0;
}
