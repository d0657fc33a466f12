#include "TForm1.h"

#include "Accessibility.h"
#include "AutoSizeLabel.h"
#include "Dialogs.h"
#include "EncoderProtocol.h"
#include "HandlerGuard.h"
#include "HostLookup.h"
#include "Shortcuts.h"
#include "WindowLook.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QResizeEvent>
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
const QPoint SuccessBoxTopLeft(600, 500);

QString Latin1(const char* text) {
    return QString::fromLatin1(text);
}

} // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent), FirmwareImage(NewFirmwareImageBuffer()) {
    setupUi(this);
    setFont(WindowFont());
    setWindowIcon(ProgramIcon());
    for (AutoSizeLabel* label : findChildren<AutoSizeLabel*>())
        label->setAutoSize(true);
    CategoryPanelGroup1->raise();
    StyleProgressBars();
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
    // The session's notifiers go before the channel closes the socket they watch.
    session.reset();
    RestoreCursor();
    if (Form1 == this)
        Form1 = nullptr;
}

QFileDialog& TForm1::CreateOpenDialog() {
    if (OpenDialog3)
        return *OpenDialog3;
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
    connect(OpenDialog3, &QFileDialog::fileSelected, this, [this](const QString& path) {
        RunGuarded([this, &path] { OpenDialog3CanClose(path); });
    });
    CloseCompletionWithDialog(*OpenDialog3);
    return *OpenDialog3;
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
    if (UpgradeStarted())
        return;
    SelectedPath = path;
    if (const std::optional<QDateTime> time = FirmwareFileTime(path)) {
        Label453->setText(FirmwareDateText(*time));
        fileDateRead = true;
    }
    ImageSelected = true;
    Label443->setText(DisplayPath(path));
}

// From "Upgrade FW" on, the image is the one the header describes: neither the button nor a
// file dialog still open from before the click may change it.
void TForm1::SpeedButton24Click() {
    if (UpgradeStarted())
        return;
    Dialogs().RunFileDialog(CreateOpenDialog());
    if (!ImageSelected || UpgradeStarted())
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
    if (UpgradeStarted())
        return;
    if (!ImageSelected) {
        ShowNotice(QStringLiteral("FILE NOT SELECTED"));
        return;
    }
    GroupBox41->hide();
    Client_2.setRemoteHost(EHost->text().toLocal8Bit());
    Client_2.setRemotePort(Edit4->text().toLocal8Bit());
    StartUpgrade();
}

// The click returns at once; the session goes on from the event loop, so the window keeps
// answering through the connect, the pause and the image send. A port text that is no port
// throws before anything is attempted: "Select file" stays for a new attempt.
void TForm1::StartUpgrade() {
    session = std::make_unique<UpgradeSession>(Client_2, *FirmwareImage, *this);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    busyCursor = true;
    try {
        session->start();
    } catch (...) {
        RestoreCursor();
        session.reset();
        throw;
    }
    SpeedButton24->hide();
}

void TForm1::RestoreCursor() {
    if (busyCursor)
        QApplication::restoreOverrideCursor();
    busyCursor = false;
}

void TForm1::connectionSettled(bool) {
    RestoreCursor();
    SpeedButton24->hide();
    GroupBox39->show();
    GroupBox40->show();
    ShowConnectionInfo();
}

// The own host's address is looked up beside the window, which goes on drawing meanwhile; its
// label is filled when the answer comes.
void TForm1::ShowConnectionInfo() {
    ConnectionTexts = ReadConnectionInfo(Client_2);
    Label440->setText(QString::fromLocal8Bit(ConnectionTexts.remoteHost));
    Label441->setText(QString::fromLocal8Bit(ConnectionTexts.remotePort));
    Label442->setText(QString::fromLocal8Bit(ConnectionTexts.localHostName));
    Label447->clear();
    auto* ownAddress = new HostLookup(this);
    connect(ownAddress, &HostLookup::found, this, [this, ownAddress](const QByteArray& dotted) {
        ownAddress->deleteLater();
        ConnectionTexts.localHostAddress = dotted;
        Label447->setText(QString::fromLocal8Bit(dotted));
    });
    ownAddress->start(ConnectionTexts.localHostName);
}

void TForm1::stepEntered(UpgradeStep step) {
    if (step == UpgradeStep::SendingHeader)
        SetBarRanges();
    else if (step == UpgradeStep::Pausing)
        GroupBox31->show();
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

// Each tick follows what the encoder has sent; the session's socket notifier does the same
// as soon as it arrives.
void TForm1::Timer_TCPTimer() {
    if (!Client_2.Connected())
        return;
    if (session)
        session->pump();
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

// A bar paints itself at once whenever its text or chunk changes: on a fast encoder, 83 % of
// the time spent on its replies. Painted with the rest of the window on the next turn instead,
// the value itself is there at once.
void TForm1::setPhasePosition(UpgradePhase phase, std::int32_t position) {
    QProgressBar* bar = PhaseBar(phase);
    bar->setUpdatesEnabled(false);
    bar->setValue(position);
    bar->setUpdatesEnabled(true); // asks for an ordinary, coalesced paint
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

void TForm1::upgradeEnded(const UpgradeEnd& end) {
    RestoreCursor();
    // The operator asked to close; the encoder no longer writes its flash.
    if (closeQuestion)
        closeQuestion->done(0);
    if (end.kind == UpgradeEndKind::NotReachable)
        ShowNotice(Latin1(UpgradeText::ServerNotReady));
}

bool TForm1::WritingFlash() const {
    return session && session->monitor().writingFlash();
}

void TForm1::CloseWithoutAsking() {
    closeWithoutAsking = true;
    if (closeQuestion)
        closeQuestion->done(0);
    close();
}

// A close while the encoder erases or programs its flash could leave it unusable: the operator
// is asked first. At any other moment the window closes at once.
void TForm1::closeEvent(QCloseEvent* event) {
    if (!closeWithoutAsking && WritingFlash() && !AskToClose()) {
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

bool TForm1::AskToClose() {
    if (closeQuestion)
        return false; // already asking
    const std::unique_ptr<QMessageBox> box = MakeCloseQuestion();
    closeQuestion = box.get();
    const bool closeAnyway = Dialogs().RunCloseQuestion(*box);
    closeQuestion = nullptr;
    return closeAnyway || closeWithoutAsking || !WritingFlash();
}
