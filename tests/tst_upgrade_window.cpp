#include "EncoderProtocol.h"
#include "StartUp.h"
#include "TForm1.h"
#include "UpgradeMonitor.h"
#include "local_machine.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProgressBar>
#include <QTest>

#include <functional>
#include <map>
#include <poll.h>
#include <vector>

using namespace UpgradeWindowRows;

namespace {

// Records, at each paint event of the watched controls, what each showed and when.
class PaintRecorder : public QObject {
public:
    PaintRecorder() { clock.start(); }
    void watch(QWidget* control, const QString& name, std::function<QString()> shown) {
        watched[control] = {name, std::move(shown)};
        control->installEventFilter(this);
    }
    // Milliseconds from the start to the first paint of `name` showing `text`; -1 if none.
    qint64 firstPaint(const QString& name, const QString& text) const {
        for (const Paint& paint : paints)
            if (paint.name == name && paint.text == text)
                return paint.ms;
        return -1;
    }
    bool eventFilter(QObject* object, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched.count(object)) {
            const auto& [name, shown] = watched.at(object);
            paints.push_back({name, shown(), clock.elapsed()});
        }
        return false;
    }

private:
    struct Paint {
        QString name;
        QString text;
        qint64 ms;
    };
    QElapsedTimer clock;
    std::map<QObject*, std::pair<QString, std::function<QString()>>> watched;
    std::vector<Paint> paints;
};

} // namespace

class TestUpgradeWindow : public QObject {
    Q_OBJECT

    QStringList visibleRowControls(const TForm1& w) const {
        QStringList shown;
        for (QWidget* control :
             {static_cast<QWidget*>(w.Label269), static_cast<QWidget*>(w.ProgressBar4),
              static_cast<QWidget*>(w.Label270), static_cast<QWidget*>(w.Label268),
              static_cast<QWidget*>(w.Label274), static_cast<QWidget*>(w.ProgressBar5),
              static_cast<QWidget*>(w.Label275), static_cast<QWidget*>(w.Label276),
              static_cast<QWidget*>(w.Label272), static_cast<QWidget*>(w.ProgressBar1),
              static_cast<QWidget*>(w.Label273), static_cast<QWidget*>(w.Label271)})
            if (control->isVisible())
                shown << control->objectName();
        return shown;
    }

private slots:
    void initTestCase() {
        PrepareApplication(*qApp);
        QVERIFY2(!qEnvironmentVariableIsEmpty("ENCODER_SIM"), "ENCODER_SIM names the simulator");
    }
    void cleanup() {
        TcpChannelBounds() = ChannelBounds{};
        QCOMPARE(QApplication::overrideCursor(), nullptr);
    }

    void completeUpgrade_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<qint64>("checksum");
        QTest::newRow("abc") << 3 << qint64(0xFFFFFEDA);
        QTest::newRow("1000 bytes") << 1000 << qint64(ImageSumChecksum(PatternImage(1000)));
        QTest::newRow("70000 bytes") << 70000 << qint64(ImageSumChecksum(PatternImage(70000)));
    }
    void completeUpgrade() {
        QFETCH(int, length);
        QFETCH(qint64, checksum);
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast()));
        UpgradeWindowDriver run;
        const QByteArray image = length == 3 ? QByteArray("abc") : PatternImage(length);
        QVERIFY(run.load(image));
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        const TForm1& w = run.window();

        QCOMPARE(run.deviceLog(), UpgradeWindowStageTexts());
        QCOMPARE(run.upgradeLog(), UpgradeWindowCompleteUpgradeLog());
        QCOMPARE(run.dialogs().boxes.size(), 1u);
        QCOMPARE(run.dialogs().boxes[0].kind, FakeDialogs::Box::Notice);
        QCOMPARE(run.dialogs().boxes[0].text, QString(UpgradeText::Success));
        QCOMPARE(run.dialogs().boxes[0].topLeft, std::optional<QPoint>(QPoint(600, 500)));

        QCOMPARE(w.Label268->text(), QString("Sending image file ... done"));
        QCOMPARE(w.Label276->text(), QString("Erasing flash ... done"));
        QCOMPARE(w.Label271->text(), QString("Programming flash ... done"));
        QCOMPARE(visibleRowControls(w).size(), 12);
        for (const QProgressBar* bar : {w.ProgressBar4, w.ProgressBar1}) {
            QCOMPARE(bar->minimum(), 0);
            QCOMPARE(bar->maximum(), length);
            QCOMPARE(bar->value(), length);
        }
        QCOMPARE(w.ProgressBar5->minimum(), FlashFirst);
        QCOMPARE(w.ProgressBar5->maximum(), FlashEnd);
        QCOMPARE(w.ProgressBar5->value(), FlashEnd);

        QVERIFY(w.GroupBox31->isVisible());
        QVERIFY(w.GroupBox39->isVisible());
        QVERIFY(w.GroupBox40->isVisible());
        QVERIFY(!w.GroupBox41->isVisible());
        QVERIFY(!w.SpeedButton24->isVisible());
        QCOMPARE(w.Label440->text(), QString("127.0.0.1"));
        QCOMPARE(w.Label441->text(), sim.portText());
        QCOMPARE(w.Label442->text(), QString::fromLocal8Bit(MachineName()));
        QCOMPARE(w.Label447->text(), QString::fromLocal8Bit(MachineAddress()));
        QVERIFY(!w.Client_2.Connected());

        // abc goes out as 00 00 00 00 03 00 00 00 DA FE FF FF, then 61 62 63.
        const QJsonObject report = sim.waitForReport();
        QVERIFY(report.value("headerReceived").toBool());
        QCOMPARE(report.value("reserved").toInteger(), 0);
        QCOMPARE(report.value("length").toInteger(), length);
        QCOMPARE(report.value("checksum").toInteger(), checksum);
        QCOMPARE(report.value("imageChecksum").toInteger(), checksum);
        QCOMPARE(report.value("bytesReceived").toInteger(), length);
        QVERIFY(report.value("checksumValid").toBool());
        QVERIFY(report.value("complete").toBool());
        QVERIFY2(report.value("headerToImageMs").toDouble() >= 1000.0,
                 qPrintable(QString::number(report.value("headerToImageMs").toDouble())));
    }

    // Twelve zero bytes and no image bytes; both byte-count bars get the range 0 to 0.
    void emptyImage() {
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast()));
        UpgradeWindowDriver run;
        QVERIFY(run.load(QByteArray()));
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        const TForm1& w = run.window();
        // Both bars show empty and stay still: an empty range would make Qt animate them.
        for (const QProgressBar* bar : {w.ProgressBar4, w.ProgressBar1}) {
            QCOMPARE(bar->minimum(), 0);
            QCOMPARE(bar->value(), 0);
            QVERIFY(bar->maximum() > bar->minimum());
        }
        QCOMPARE(run.deviceLog(), UpgradeWindowStageTexts());
        QCOMPARE(run.upgradeLog(), UpgradeWindowCompleteUpgradeLog());
        QCOMPARE(run.noticeTexts(), QStringList{UpgradeText::Success});
        const QJsonObject report = sim.waitForReport();
        QVERIFY(report.value("headerReceived").toBool());
        QCOMPARE(report.value("reserved").toInteger(), 0);
        QCOMPARE(report.value("length").toInteger(), 0);
        QCOMPARE(report.value("checksum").toInteger(), 0);
        QCOMPARE(report.value("bytesReceived").toInteger(), 0);
        QVERIFY(report.value("complete").toBool());
    }

    // The operator sees the connection details, "send data header" and the progress group
    // painted early in the pause (the event loop turns through it), and "send program" only
    // once the pause is over.
    void pausePaintsHeaderStepFirst() {
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast()));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.settle();
        const TForm1& w = run.window();
        PaintRecorder paints;
        paints.watch(w.Memo5->viewport(), "Memo5", [&w] { return w.Memo5->toPlainText(); });
        paints.watch(w.GroupBox31, "GroupBox31", [] { return QString("painted"); });
        for (QLabel* label : {w.Label440, w.Label441, w.Label442, w.Label447})
            paints.watch(label, label->objectName(), [label] { return label->text(); });
        run.press(sim.portText());
        QVERIFY(run.waitUntilEnded());

        const qint64 program = paints.firstPaint("Memo5", H + "\n" + P);
        QVERIFY(program >= 0);
        const std::pair<QString, QString> beforePause[] = {
            {"Memo5", H},
            {"GroupBox31", "painted"},
            {"Label440", "127.0.0.1"},
            {"Label441", sim.portText()},
            {"Label442", QString::fromLocal8Bit(MachineName())},
            {"Label447", QString::fromLocal8Bit(MachineAddress())}};
        for (const auto& [name, text] : beforePause) {
            const qint64 shown = paints.firstPaint(name, text);
            QVERIFY2(shown >= 0 && program - shown >= 900,
                     qPrintable(QString("%1 \"%2\" painted at %3 ms, \"send program\" at %4 ms")
                                    .arg(name, text)
                                    .arg(shown)
                                    .arg(program)));
        }
        QCOMPARE(run.upgradeLog(), UpgradeWindowCompleteUpgradeLog());
    }

    // The window answers while the upgrade waits: a zero-timeout timer fires within 50 ms in
    // the pause, and while the image send waits for an encoder that reads slowly.
    void windowAnswersWhileTheUpgradeWaits_data() {
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("step");
        QTest::newRow("pause") << Fast() << 1000 << int(UpgradeStep::Pausing);
        QTest::newRow("slow image send") << QStringList{"--gap-ms", "0", "--read-rate", "1000000"}
                                         << MaxImageSize << int(UpgradeStep::SendingImage);
    }
    void windowAnswersWhileTheUpgradeWaits() {
        QFETCH(QStringList, simArguments);
        QFETCH(int, length);
        QFETCH(int, step);
        SimProcess sim;
        QVERIFY(sim.startOnce(simArguments));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(length)));
        run.upgrade(sim.portText());
        const UpgradeSession* session = run.window().Session();
        QVERIFY(session);
        QVERIFY(TurnEventLoopUntil([&] { return session->step() == UpgradeStep(step); }, 5000));
        TurnEventLoop(200);
        if (UpgradeStep(step) == UpgradeStep::SendingImage) {
            // A blocking send would be waiting now: the socket takes no more.
            pollfd p{run.window().Client_2.descriptor(), POLLOUT, 0};
            QCOMPARE(::poll(&p, 1, 0), 0);
        }
        QElapsedTimer clock;
        clock.start();
        bool fired = false;
        QTimer::singleShot(0, [&fired] { fired = true; });
        QVERIFY(TurnEventLoopUntil([&fired] { return fired; }, 1000));
        QVERIFY2(clock.elapsed() < 50, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(int(session->step()), step);
        QVERIFY(run.waitUntilEnded(30000));
        QCOMPARE(run.noticeTexts(), QStringList{UpgradeText::Success});
    }

    void refusedConnection() {
        SimProcess sim;
        QVERIFY(sim.startOnce({"--refuse"}));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        const TForm1& w = run.window();
        QCOMPARE(run.noticeTexts(), QStringList{UpgradeText::ServerNotReady});
        QVERIFY(run.errorTexts().isEmpty());
        QVERIFY(!w.GroupBox31->isVisible());
        QVERIFY(!w.GroupBox41->isVisible());
        QVERIFY(!w.SpeedButton24->isVisible());
        QVERIFY(w.GroupBox39->isVisible());
        QVERIFY(w.GroupBox40->isVisible());
        QCOMPARE(w.Label440->text(), QString("127.0.0.1"));
        QCOMPARE(w.Label441->text(), sim.portText());
        QCOMPARE(w.Label442->text(), QString::fromLocal8Bit(MachineName()));
        // The own address is looked up off the event loop: it may come after the refusal.
        QTRY_COMPARE_WITH_TIMEOUT(w.Label447->text(), QString::fromLocal8Bit(MachineAddress()),
                                  5000);
        QVERIFY(w.Memo5->toPlainText().isEmpty());
        QVERIFY(!w.Client_2.Connected());
        // Later ticks find nothing to follow.
        TurnEventLoop(50);
        QVERIFY(w.Memo4->toPlainText().isEmpty());
        QVERIFY(w.Memo5->toPlainText().isEmpty());
        QCOMPARE(run.dialogs().boxes.size(), 1u);
    }

    // The port text is checked before anything is attempted: the error reaches the operator
    // and "Select file" stays, for a new attempt.
    void portTextThatIsNoPort_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("message");
        QTest::newRow("letters") << "abc"
                                 << "''abc'' is not a valid integer value.";
        QTest::newRow("too large") << "70000"
                                   << "''70000'' is not a valid port number.";
    }
    void portTextThatIsNoPort() {
        QFETCH(QString, port);
        QFETCH(QString, message);
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(100)));
        run.upgrade(port);
        const TForm1& w = run.window();
        QCOMPARE(run.errorTexts(), QStringList{message});
        QVERIFY(run.noticeTexts().isEmpty());
        QVERIFY(w.SpeedButton24->isVisible());
        QVERIFY(!w.GroupBox41->isVisible());
        QVERIFY(!w.GroupBox39->isVisible());
        QVERIFY(!w.GroupBox40->isVisible());
        QVERIFY(!w.GroupBox31->isVisible());
        QVERIFY(w.Memo5->toPlainText().isEmpty());
        QCOMPARE(QApplication::overrideCursor(), nullptr);
        // A new load offers "Upgrade FW" again.
        QVERIFY(run.load(PatternImage(100)));
    }

    void errorWithItsText() {
        SimProcess sim;
        QVERIFY(
            sim.startOnce(Fast({"--error-at", "erase", "--error-text", "flash erase timeout"})));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        QCOMPARE(run.dialogs().boxes.size(), 1u);
        QCOMPARE(run.dialogs().boxes[0].kind, FakeDialogs::Box::Notice);
        QCOMPARE(run.dialogs().boxes[0].text, QString("flash erase timeout"));
        QCOMPARE(run.dialogs().boxes[0].topLeft, std::nullopt);
        QCOMPARE(run.upgradeLog(), (QStringList{H, P, W, "flash erase timeout", A}));
        // "*** ERROR ***" itself is never logged; the erasing phase reads the text as progress.
        QCOMPARE(run.deviceLog(), UpgradeWindowStageTexts().mid(0, 2));
        QCOMPARE(run.window().ProgressBar5->value(), FlashFirst);
    }

    // The bars keep the positions the encoder last reported; the loss is said once.
    void connectionClosedWhileProgramming() {
        SimProcess sim;
        // start, 3 counts, erase, 5 addresses, flash program..., then 400 and 800.
        QVERIFY(sim.startOnce(Fast({"--close-after-replies", "13"})));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        const QJsonObject report = sim.waitForReport();
        QCOMPARE(report.value("replies").toArray().last().toString(), QString("800"));
        TurnEventLoop(50);
        const TForm1& w = run.window();
        QCOMPARE(w.ProgressBar4->value(), 1000);
        QCOMPARE(w.ProgressBar5->value(), FlashEnd);
        QCOMPARE(w.ProgressBar1->value(), 800);
        QCOMPARE(w.Label271->text(), QString("Programming flash ... in progress"));
        QCOMPARE(run.deviceLog(), UpgradeWindowStageTexts().mid(0, 3));
        QCOMPARE(run.upgradeLog(), (QStringList{H, P, W, Lost, A}));
        QVERIFY(run.dialogs().boxes.empty());
    }

    // While a box of the reply handling is open, nothing more is read: the encoder's close
    // that waits meanwhile is not taken for a lost connection, the box comes before the
    // abort, and the socket's readiness does not make the event loop spin.
    void nothingIsReadWhileABoxIsOpen_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QStringList>("upgradeLog");
        QTest::addColumn<QString>("box");
        QTest::newRow("success") << QStringList{} << UpgradeWindowCompleteUpgradeLog()
                                 << QString(UpgradeText::Success);
        QTest::newRow("error text")
            << QStringList{"--error-at", "program", "--error-text", "verify failed"}
            << QStringList{H, P, W, "verify failed", A} << "verify failed";
    }
    void nothingIsReadWhileABoxIsOpen() {
        QFETCH(QStringList, fault);
        QFETCH(QStringList, upgradeLog);
        QFETCH(QString, box);
        constexpr int BoxOpenMs = 400;
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast(fault)));
        UpgradeWindowDriver run(BoxOpenMs);
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        QCOMPARE(run.noticeTexts(), QStringList{box});
        QCOMPARE(run.upgradeLog(), upgradeLog);
        QVERIFY2(run.cpuMsWhileBoxesOpen() < BoxOpenMs / 4,
                 qPrintable(QString::number(run.cpuMsWhileBoxesOpen())));
    }

    // The socket notifier alone follows a whole upgrade: replies are read as they come,
    // not only on the tick.
    void repliesAreReadAsTheyArrive() {
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast()));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.window().Timer_TCP->stop();
        run.upgrade(sim.portText());
        QVERIFY(run.waitUntilEnded());
        QCOMPARE(run.deviceLog(), UpgradeWindowStageTexts());
        QCOMPARE(run.upgradeLog(), UpgradeWindowCompleteUpgradeLog());
    }

    // The event loop keeps turning while the encoder erases without a word, and the operator
    // can close the window then: the connection closes with it.
    void silentEncoderKeepsWindowResponsiveAndCloseEndsConnection() {
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast({"--silent-at", "erase"})));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitForDeviceLine(EncoderReply::EraseFlash));
        LoopProbe probe;
        bool fired = false;
        QTimer::singleShot(100, [&fired] { fired = true; });
        QVERIFY(TurnEventLoopUntil([&fired] { return fired; }, 2000));
        TurnEventLoop(300);
        QVERIFY2(probe.longestGapMs() < 1000, qPrintable(QString::number(probe.longestGapMs())));
        QVERIFY(probe.ticks() > 10);
        QVERIFY(!run.ended());
        QVERIFY(!sim.reported());
        QCOMPARE(run.upgradeLog(), (QStringList{H, P, W}));
        run.closeWindow();
        const QJsonObject report = sim.waitForReport();
        QVERIFY(!report.isEmpty());
        QVERIFY(!report.value("complete").toBool());
    }

    // The program's own start-up and shut-down: the operator closes the window in the middle
    // of an upgrade, in the pause or, answering "Close anyway", while the encoder programs;
    // the program's run ends with 0 at once and the encoder sees the connection close.
    void closingTheWindowMidUpgradeEndsTheProgram_data() {
        QTest::addColumn<QStringList>("simArguments");
        QTest::addColumn<bool>("inPause");
        QTest::newRow("in the pause") << Fast() << true;
        QTest::newRow("while programming") << Fast({"--silent-at", "program"}) << false;
    }
    void closingTheWindowMidUpgradeEndsTheProgram() {
        QFETCH(QStringList, simArguments);
        QFETCH(bool, inPause);
        SimProcess sim;
        QVERIFY(sim.startOnce(simArguments));
        QTemporaryDir dir;
        const QString path = dir.filePath("image.bin");
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(PatternImage(1000));
        }
        FakeDialogs dialogs;
        bool closedMidUpgrade = false;
        const auto timeToClose = [inPause] {
            if (inPause)
                return Form1->GroupBox31->isVisible();
            return Form1->Memo4->toPlainText().contains(EncoderReply::ProgramFlash);
        };
        QTimer::singleShot(0, [&] {
            dialogs.confirmNext(path);
            Form1->SpeedButton24->click();
            Form1->EHost->setText("127.0.0.1");
            Form1->Edit4->setText(sim.portText());
            Form1->SpeedButton26->click();
            auto* watch = new QTimer(Form1);
            QObject::connect(watch, &QTimer::timeout, [&closedMidUpgrade, timeToClose] {
                if (!timeToClose())
                    return;
                closedMidUpgrade = !Form1->Memo5->toPlainText().contains(A);
                Form1->close();
            });
            watch->start(5);
        });
        QElapsedTimer clock;
        clock.start();
        bool stuck = false;
        QCOMPARE(RunWindowProgramWithin(30000, stuck), 0);
        QVERIFY2(!stuck, "the window was never closed within 30 s");
        QVERIFY(closedMidUpgrade);
        QCOMPARE(Form1, nullptr);
        QCOMPARE(dialogs.boxes.size(), inPause ? 0u : 1u);
        if (!inPause)
            QCOMPARE(dialogs.boxes.front().kind, FakeDialogs::Box::CloseQuestion);
        if (inPause)
            QVERIFY2(clock.elapsed() < 900, qPrintable(QString::number(clock.elapsed())));
        const QJsonObject report = sim.waitForReport();
        QVERIFY(!report.isEmpty());
        QVERIFY(!report.value("complete").toBool());
        if (inPause)
            QCOMPARE(report.value("bytesReceived").toInteger(), 0);
    }
};

QTEST_MAIN(TestUpgradeWindow)
#include "tst_upgrade_window.moc"
