#include "TForm1.h"

#include "Accessibility.h"
#include "AutoSizeLabel.h"
#include "Dialogs.h"
#include "HandlerGuard.h"
#include "Shortcuts.h"
#include "StartUp.h"
#include "UpgradeMonitor.h"
#include "UpgradeTexts.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QResizeEvent>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <array>

TForm1* Form1 = nullptr;
ConnectionInfo ConnectionTexts;

namespace {

// Segmented yellow blocks on a track in the link (hot-light) colour, drawn the same way by
// every style.
constexpr char SegmentedBarStyle[] = R"(
QProgressBar {
    border: 1px solid palette(mid);
    background-color: palette(link);
    padding: 1px;
}
QProgressBar::chunk {
    background-color: #ffff00;
    width: 8px;
    margin-right: 2px;
}
)";

constexpr int TimerTcpIntervalMs = 10;
// The encoder needs this long after the header before the image may follow.
constexpr unsigned long HeaderToImagePauseMs = 1000;
const QPoint SuccessBoxTopLeft(600, 500);
// Bounds the replies read after a failed send, should the encoder never stop talking.
constexpr int MaxPumpsAfterFailedSend = 100;

QString Latin1(const char* text) {
    return QString::fromLatin1(text);
}

} // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent), FirmwareImage(std::make_unique<FirmwareImageBuffer>()) {
    setupUi(this);
    setFont(WindowFont());
    setWindowIcon(ProgramIcon());
    for (AutoSizeLabel* label : findChildren<AutoSizeLabel*>())
        label->setAutoSize(true);
    CategoryPanelGroup1->raise();
    StyleProgressBars();
    CreateOpenDialog();
    DescribeControls(*this);
    InstallShortcuts(*this);

    Timer_TCP = new QTimer(this);
    Timer_TCP->setObjectName(QStringLiteral("Timer_TCP"));
    Timer_TCP->setInterval(TimerTcpIntervalMs);

    ConnectHandlers();
    Timer_TCP->start();
    Form1 = this;
}

TForm1::~TForm1() {
    // The notifier goes before the channel closes the socket it watches.
    delete replyNotifier;
    replyNotifier = nullptr;
    monitor.reset();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::CreateOpenDialog() {
    OpenDialog3 = new QFileDialog(this);
    OpenDialog3->setObjectName(QStringLiteral("OpenDialog3"));
    // The same dialog on every desktop, so its confirmation behaves alike everywhere.
    OpenDialog3->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog3->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog3->setFileMode(QFileDialog::ExistingFile);
    OpenDialog3->setNameFilter(QStringLiteral(".bin (*.bin)"));
    OpenDialog3->setDefaultSuffix(QStringLiteral("bin"));
    OpenDialog3->setDirectory(QDir::homePath());
    OpenDialog3->selectFile(QStringLiteral("*.bin"));
    OpenDialog3->setSizeGripEnabled(true);
}

void TForm1::StyleProgressBars() {
    for (QProgressBar* bar : {ProgressBar4, ProgressBar5, ProgressBar1})
        bar->setStyleSheet(QString::fromLatin1(SegmentedBarStyle));
}

void TForm1::ConnectHandlers() {
    connect(SpeedButton24, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { SpeedButton24Click(); }); });
    connect(SpeedButton26, &QPushButton::clicked, this,
            [this] { RunGuarded([this] { SpeedButton26Click(); }); });
    connect(OpenDialog3, &QFileDialog::fileSelected, this, [this](const QString& path) {
        RunGuarded([this, &path] { OpenDialog3CanClose(path); });
    });
    connect(Timer_TCP, &QTimer::timeout, this,
            [this] { RunGuarded([this] { Timer_TCPTimer(); }); });
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    DockCategoryColumn();
}

void TForm1::DockCategoryColumn() {
    CategoryPanelGroup1->setGeometry(0, 0, CategoryPanelGroup1->width(), height());
}

void TForm1::FormCreate() {
    Upgrade_Firmware->setVisible(true);
    Upgrade_Firmware->setEnabled(true);
    Memo4->clear();
    Memo5->clear();
}

void TForm1::OpenDialog3CanClose(const QString& path) {
    SelectedPath = path;
    if (const std::optional<QDateTime> time = FirmwareFileTime(path)) {
        Label453->setText(FirmwareDateText(*time));
        fileDateRead = true;
    }
    ImageSelected = true;
    Label443->setText(DisplayPath(path));
}

void TForm1::SpeedButton24Click() {
    Dialogs().RunFileDialog(*OpenDialog3);
    if (!ImageSelected)
        return;
    switch (LoadFirmwareImage(*FirmwareImage, SelectedPath)) {
    case ImageLoadResult::NotOpened:
        // The path on show is no longer the image loaded: "Upgrade FW" must not send the
        // earlier one under the new name.
        WithdrawImage();
        return;
    case ImageLoadResult::TooLong:
        ShowNotice(QStringLiteral("FILE TOO LONG"));
        WithdrawImage();
        return;
    case ImageLoadResult::Accepted:
        ShowImageSummary();
        return;
    }
}

// Nothing is left that "Upgrade FW" could send until a file is accepted again; the earlier
// figures stay on show.
void TForm1::WithdrawImage() {
    FirmwareImage->length = 0;
    FirmwareImage->checksum = 0;
    GroupBox41->hide();
}

void TForm1::ShowImageSummary() {
    if (!fileDateRead)
        Label453->setText(QString());
    GroupBox41->show();
    for (QWidget* label :
         {Label423, Label443, Label444, Label445, Label277, Label446, Label451, Label278, Label453})
        label->show();
    Label445->setText(LengthText(FirmwareImage->length));
    Label277->setText(FillPercentageText(FirmwareImage->length));
    Label451->setText(ChecksumText(FirmwareImage->checksum));
}

void TForm1::SpeedButton26Click() {
    if (!ImageSelected) {
        ShowNotice(QStringLiteral("FILE NOT SELECTED"));
        return;
    }
    GroupBox41->hide();
    Client_2.setRemoteHost(EHost->text().toLocal8Bit());
    Client_2.setRemotePort(Edit4->text().toLocal8Bit());
    if (!Client_2.Connected())
        ConnectWithBusyCursor();
    SpeedButton24->hide();
    GroupBox39->show();
    GroupBox40->show();
    ShowConnectionInfo();
    if (Client_2.Connected())
        SendHeaderAndImage();
    else
        ShowNotice(Latin1(UpgradeText::ServerNotReady));
}

// The connect waits at most the channel's bound; a port text that is no port throws, and the
// cursor comes back on that path too.
void TForm1::ConnectWithBusyCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restore = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
    Client_2.Connect();
}

void TForm1::ShowConnectionInfo() {
    ConnectionTexts = ReadConnectionInfo(Client_2);
    Label440->setText(QString::fromLocal8Bit(ConnectionTexts.remoteHost));
    Label441->setText(QString::fromLocal8Bit(ConnectionTexts.remotePort));
    Label442->setText(QString::fromLocal8Bit(ConnectionTexts.localHostName));
    Label447->setText(QString::fromLocal8Bit(ConnectionTexts.localHostAddress));
}

// Nothing the encoder sends is read before the whole image has gone out: its early replies
// wait in the receive queue until the reply handling starts.
void TForm1::SendHeaderAndImage() {
    appendUpgradeLog(Latin1(UpgradeLog::SendHeader));
    SetBarRanges();
    delete replyNotifier;
    replyNotifier = nullptr;
    monitor = std::make_unique<UpgradeMonitor>(Client_2, *this, FirmwareImage->length);
    if (!SendUpgradeHeader(Client_2, *FirmwareImage)) {
        StopAfterFailedSend();
        return;
    }
    GroupBox31->show();
    // The operator sees the details, the line and the group during the pause; painting now
    // runs no timer, so no tick comes before the image has been sent.
    repaint();
    QThread::msleep(HeaderToImagePauseMs);
    appendUpgradeLog(Latin1(UpgradeLog::SendProgram));
    // Painted now, while the image goes out, rather than once the click has returned: the
    // encoder's first replies then find the event loop free to take them apart.
    repaint();
    if (!SendUpgradeImage(Client_2, *FirmwareImage)) {
        StopAfterFailedSend();
        return;
    }
    FollowReplies();
    // What came while the image went out is taken at once.
    PumpReplies();
}

void TForm1::SetBarRanges() {
    for (UpgradePhase phase :
         {UpgradePhase::Sending, UpgradePhase::Programming, UpgradePhase::Erasing}) {
        const PhaseBarRange range = PhaseRange(phase, FirmwareImage->length);
        // Qt animates a bar whose range is empty as "busy" for ever; an empty image's bar
        // shows empty instead.
        const int maximum = range.maximum > range.minimum ? range.maximum : range.minimum + 1;
        PhaseBar(phase)->setRange(range.minimum, maximum);
    }
}

// What the encoder said before the send failed (often why it stopped taking the image) is
// still shown; only what is already waiting is read.
void TForm1::StopAfterFailedSend() {
    appendUpgradeLog(Latin1(UpgradeLog::SendFailed));
    for (int pumps = 0; pumps < MaxPumpsAfterFailedSend; ++pumps) {
        if (monitor->pump() == PumpResult::Idle)
            break;
    }
    if (!monitor->ended())
        monitor->StopUpgrade();
}

void TForm1::FollowReplies() {
    replyNotifier = new QSocketNotifier(Client_2.descriptor(), QSocketNotifier::Read, this);
    connect(replyNotifier, &QSocketNotifier::activated, this,
            [this] { RunGuarded([this] { PumpReplies(); }); });
}

void TForm1::Timer_TCPTimer() {
    if (!Client_2.Connected())
        return;
    PumpReplies();
}

bool TForm1::UpgradeInProgress() const {
    return monitor && !monitor->ended() && replyNotifier;
}

// The notifier reports readability for as long as bytes wait, so it rests while the replies
// are handled: a notice box opened meanwhile runs its own event loop, and the notifier would
// fire in it again and again.
void TForm1::PumpReplies() {
    if (pumping || !UpgradeInProgress())
        return;
    pumping = true;
    replyNotifier->setEnabled(false);
    const auto resume = qScopeGuard([this] {
        pumping = false;
        if (UpgradeInProgress())
            replyNotifier->setEnabled(true);
    });
    if (monitor->pump() == PumpResult::MorePending)
        SchedulePump();
}

// More replies wait than one pump may handle: the rest follows as soon as the event loop has
// turned once.
void TForm1::SchedulePump() {
    if (pumpScheduled)
        return;
    pumpScheduled = true;
    QTimer::singleShot(0, this, [this] {
        pumpScheduled = false;
        RunGuarded([this] { PumpReplies(); });
    });
}

QProgressBar* TForm1::PhaseBar(UpgradePhase phase) const {
    switch (phase) {
    case UpgradePhase::Sending:
        return ProgressBar4;
    case UpgradePhase::Erasing:
        return ProgressBar5;
    case UpgradePhase::Programming:
        return ProgressBar1;
    }
    return ProgressBar4;
}

AutoSizeLabel* TForm1::PhaseLabel(UpgradePhase phase) const {
    switch (phase) {
    case UpgradePhase::Sending:
        return Label268;
    case UpgradePhase::Erasing:
        return Label276;
    case UpgradePhase::Programming:
        return Label271;
    }
    return Label268;
}

std::array<QWidget*, 4> TForm1::PhaseRow(UpgradePhase phase) const {
    switch (phase) {
    case UpgradePhase::Sending:
        return {Label269, ProgressBar4, Label270, Label268};
    case UpgradePhase::Erasing:
        return {Label274, ProgressBar5, Label275, Label276};
    case UpgradePhase::Programming:
        return {Label272, ProgressBar1, Label273, Label271};
    }
    return {};
}

void TForm1::showPhaseRow(UpgradePhase phase) {
    for (QWidget* control : PhaseRow(phase))
        control->show();
}

void TForm1::setPhaseText(UpgradePhase phase, const QString& text) {
    PhaseLabel(phase)->setText(text);
}

void TForm1::setPhasePosition(UpgradePhase phase, std::int32_t position) {
    PhaseBar(phase)->setValue(position);
}

void TForm1::appendDeviceLog(const QString& line) {
    Memo4->appendPlainText(line);
}

void TForm1::appendUpgradeLog(const QString& line) {
    Memo5->appendPlainText(line);
}

void TForm1::showErrorText(const QString& text) {
    ShowNotice(text);
}

void TForm1::showSuccess(const QString& text) {
    ShowNotice(text, SuccessBoxTopLeft);
}

// The channel is closed now; its notifier must not watch the socket any more.
void TForm1::upgradeEnded() {
    if (replyNotifier)
        replyNotifier->setEnabled(false);
}
