#include "upgrade_window_harness.h"

#include "EncoderProtocol.h"
#include "StartUp.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QLabel>
#include <QTest>
#include <QWindow>

#include <sys/socket.h>
#include <time.h>

namespace {
qint64 ProcessCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}
} // namespace

void UpgradeWindowLingeringDialogs::NoticeBox(const QString& text, std::optional<QPoint> topLeft) {
    FakeDialogs::NoticeBox(text, topLeft);
    const qint64 cpuBefore = ProcessCpuMs();
    QEventLoop box;
    QTimer::singleShot(openMs, &box, &QEventLoop::quit);
    box.exec();
    cpuMsWhileOpen += ProcessCpuMs() - cpuBefore;
}

UpgradeWindowDriver::UpgradeWindowDriver(int boxOpenMs)
    : fake(boxOpenMs > 0 ? std::make_unique<UpgradeWindowLingeringDialogs>(boxOpenMs)
                         : std::make_unique<FakeDialogs>()),
      form(std::make_unique<TForm1>()) {
    form->FormCreate();
    form->move(0, 0);
    form->show();
}

UpgradeWindowDriver::~UpgradeWindowDriver() {
    form.reset();
    fake.reset();
}

bool UpgradeWindowDriver::load(const QByteArray& image) {
    const QString path = dir.filePath("image.bin");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(image) != image.size())
        return false;
    file.close();
    fake->confirmNext(path);
    form->SpeedButton24->click();
    return form->FirmwareImage->length == image.size() && form->GroupBox41->isVisible();
}

void UpgradeWindowDriver::upgrade(const QString& portText) {
    settle();
    press(portText);
}

// As in the program, the window has been on screen a while before the operator clicks: shown,
// painted, and done with the file dialog's background work.
void UpgradeWindowDriver::settle() {
    TurnEventLoopUntil([this] { return form->windowHandle() && form->windowHandle()->isExposed(); },
                       5000);
    TurnEventLoop(50);
}

void UpgradeWindowDriver::press(const QString& portText) {
    // Never the default encoder address: only this machine is ever reached.
    form->EHost->setText("127.0.0.1");
    form->Edit4->setText(portText);
    form->SpeedButton26->click();
    // The click returns at once; the connect settles from the event loop.
    TurnEventLoopUntil(
        [this] {
            const UpgradeSession* session = form->Session();
            return !session || session->step() != UpgradeStep::Connecting;
        },
        15000);
}

bool UpgradeWindowDriver::waitUntilFollowing(int timeoutMs) {
    return TurnEventLoopUntil(
        [this] {
            const UpgradeSession* session = form->Session();
            return session && (session->step() == UpgradeStep::Following || session->ended());
        },
        timeoutMs);
}

bool UpgradeWindowDriver::connectWithSendBuffer(const QString& portText, int bytes) {
    form->Client_2.setRemoteHost("127.0.0.1");
    form->Client_2.setRemotePort(portText.toLocal8Bit());
    if (!form->Client_2.Connect())
        return false;
    return ::setsockopt(form->Client_2.descriptor(), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) ==
           0;
}

qint64 UpgradeWindowDriver::cpuMsWhileBoxesOpen() const {
    const auto* lingering = dynamic_cast<const UpgradeWindowLingeringDialogs*>(fake.get());
    return lingering ? lingering->cpuMsWhileOpen : 0;
}

bool UpgradeWindowDriver::ended() const {
    return upgradeLog().contains(QString::fromLatin1(UpgradeLog::Abort));
}

bool UpgradeWindowDriver::waitUntilEnded(int timeoutMs) {
    return TurnEventLoopUntil([this] { return ended(); }, timeoutMs);
}

bool UpgradeWindowDriver::waitForDeviceLine(const QString& line, int timeoutMs) {
    return TurnEventLoopUntil([this, &line] { return deviceLog().contains(line); }, timeoutMs);
}

void UpgradeWindowDriver::closeWindow() {
    form->close();
    form.reset();
}

namespace {
QStringList Lines(const QPlainTextEdit* memo) {
    const QString text = memo->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}
QStringList BoxTexts(const FakeDialogs& dialogs, FakeDialogs::Box::Kind kind) {
    QStringList texts;
    for (const FakeDialogs::Box& box : dialogs.boxes)
        if (box.kind == kind)
            texts << box.text;
    return texts;
}
} // namespace

QStringList UpgradeWindowDriver::deviceLog() const {
    return Lines(form->Memo4);
}
QStringList UpgradeWindowDriver::upgradeLog() const {
    return Lines(form->Memo5);
}
QStringList UpgradeWindowDriver::noticeTexts() const {
    return BoxTexts(*fake, FakeDialogs::Box::Notice);
}
QStringList UpgradeWindowDriver::errorTexts() const {
    return BoxTexts(*fake, FakeDialogs::Box::Error);
}

QStringList UpgradeWindowStageTexts() {
    return {EncoderReply::StartReceiving, EncoderReply::EraseFlash, EncoderReply::ProgramFlash,
            EncoderReply::VerifyDone};
}

QStringList UpgradeWindowCompleteUpgradeLog() {
    return {UpgradeLog::SendHeader, UpgradeLog::SendProgram, UpgradeLog::PowerWarning,
            UpgradeLog::Abort};
}

namespace {
QStringList StageLabels(const TForm1& w) {
    QStringList labels;
    for (const QLabel* label : {static_cast<QLabel*>(w.Label268), static_cast<QLabel*>(w.Label276),
                                static_cast<QLabel*>(w.Label271)})
        labels << (label->isVisible() ? label->text() : QStringLiteral("hidden"));
    return labels;
}
} // namespace

UpgradeWindowOutcome UpgradeWindowRun(const UpgradeWindowPlan& plan) {
    UpgradeWindowOutcome outcome;
    SimProcess sim;
    if (!sim.startOnce(plan.simArguments)) {
        outcome.failure = "the simulator did not start";
        return outcome;
    }
    UpgradeWindowDriver run;
    if (!run.load(PatternImage(plan.imageLength))) {
        outcome.failure = "the image was not accepted";
        return outcome;
    }
    if (plan.sendBuffer > 0 && !run.connectWithSendBuffer(sim.portText(), plan.sendBuffer)) {
        outcome.failure = "no connection ahead of the click";
        return outcome;
    }
    run.upgrade(sim.portText());
    LoopProbe probe;
    if (plan.silentMs > 0) {
        if (!run.waitUntilFollowing()) {
            outcome.failure = "the image was not sent";
            return outcome;
        }
        if (!plan.silentAfter.isEmpty() && !run.waitForDeviceLine(plan.silentAfter)) {
            outcome.failure = "the encoder did not get as far as " + plan.silentAfter;
            return outcome;
        }
        TurnEventLoop(plan.silentMs);
    } else if (!run.waitUntilEnded()) {
        outcome.failure = "the upgrade did not end";
    } else {
        TurnEventLoop(50); // later ticks must add nothing
    }
    outcome.longestStallMs = probe.longestGapMs();
    outcome.ended = run.ended();
    outcome.deviceLog = run.deviceLog();
    outcome.upgradeLog = run.upgradeLog();
    outcome.notices = run.noticeTexts();
    outcome.errors = run.errorTexts();
    outcome.stageLabels = StageLabels(run.window());
    const TForm1& w = run.window();
    outcome.bars = {w.ProgressBar4->value(), w.ProgressBar5->value(), w.ProgressBar1->value()};
    outcome.connected = w.Client_2.Connected();
    // Closing the window closes the connection: the simulator's report then comes.
    run.closeWindow();
    outcome.report = sim.waitForReport();
    if (outcome.report.isEmpty() && outcome.failure.isEmpty())
        outcome.failure = "the simulator did not see the connection end";
    return outcome;
}

QStringList UpgradeWindowShownLines(const QByteArray& reply) {
    QStringList lines;
    for (qsizetype at = 0; at < reply.size(); at += 255) {
        QString piece = QString::fromLocal8Bit(reply.mid(at, 255));
        piece.replace(u'\r', u'\n');
        lines += piece.split(u'\n');
    }
    return lines;
}

int RunWindowProgramWithin(int ms, bool& stuck) {
    stuck = false;
    QTimer rescue;
    rescue.setSingleShot(true);
    QObject::connect(&rescue, &QTimer::timeout, [&stuck] {
        stuck = true;
        for (QWidget* window : QApplication::topLevelWidgets())
            window->close();
        QCoreApplication::exit(0);
    });
    rescue.start(ms);
    return RunWindowProgram();
}
