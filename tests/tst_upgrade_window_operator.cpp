// What the operator does while an upgrade runs: input while the connect is held up, and
// closing the window while the encoder writes its flash.

#include "Dialogs.h"
#include "EncoderProtocol.h"
#include "StartUp.h"
#include "TForm1.h"
#include "UpgradeHeader.h"
#include "channel_listener.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/socket.h>

using namespace UpgradeWindowRows;

namespace {

QString WriteFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = WriteImageFile(dir.filePath(name), bytes);
    if (path.isEmpty())
        qFatal("cannot write %s", qPrintable(name));
    return path;
}

QByteArray HeaderBytes(const QByteArray& image) {
    const auto header = UpgradeHeader(std::int32_t(image.size()), ImageSumChecksum(image));
    return QByteArray(reinterpret_cast<const char*>(header.data()), qsizetype(header.size()));
}

// Accepts connections that were held up in the listener's backlog until the one whose far end
// is `localPort` comes, turning the event loop meanwhile.
ChannelFd AcceptTheWindow(const ChannelListener& listener, std::uint16_t localPort) {
    ChannelFd found;
    TurnEventLoopUntil(
        [&] {
            for (ChannelFd peer = listener.accept(0); peer.valid(); peer = listener.accept(0)) {
                if (channelPeerPort(peer.get()) == localPort)
                    found = std::move(peer);
            }
            return found.valid();
        },
        12000);
    return found;
}

// What the window sends on the connection, until it has been quiet for `quietMs` after the
// `expected` bytes have come (or `timeoutMs` passed).
QByteArray ReadWire(int fd, qsizetype expected, int quietMs, int timeoutMs) {
    QByteArray wire;
    char buffer[65536];
    const auto readWaiting = [&] {
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                return;
            wire.append(buffer, n);
        }
    };
    TurnEventLoopUntil(
        [&] {
            readWaiting();
            return wire.size() >= expected;
        },
        timeoutMs);
    TurnEventLoop(quietMs);
    readWaiting();
    return wire;
}

// The operator's answer to the close question, given while the question is open: its own
// event loop turns until the window takes the box away (or `waitMs` passed).
bool WaitForTheWindowToAnswer(QMessageBox& box, int waitMs) {
    QEventLoop loop;
    QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(waitMs, &loop, &QEventLoop::quit);
    loop.exec();
    return false;
}

} // namespace

class TestUpgradeWindowOperator : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() {
        PrepareApplication(*qApp);
        QVERIFY2(!qEnvironmentVariableIsEmpty("ENCODER_SIM"), "ENCODER_SIM names the simulator");
    }

    // From the click on "Upgrade FW" the image is settled: whatever the operator does while
    // the connect is held up, the encoder gets the header and the image as they stood at the
    // click, once each, and nothing else.
    void inputWhileTheConnectIsHeldUp_data() {
        QTest::addColumn<QString>("input");
        QTest::newRow("Select file: a too long file") << "select too long";
        QTest::newRow("Select file: another file") << "select other";
        QTest::newRow("Ctrl+O: another file") << "Ctrl+O";
        QTest::newRow("Upgrade FW again") << "upgrade";
        QTest::newRow("Ctrl+U") << "Ctrl+U";
        QTest::newRow("file dialog open across the click") << "dialog";
    }
    void inputWhileTheConnectIsHeldUp() {
        QFETCH(QString, input);
        const ChannelListener listener(0, 1);
        QVERIFY(listener.listening());
        auto fillers = channelFillBacklog(listener.port());
        if (fillers.empty())
            QSKIP("the listener's backlog never filled: connects are not held up here");
        QTemporaryDir dir;
        const QString other = WriteFile(dir, "other.bin", PatternImage(500));
        const QString tooLong = WriteFile(dir, "long.bin", QByteArray(MaxImageSize + 1, 'x'));
        const QString replacement = input == "select other" || input == "Ctrl+O" ? other : tooLong;

        UpgradeWindowDriver run;
        const QByteArray image = PatternImage(1000);
        QVERIFY(run.load(image));
        run.settle();
        TForm1& w = run.window();
        w.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w));
        const QString shownPath = w.Label443->text();
        const int dialogRuns = run.dialogs().fileDialogRuns;
        const auto clickUpgrade = [&] {
            w.EHost->setText("127.0.0.1");
            w.Edit4->setText(listener.portText());
            w.SpeedButton26->click();
            QVERIFY(w.Session());
            QCOMPARE(w.Session()->step(), UpgradeStep::Connecting);
        };

        ChannelFd peer;
        const auto acceptTheWindow = [&] {
            fillers.clear();
            peer = AcceptTheWindow(listener, channelLocalPort(w.Client_2.descriptor()));
        };
        if (input == "dialog") {
            // The dialog is still open when the click runs, and is confirmed once the image
            // is on its way.
            run.dialogs().answerNext([&](QFileDialog& dialog) {
                clickUpgrade();
                acceptTheWindow();
                TurnEventLoopUntil([&] { return w.Session()->step() >= UpgradeStep::SendingImage; },
                                   5000);
                FakeDialogs::Confirm(dialog, replacement);
            });
            w.SpeedButton24->click();
        } else {
            clickUpgrade();
            run.dialogs().confirmNext(replacement);
            if (input.startsWith("select"))
                w.SpeedButton24->click();
            else if (input == "upgrade")
                w.SpeedButton26->click();
            else
                QTest::keySequence(QApplication::focusWidget() ? QApplication::focusWidget() : &w,
                                   QKeySequence(input));
            QCOMPARE(run.dialogs().fileDialogRuns, dialogRuns);
            acceptTheWindow();
        }
        QVERIFY(peer.valid());
        const QByteArray wire = ReadWire(peer.get(), 12 + image.size(), 300, 10000);
        QCOMPARE(wire.toHex(), (HeaderBytes(image) + image).toHex());
        QCOMPARE(run.upgradeLog(), (QStringList{H, P}));
        QVERIFY(run.noticeTexts().isEmpty());
        QVERIFY(run.errorTexts().isEmpty());
        QCOMPARE(w.Label443->text(), shownPath);
        QCOMPARE(w.FirmwareImage->length, image.size());
        QVERIFY(!w.SpeedButton24->isVisible());
        QVERIFY(!w.GroupBox41->isVisible());
    }

    // While the encoder erases or programs its flash, a close asks first; "Keep running"
    // changes nothing, "Close anyway" closes.
    void closeAsksWhileTheFlashIsWritten_data() {
        QTest::addColumn<QString>("silentAt");
        QTest::addColumn<QString>("closeAfter");
        QTest::addColumn<bool>("asks");
        QTest::newRow("receiving") << "receive" << Start << false;
        QTest::newRow("erasing") << "erase" << Erase << true;
        QTest::newRow("programming") << "program" << Program << true;
    }
    void closeAsksWhileTheFlashIsWritten() {
        QFETCH(QString, silentAt);
        QFETCH(QString, closeAfter);
        QFETCH(bool, asks);
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast({"--silent-at", silentAt})));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitForDeviceLine(closeAfter));
        TForm1& w = run.window();
        QCOMPARE(w.WritingFlash(), asks);

        run.dialogs().closeAnswer = [](QMessageBox&) { return false; }; // "Keep running"
        w.close();
        QCOMPARE(w.isVisible(), asks);
        if (asks) {
            const FakeDialogs::Box& question = run.dialogs().boxes.back();
            QCOMPARE(question.kind, FakeDialogs::Box::CloseQuestion);
            QCOMPARE(question.text, QString(CloseQuestionText));
            TurnEventLoop(100);
            QVERIFY(!run.ended());
            QVERIFY(!sim.reported());
            run.dialogs().closeAnswer = [](QMessageBox&) { return true; }; // "Close anyway"
            w.close();
            QVERIFY(!w.isVisible());
            QCOMPARE(run.dialogs().boxes.size(), 2u);
        } else {
            QVERIFY(run.dialogs().boxes.empty());
        }
        run.closeWindow();
        const QJsonObject report = sim.waitForReport();
        QVERIFY(!report.isEmpty());
        QVERIFY(!report.value("complete").toBool());
    }

    // The encoder stops writing while the question is up: the question goes and the window
    // closes, as the operator asked, after whatever the end shows.
    void questionGoesWhenTheFlashWriteEnds_data() {
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QStringList>("notices");
        QTest::addColumn<int>("end");
        QTest::newRow("success") << QStringList{} << QStringList{UpgradeText::Success}
                                 << int(UpgradeEndKind::Success);
        QTest::newRow("program fail") << QStringList{"--fail-at", "program"} << QStringList{}
                                      << int(UpgradeEndKind::ProgramFail);
        QTest::newRow("connection lost") << QStringList{"--close-at", "program"} << QStringList{}
                                         << int(UpgradeEndKind::ConnectionLost);
    }
    void questionGoesWhenTheFlashWriteEnds() {
        QFETCH(QStringList, fault);
        QFETCH(QStringList, notices);
        QFETCH(int, end);
        SimProcess sim;
        QVERIFY(sim.startOnce(QStringList{"--gap-ms", "40", "--receive-step", "400", "--erase-step",
                                          "0x100000", "--program-step", "400"} +
                              fault));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitForDeviceLine(Erase));
        TForm1& w = run.window();
        QVERIFY(w.WritingFlash());
        run.dialogs().closeAnswer = [](QMessageBox& box) {
            return WaitForTheWindowToAnswer(box, 15000);
        };
        w.close();
        QVERIFY(run.ended());
        QVERIFY(!w.isVisible());
        QCOMPARE(run.noticeTexts(), notices);
        QCOMPARE(int(w.Session()->endCause().kind), end);
        QCOMPARE(run.upgradeLog().last(), A);
        QVERIFY(!sim.waitForReport().isEmpty());
    }

    // A termination signal closes without asking, even while the encoder writes.
    void closeWithoutAsking() {
        SimProcess sim;
        QVERIFY(sim.startOnce(Fast({"--silent-at", "erase"})));
        UpgradeWindowDriver run;
        QVERIFY(run.load(PatternImage(1000)));
        run.upgrade(sim.portText());
        QVERIFY(run.waitForDeviceLine(Erase));
        run.dialogs().closeAnswer = [](QMessageBox&) { return false; };
        run.window().CloseWithoutAsking();
        QVERIFY(!run.window().isVisible());
        QVERIFY(run.dialogs().boxes.empty());
    }
};

QTEST_MAIN(TestUpgradeWindowOperator)
#include "tst_upgrade_window_operator.moc"
