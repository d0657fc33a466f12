// The rate and time left a front end shows while the image goes out: over the recent half of
// the transfer (at least 10 s), so a slow start is forgotten and a stall that goes on counts.

#include "TransferRate.h"

#include <QTest>

#include <optional>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

// (ms since the image began, bytes received in all by then)
using Samples = std::vector<std::pair<int, qint64>>;

// A steady `bytesPerSecond` from `fromMs` to `toMs`, sampled every 250 ms, on top of `start`.
Samples steady(int fromMs, int toMs, qint64 bytesPerSecond, qint64 start = 0) {
    Samples samples;
    for (int ms = fromMs + 250; ms <= toMs; ms += 250)
        samples.push_back({ms, start + bytesPerSecond * (ms - fromMs) / 1000});
    return samples;
}

// Nothing more from `fromMs` to `toMs`, as the session sees it every 250 ms.
Samples stalled(int fromMs, int toMs, qint64 bytes) {
    Samples samples;
    for (int ms = fromMs + 250; ms <= toMs; ms += 250)
        samples.push_back({ms, bytes});
    return samples;
}

Samples operator+(Samples first, const Samples& then) {
    first.insert(first.end(), then.begin(), then.end());
    return first;
}

} // namespace

class TestTransferRate : public QObject {
    Q_OBJECT

private slots:
    void estimate_data() {
        QTest::addColumn<Samples>("samples");
        QTest::addColumn<int>("nowMs");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<double>("rate"); // negative: none told yet
        QTest::addColumn<qint64>("leftMs");

        QTest::newRow("no byte yet") << Samples{} << 1000 << qint64(1000) << -1.0 << qint64(0);
        QTest::newRow("too young")
            << Samples{{100, 5000}} << 150 << qint64(100000) << -1.0 << qint64(0);
        QTest::newRow("steady") << steady(0, 4000, 100000) << 4000 << qint64(1000000) << 100000.0
                                << qint64(6000);
        // 5 s at half speed, then 25 s at full: over the last 15 s only the full speed shows
        // (the average since the start would say 91,667 B/s and 10.9 s).
        QTest::newRow("slow start forgotten")
            << steady(0, 5000, 50000) + steady(5000, 30000, 100000, 250000) << 30000
            << qint64(3750000) << 100000.0 << qint64(10000);
        // Nothing since 8 s: the rate falls while the encoder takes nothing.
        QTest::newRow("a stall that goes on counts")
            << steady(0, 8000, 100000) << 10000 << qint64(1600000) << 80000.0 << qint64(10000);
        // A stall from 8 s to 30 s across the window's start at 15 s: no bytes came in it
        // (spread over the stall, the rate would read 4,545 B/s and 22 s).
        QTest::newRow("a stall across the window's start")
            << steady(0, 8000, 100000) + stalled(8000, 29750, 800000) + Samples{{30000, 900000}}
            << 30000 << qint64(1000000) << 6667.0 << qint64(15000);
        // A retransmission timeout stalls 120,000 B/s from 20 s to 22.75 s; 5 s after it the
        // rate is the link's again (averaged over the window, 96,429 B/s: 7.97 s, 6.4 s true).
        QTest::newRow("a stall come out of is forgotten")
            << steady(0, 20000, 120000) + stalled(20000, 22750, 2400000) +
                   steady(22750, 28000, 120000, 2400000)
            << 28000 << qint64(3798000) << 120000.0 << qint64(6400);
        // The window begins at 15 s, between the samples at 0 and 20 s.
        QTest::newRow("bytes come evenly between samples")
            << Samples{{20000, 2000000}, {30000, 3000000}} << 30000 << qint64(4000000) << 100000.0
            << qint64(10000);
        QTest::newRow("fewer bytes than before are ignored")
            << Samples{{5000, 500000}, {6000, 400000}} << 10000 << qint64(1000000) << 50000.0
            << qint64(10000);
        QTest::newRow("all received")
            << steady(0, 2000, 100000) << 2000 << qint64(200000) << 100000.0 << qint64(0);
    }

    void estimate() {
        QFETCH(Samples, samples);
        QFETCH(int, nowMs);
        QFETCH(qint64, total);
        QFETCH(double, rate);
        QFETCH(qint64, leftMs);
        const TransferRate::Clock::time_point began{1h};
        TransferRate transfer;
        transfer.start(began);
        for (const auto& [ms, bytes] : samples)
            transfer.record(began + std::chrono::milliseconds(ms), bytes);
        const auto now = began + std::chrono::milliseconds(nowMs);
        const std::optional<double> told = transfer.bytesPerSecond(now);
        const std::optional<std::chrono::milliseconds> left = transfer.timeLeft(now, total);
        if (rate < 0) {
            QVERIFY(!told);
            QVERIFY(!left);
            return;
        }
        QVERIFY(told);
        QCOMPARE(qRound64(*told), qRound64(rate));
        QVERIFY(left);
        QCOMPARE(qint64(left->count()), leftMs);
    }
};

QTEST_APPLESS_MAIN(TestTransferRate)
#include "tst_transfer_rate.moc"
