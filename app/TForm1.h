#pragma once

#include "ConnectionInfo.h"
#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "UpgradeView.h"
#include "ui_TForm1.h"

#include <QString>
#include <QWidget>

#include <array>
#include <memory>

class QFileDialog;
class QMessageBox;
class QProgressBar;
class QTimer;

// The connection texts of the run: created empty with the process, filled by "Upgrade FW".
extern ConnectionInfo ConnectionTexts;

// The main window. Its controls come from its form, one public member per control, named as
// the control's object name (Label443, GroupBox41, Memo5, ...).
class TForm1 : public QWidget, public Ui::TForm1, public UpgradeView {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Non-visual components, destroyed with the window (the file dialog made on first use).
    QFileDialog* OpenDialog3 = nullptr;
    QTimer* Timer_TCP = nullptr;
    TcpClientChannel Client_2;

    // The firmware image: one buffer for the whole run, and the operator's choice behind it.
    std::unique_ptr<FirmwareImageBuffer> FirmwareImage;
    bool ImageSelected = false;
    QString SelectedPath;

    // The file dialog is made when "Select file" first needs it: its file-system model and
    // widgets take memory that a window which never chooses a file does without.
    QFileDialog& CreateOpenDialog();

    // Handlers. The window's signals reach them through the error guard.
    void FormCreate();
    void SpeedButton24Click();
    void OpenDialog3CanClose(const QString& path);
    void SpeedButton26Click();
    void Timer_TCPTimer();

    // The upgrade that "Upgrade FW" started; null before.
    const UpgradeSession* Session() const { return session.get(); }
    // From the click on "Upgrade FW" the image and the upgrade are settled for the run.
    bool UpgradeStarted() const { return session != nullptr; }
    // While the encoder erases or programs its flash; a close then asks first.
    bool WritingFlash() const;
    // Closes without the question (a termination signal).
    void CloseWithoutAsking();

    // The progress rows, logs and boxes as the reply handling drives them.
    void showPhaseRow(UpgradePhase phase) override;
    void setPhaseText(UpgradePhase phase, const QString& text) override;
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override;
    void appendDeviceLog(const QString& line) override;
    void appendUpgradeLog(const QString& line) override;
    void showErrorText(const QString& text) override;
    void showSuccess(const QString& text) override;
    void upgradeEnded(const UpgradeEnd& end) override;
    void connectionSettled(bool connected) override;
    void stepEntered(UpgradeStep step) override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void StyleProgressBars();
    void ConnectHandlers();
    void DockCategoryColumn();
    void ShowImageSummary();
    void WithdrawImage();
    void StartUpgrade();
    void RestoreCursor();
    bool AskToClose();
    void ShowConnectionInfo();
    void SetBarRanges();
    QProgressBar* PhaseBar(UpgradePhase phase) const;
    AutoSizeLabel* PhaseLabel(UpgradePhase phase) const;
    // The row's "0%" label, bar, "100%" label and stage label.
    std::array<QWidget*, 4> PhaseRow(UpgradePhase phase) const;

    // Until a file's date has been read, the date label shows nothing rather than its name.
    bool fileDateRead = false;

    // Declared after Client_2, so it goes before the channel it drives.
    std::unique_ptr<UpgradeSession> session;
    bool busyCursor = false;
    // The close question while it is open, so that the end of the flash write can take it away.
    QMessageBox* closeQuestion = nullptr;
    bool closeWithoutAsking = false;
};

// The one main window of the process; null before it exists and after it is gone.
extern TForm1* Form1;
