// The largest image through UpgradeSession over a slow link (tbf on lo, inside this program's
// own network namespace, 127.0.0.1 only), with the program's own bounds and a 3 s silence
// bound: the upgrade completes, nothing is failed for being slow, the progress follows what
// the encoder has, and the time left the session tells is close to the truth.

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "private_network.h"
#include "sim_test_client.h"
#include "test_image.h"
#include "upgrade_test_support.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTest>

#include <cmath>
#include <memory>
#include <vector>

using namespace std::chrono_literals;

namespace {

// The image counted as sent so far, when, and the time left the session told then.
struct Progress {
    qint64 ms;
    std::int64_t acknowledged;
    std::optional<std::chrono::milliseconds> timeLeft;
};

class ProgressView : public UpgradeRecordingView {
public:
    QElapsedTimer sinceImage;
    std::vector<Progress> progress;
    const UpgradeSession* session = nullptr;

    void stepEntered(UpgradeStep step) override {
        if (step == UpgradeStep::SendingImage)
            sinceImage.start();
        UpgradeRecordingView::stepEntered(step);
    }
    void imageSent(std::int64_t acknowledged, std::int64_t) override {
        progress.push_back({sinceImage.elapsed(), acknowledged, session->progress().timeLeft});
    }
};

} // namespace

class TestNetworkSlowLink : public QObject {
    Q_OBJECT

private slots:
    void init() { SKIP_WITHOUT_PRIVATE_NETWORK(); }

    void largestImage_data() {
        QTest::addColumn<int>("kbitPerSecond");
        QTest::newRow("1 Mbit/s") << 1000;
        QTest::newRow("256 kbit/s") << 256;
    }

    void largestImage() {
        QFETCH(int, kbitPerSecond);
        NetworkFaults faults;
        QVERIFY2(faults.slowLink(kbitPerSecond), qPrintable(faults.error()));
        SimProcess sim;
        QVERIFY(sim.start({"--once", "--report-line"}));
        const auto image = ImageBuffer(PatternImage(MaxImageSize));
        TcpClientChannel channel("127.0.0.1", QByteArray::number(sim.port()));
        ProgressView view;
        UpgradeSession session(channel, *image, view);
        view.session = &session;
        session.setSilenceBound(3s);
        qint64 imageMs = -1;
        view.onStep = [&](UpgradeStep step) {
            if (step == UpgradeStep::Following)
                imageMs = view.sinceImage.elapsed();
        };
        const int expectedS = int(std::ceil(MaxImageSize * 8.0 / (kbitPerSecond * 1000.0)));
        session.start();
        QVERIFY(QTest::qWaitFor([&] { return session.ended(); }, (expectedS * 3 / 2 + 30) * 1000));

        QCOMPARE(UpgradeEndKindName(session.endCause().kind), QString("success"));
        QCOMPARE(view.log("memo5"), (QStringList{UpgradeLog::SendHeader, UpgradeLog::SendProgram,
                                                 UpgradeLog::PowerWarning, UpgradeLog::Abort}));
        const QJsonObject report = sim.nextReport(10000);
        QVERIFY2(report.value("complete").toBool(), qPrintable(report.value("end").toString()));
        // The image counted as sent no sooner than the encoder had its last byte.
        QVERIFY2(imageMs >= report.value("imageMs").toDouble() - 50,
                 qPrintable(QStringLiteral("sent after %1 ms, the encoder took %2 ms")
                                .arg(imageMs)
                                .arg(report.value("imageMs").toDouble())));
        QVERIFY(!view.progress.empty());
        QCOMPARE(view.progress.back().acknowledged, MaxImageSize);
        checkTimeLeft(view.progress, MaxImageSize);
    }

private:
    // The time left the session tells, against the time the encoder actually took to
    // acknowledge the rest, from a tenth sent to the end: within a fifth of it or a second.
    static void checkTimeLeft(const std::vector<Progress>& progress, std::int64_t total) {
        const double doneMs = double(progress.back().ms);
        int checked = 0;
        double largestError = 0;
        for (const Progress& at : progress) {
            const double trueLeftMs = doneMs - double(at.ms);
            if (at.acknowledged * 10 < total || at.acknowledged == total)
                continue;
            QVERIFY2(at.timeLeft, qPrintable(QString::number(at.acknowledged)));
            const double errorMs = std::abs(double(at.timeLeft->count()) - trueLeftMs);
            QVERIFY2(errorMs <= std::max(0.2 * trueLeftMs, 1000.0),
                     qPrintable(QStringLiteral("at %1 bytes: %2 s left shown, %3 s in truth")
                                    .arg(at.acknowledged)
                                    .arg(double(at.timeLeft->count()) / 1000, 0, 'f', 1)
                                    .arg(trueLeftMs / 1000, 0, 'f', 1)));
            if (trueLeftMs > 5000)
                largestError = std::max(largestError, errorMs / trueLeftMs);
            ++checked;
        }
        QVERIFY2(checked >= 10, qPrintable(QString::number(checked)));
        qInfo("time left within %.1f %% of the truth (more than 5 s left), %d points, the image in "
              "%.1f s",
              largestError * 100, checked, doneMs / 1000);
    }
};

FW_PRIVATE_NETWORK_TEST_MAIN(TestNetworkSlowLink, QCoreApplication)
#include "tst_network_slow_link.moc"
