#pragma once

#include "FirmwareImage.h"
#include "TcpClientChannel.h"
#include "ui_TForm1.h"

#include <QString>
#include <QWidget>

#include <memory>

class QFileDialog;
class QTimer;

// The main window. Its controls come from its form, one public member per control, named as
// the control's object name (Label443, GroupBox41, Memo5, ...).
class TForm1 : public QWidget, public Ui::TForm1 {
    Q_OBJECT
public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // Non-visual components, created with the window and destroyed with it.
    QFileDialog* OpenDialog3 = nullptr;
    QTimer* Timer_TCP = nullptr;
    TcpClientChannel Client_2;

    // The firmware image: one buffer for the whole run, and the operator's choice behind it.
    std::unique_ptr<FirmwareImageBuffer> FirmwareImage;
    bool ImageSelected = false;
    QString SelectedPath;

    // Handlers. The window's signals reach them through the error guard.
    void FormCreate();
    void SpeedButton24Click();
    void OpenDialog3CanClose(const QString& path);
    void SpeedButton26Click();
    void Timer_TCPTimer();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void CreateOpenDialog();
    void StyleProgressBars();
    void ConnectHandlers();
    void DockCategoryColumn();
    void ShowImageSummary();

    // Until a file's date has been read, the date label shows nothing rather than its name.
    bool fileDateRead = false;
};

// The one main window of the process; null before it exists and after it is gone.
extern TForm1* Form1;
