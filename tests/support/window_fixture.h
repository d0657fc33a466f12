#pragma once

// A fresh window after FormCreate, with the fake dialogs standing in for the operator and a
// temporary folder for the files the tests choose.

#include "TForm1.h"
#include "window_fake_dialogs.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

struct WindowFixture {
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<FakeDialogs> dialogs;
    std::unique_ptr<TForm1> window;

    void openWindow() {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        dialogs = std::make_unique<FakeDialogs>();
        window = std::make_unique<TForm1>();
        window->FormCreate();
    }
    void closeWindow() {
        window.reset();
        dialogs.reset();
        dir.reset();
    }

    // Writes a file (a relative path lies in the temporary folder); an invalid `modified`
    // leaves the time the write gave it.
    QString write(const QString& path, const QByteArray& bytes,
                  const QDateTime& modified = {}) const {
        const QString full = QDir(dir->path()).filePath(path);
        QFile file(full);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(bytes) != bytes.size() || !file.flush() ||
            (modified.isValid() && !file.setFileTime(modified, QFileDevice::FileModificationTime)))
            qFatal("cannot write %s", qPrintable(full));
        return full;
    }
    // Chooses `path` through "Select file" as the operator confirms it.
    void select(const QString& path) const {
        dialogs->confirmNext(path);
        window->SpeedButton24->click();
    }
    QStringList boxTexts() const {
        QStringList texts;
        for (const FakeDialogs::Box& box : dialogs->boxes)
            texts << box.text;
        return texts;
    }
};
