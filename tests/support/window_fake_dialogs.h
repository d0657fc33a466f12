#pragma once

#include "Dialogs.h"

#include <QFileDialog>
#include <QMessageBox>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

// Stands in for the operator at every modal dialog while it is installed: records the boxes
// and answers the file dialog from a script (confirm a path, cancel, or anything else).
class FakeDialogs : public DialogSeam {
public:
    struct Box {
        enum Kind { Notice, Error, CloseQuestion } kind;
        QString text;
        std::optional<QPoint> topLeft;
    };
    using Answer = std::function<void(QFileDialog&)>;
    // Answers the close question: true for "Close anyway".
    using CloseAnswer = std::function<bool(QMessageBox&)>;

    FakeDialogs() : previous(InstallDialogs(this)) {}
    ~FakeDialogs() override { InstallDialogs(previous); }
    FakeDialogs(const FakeDialogs&) = delete;
    FakeDialogs& operator=(const FakeDialogs&) = delete;

    // The confirmation the real dialog gives: fileSelected while the dialog is still open.
    static void Confirm(QFileDialog& dialog, const QString& path) {
        emit dialog.fileSelected(path);
    }

    void confirmNext(const QString& path) {
        answers.push_back([path](QFileDialog& dialog) { Confirm(dialog, path); });
    }
    void cancelNext() {
        answers.push_back([](QFileDialog&) {});
    }
    void answerNext(Answer answer) { answers.push_back(std::move(answer)); }

    // An unscripted run cancels, so a test never waits on the dialog.
    void RunFileDialog(QFileDialog& dialog) override {
        ++fileDialogRuns;
        if (answers.empty())
            return;
        Answer answer = std::move(answers.front());
        answers.pop_front();
        answer(dialog);
    }
    void NoticeBox(const QString& text, std::optional<QPoint> topLeft) override {
        boxes.push_back({Box::Notice, text, topLeft});
    }
    void ErrorBox(const QString& text) override { boxes.push_back({Box::Error, text, {}}); }
    // Unless told otherwise the operator closes anyway, so a test can always close its window.
    bool RunCloseQuestion(QMessageBox& box) override {
        boxes.push_back({Box::CloseQuestion, box.text(), {}});
        return closeAnswer ? closeAnswer(box) : true;
    }
    CloseAnswer closeAnswer;

    std::vector<Box> boxes;
    int fileDialogRuns = 0;

private:
    std::deque<Answer> answers;
    DialogSeam* previous;
};
