#pragma once

#include <QPoint>
#include <QString>

#include <memory>
#include <optional>

class QFileDialog;
class QMessageBox;

// Every modal dialog of the window runs through this seam, so that a test can answer in the
// operator's place instead of waiting on a box.
class DialogSeam {
public:
    virtual ~DialogSeam() = default;
    // Runs the file dialog modally. A confirmation emits the dialog's fileSelected while the
    // dialog is still open; the window's confirmation handler runs on it.
    virtual void RunFileDialog(QFileDialog& dialog) = 0;
    // One OK button, no icon; centred on the screen unless its top-left corner is given.
    virtual void NoticeBox(const QString& text, std::optional<QPoint> topLeft) = 0;
    // Error icon and one OK button; the text is final (see ErrorBoxText).
    virtual void ErrorBox(const QString& text) = 0;
    // Runs the close question (MakeCloseQuestion) modally; true for "Close anyway". The window
    // may take the box away meanwhile with done(), which answers false.
    virtual bool RunCloseQuestion(QMessageBox& box) = 0;
};

// The real modal dialogs.
class ModalDialogs : public DialogSeam {
public:
    void RunFileDialog(QFileDialog& dialog) override;
    void NoticeBox(const QString& text, std::optional<QPoint> topLeft) override;
    void ErrorBox(const QString& text) override;
    bool RunCloseQuestion(QMessageBox& box) override;
};

DialogSeam& Dialogs();
// Puts another seam in place (nullptr restores the real dialogs); returns the one it replaces.
DialogSeam* InstallDialogs(DialogSeam* seam);

// The caption of every box: the executable's file name, cut before its first '.', with every
// character after the first in lower case.
QString ProgramTitle();
QString ProgramTitleFor(const QString& executablePath);

// An error message as its box shows it: a '.' is added when the message is not empty and its
// last character's code lies above that of '.'.
QString ErrorBoxText(const QString& message);

// The boxes as ModalDialogs shows them, built but not shown.
std::unique_ptr<QMessageBox> MakeNoticeBox(const QString& text, std::optional<QPoint> topLeft);
std::unique_ptr<QMessageBox> MakeErrorBox(const QString& text);
// Asked before the window closes while the encoder writes its flash: "Keep running" (Return
// and Escape) or "Close anyway".
std::unique_ptr<QMessageBox> MakeCloseQuestion();
inline constexpr char CloseQuestionText[] =
    "The encoder is writing its flash. Closing now may leave it unusable.";
inline constexpr char KeepRunningText[] = "Keep running";
inline constexpr char CloseAnywayText[] = "Close anyway";
// Whether the operator chose "Close anyway" in a close question that has been answered.
bool ClosesAnyway(const QMessageBox& box);

// What the window's code calls.
void ShowNotice(const QString& text, std::optional<QPoint> topLeft = std::nullopt);
void ShowErrorMessage(const QString& message);
