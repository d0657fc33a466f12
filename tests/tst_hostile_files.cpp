// Files that fight back, through the window's load path: paths of several thousand bytes,
// files that vanish between the choice and the load, sparse giants, files that change size
// while they are read. The window must show what the image really is, or nothing.
#include "StartUp.h"
#include "TForm1.h"
#include "window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class TestHostileFiles : public QObject, WindowFixture {
    Q_OBJECT

    QStringList summary() const {
        return {window->Label445->text(), window->Label451->text(),
                window->GroupBox41->isHidden() ? "upgrade hidden" : "upgrade offered"};
    }

private slots:
    void initTestCase() { PrepareApplication(*qApp); }
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void pathOfSeveralThousandBytes() {
        QString folder = dir->path();
        for (int level = 0; level < 16; ++level)
            folder += QLatin1Char('/') + QString(200, QChar(u'a' + level));
        QVERIFY(QDir().mkpath(folder));
        const QString path = write(folder + QStringLiteral("/image.bin"), "abc");
        QVERIFY(QFile::encodeName(path).size() > 3000);
        select(path);
        QCOMPARE(window->Label443->text(), path);
        QCOMPARE(summary(), (QStringList{"3", "0xfffffeda", "upgrade offered"}));
    }

    // The operator confirms a file that another program removes or replaces before the
    // load: the window shows the choice, loads nothing, offers nothing new.
    void fileGoneBetweenChoiceAndLoad_data() {
        QTest::addColumn<QString>("change");
        QTest::newRow("removed") << "remove";
        QTest::newRow("replaced by a folder") << "folder";
        QTest::newRow("replaced by a FIFO") << "fifo";
    }
    void fileGoneBetweenChoiceAndLoad() {
        QFETCH(QString, change);
        const QString path = write(QStringLiteral("fleeting.bin"), "abcd");
        dialogs->answerNext([&](QFileDialog& dialog) {
            FakeDialogs::Confirm(dialog, path);
            QVERIFY(QFile::remove(path));
            if (change == "folder")
                QVERIFY(QDir().mkdir(path));
            if (change == "fifo")
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        });
        window->SpeedButton24->click();
        QCOMPARE(window->Label443->text(), path);
        QCOMPARE(boxTexts(), QStringList());
        QCOMPARE(summary(), (QStringList{"Label445", "Label451", "upgrade hidden"}));
        QCOMPARE(window->FirmwareImage->length, 0);
    }

    void sparseGiantRefusedWithoutReading() {
        select(write(QStringLiteral("good.bin"), "abc"));
        const QString path = dir->filePath(QStringLiteral("giant.bin"));
        QFile giant(path);
        QVERIFY(giant.open(QIODevice::WriteOnly));
        QVERIFY(giant.resize(qint64(8) << 30));
        giant.close();
        select(path);
        QCOMPARE(boxTexts(), QStringList{"FILE TOO LONG"});
        QCOMPARE(summary(), (QStringList{"3", "0xfffffeda", "upgrade hidden"}));
        QCOMPARE(window->FirmwareImage->length, 0);
    }

    // Another program keeps growing and cutting the file while it is loaded again and again.
    // Whatever each load catches, the image the window keeps is whole: its length fits the
    // buffer and its checksum is that of its bytes; a refusal leaves nothing to send.
    void fileChangingSizeWhileRead() {
        const QString path = dir->filePath(QStringLiteral("changing.bin"));
        write(path, QByteArray(MaxImageSize - 4096, '\x11'));
        std::atomic<bool> stop{false};
        std::thread other([&] {
            const QByteArray name = QFile::encodeName(path);
            const QByteArray tail(64 * 1024, '\x22');
            while (!stop) {
                QFile file(path);
                if (!file.open(QIODevice::Append))
                    continue;
                for (int i = 0; i < 8 && !stop; ++i)
                    file.write(tail);
                file.close();
                // Should it fail, the file stays longer until the next round; either is a change.
                [[maybe_unused]] const int truncated =
                    ::truncate(name.constData(), MaxImageSize - 4096);
            }
        });
        int accepted = 0, refused = 0;
        for (int round = 0; round < 60; ++round) {
            dialogs->boxes.clear();
            select(path);
            const FirmwareImageBuffer& image = *window->FirmwareImage;
            if (dialogs->boxes.empty()) {
                ++accepted;
                QVERIFY(image.length <= MaxImageSize);
                QCOMPARE(image.checksum, ImageChecksum(image.data.data(), image.length));
                QCOMPARE(window->Label445->text(), QString::number(image.length));
                QVERIFY(!window->GroupBox41->isHidden());
            } else {
                ++refused;
                QCOMPARE(boxTexts(), QStringList{"FILE TOO LONG"});
                QCOMPARE(image.length, 0);
                QCOMPARE(image.checksum, 0u);
                QVERIFY(window->GroupBox41->isHidden());
            }
        }
        stop = true;
        other.join();
        qInfo("accepted %d, refused %d", accepted, refused);
    }
};

QTEST_MAIN(TestHostileFiles)
#include "tst_hostile_files.moc"
