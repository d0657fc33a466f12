#include "Dialogs.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

namespace {

ModalDialogs realDialogs;
DialogSeam* currentDialogs = &realDialogs;

std::unique_ptr<QMessageBox> MakeBox(QMessageBox::Icon icon, const QString& text) {
    auto box = std::make_unique<QMessageBox>();
    box->setIcon(icon);
    box->setWindowTitle(ProgramTitle());
    box->setTextFormat(Qt::PlainText);
    box->setText(text);
    box->setStandardButtons(QMessageBox::Ok);
    box->setDefaultButton(QMessageBox::Ok);
    box->setEscapeButton(QMessageBox::Ok);
    return box;
}

} // namespace

void ModalDialogs::RunFileDialog(QFileDialog& dialog) {
    dialog.exec();
}

void ModalDialogs::NoticeBox(const QString& text, std::optional<QPoint> topLeft) {
    MakeNoticeBox(text, topLeft)->exec();
}

void ModalDialogs::ErrorBox(const QString& text) {
    MakeErrorBox(text)->exec();
}

bool ModalDialogs::RunCloseQuestion(QMessageBox& box) {
    box.exec();
    return ClosesAnyway(box);
}

DialogSeam& Dialogs() {
    return *currentDialogs;
}

DialogSeam* InstallDialogs(DialogSeam* seam) {
    DialogSeam* previous = currentDialogs;
    currentDialogs = seam ? seam : &realDialogs;
    return previous;
}

QString ProgramTitle() {
    return ProgramTitleFor(QCoreApplication::applicationFilePath());
}

QString ProgramTitleFor(const QString& executablePath) {
    const QString name = QFileInfo(executablePath).fileName();
    const QString stem = name.left(name.indexOf(u'.'));
    return stem.left(1) + stem.mid(1).toLower();
}

QString ErrorBoxText(const QString& message) {
    if (!message.isEmpty() && message.back() > u'.')
        return message + u'.';
    return message;
}

// A parentless dialog that has not been moved is centred on the screen when it shows.
std::unique_ptr<QMessageBox> MakeNoticeBox(const QString& text, std::optional<QPoint> topLeft) {
    auto box = MakeBox(QMessageBox::NoIcon, text);
    if (topLeft)
        box->move(*topLeft);
    return box;
}

std::unique_ptr<QMessageBox> MakeErrorBox(const QString& text) {
    return MakeBox(QMessageBox::Critical, text);
}

void ShowNotice(const QString& text, std::optional<QPoint> topLeft) {
    Dialogs().NoticeBox(text, topLeft);
}

void ShowErrorMessage(const QString& message) {
    Dialogs().ErrorBox(ErrorBoxText(message));
}

std::unique_ptr<QMessageBox> MakeCloseQuestion() {
    auto box = MakeBox(QMessageBox::Warning, QString::fromLatin1(CloseQuestionText));
    box->setStandardButtons(QMessageBox::NoButton);
    QPushButton* keep =
        box->addButton(QString::fromLatin1(KeepRunningText), QMessageBox::RejectRole);
    box->addButton(QString::fromLatin1(CloseAnywayText), QMessageBox::DestructiveRole);
    box->setDefaultButton(keep);
    box->setEscapeButton(keep);
    box->setAccessibleDescription(
        QStringLiteral("Return and Escape keep the upgrade running; Close anyway ends it."));
    return box;
}

bool ClosesAnyway(const QMessageBox& box) {
    QAbstractButton* clicked = box.clickedButton();
    return clicked && box.buttonRole(clicked) == QMessageBox::DestructiveRole;
}
