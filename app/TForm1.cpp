#include "TForm1.h"

#include "AutoSizeLabel.h"
#include "Dialogs.h"
#include "HandlerGuard.h"
#include "StartUp.h"

#include <QDir>
#include <QFileDialog>
#include <QProgressBar>
#include <QResizeEvent>
#include <QTimer>

TForm1* Form1 = nullptr;

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

    Timer_TCP = new QTimer(this);
    Timer_TCP->setObjectName(QStringLiteral("Timer_TCP"));
    Timer_TCP->setInterval(TimerTcpIntervalMs);

    ConnectHandlers();
    Timer_TCP->start();
    Form1 = this;
}

TForm1::~TForm1() {
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
        return;
    case ImageLoadResult::TooLong:
        // A refused file leaves nothing that "Upgrade FW" could send.
        ShowNotice(QStringLiteral("FILE TOO LONG"));
        GroupBox41->hide();
        return;
    case ImageLoadResult::Accepted:
        ShowImageSummary();
        return;
    }
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
    // The upgrade itself (connect, header, image) starts here.
}

void TForm1::Timer_TCPTimer() {
    if (!Client_2.Connected())
        return;
    // Following the encoder's replies starts here.
}
