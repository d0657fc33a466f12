#include "StartUp.h"
#include "TForm1.h"
#include "window_fixture.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>
#include <sys/stat.h>

namespace {

const char* const SummaryLabels[] = {"Label423", "Label443", "Label444", "Label445", "Label277",
                                     "Label446", "Label451", "Label278", "Label453"};

const QDateTime TimeA(QDate(2021, 3, 4), QTime(5, 6, 9));
const QDateTime TimeB(QDate(2023, 11, 30), QTime(22, 41, 17));

QString Percent(int p) {
    return QStringLiteral("(%1% of total memory available - optimization none)").arg(p);
}

// The date text of a file written at `time`: seconds rounded down to an even number.
QString DateTextOf(const QDateTime& time) {
    const QTime t = time.time();
    return FirmwareDateText(QDateTime(time.date(), QTime(t.hour(), t.minute(), t.second() & ~1)));
}

} // namespace

class TestWindowImage : public QObject, WindowFixture {
    Q_OBJECT

    void cancel() {
        dialogs->cancelNext();
        window->SpeedButton24->click();
    }
    QLabel* label(const char* name) const {
        return window->findChild<QLabel*>(QString::fromLatin1(name));
    }
    QStringList shownSummaryLabels() const {
        QStringList shown;
        for (const char* name : SummaryLabels)
            if (!label(name)->isHidden())
                shown << QString::fromLatin1(name);
        return shown;
    }
    QStringList allSummaryLabels() const {
        QStringList all;
        for (const char* name : SummaryLabels)
            all << QString::fromLatin1(name);
        return all;
    }
    QStringList summaryTexts() const {
        return {window->Label445->text(), window->Label277->text(), window->Label451->text()};
    }
    QStringList noticeTexts() const {
        QStringList texts;
        for (const FakeDialogs::Box& box : dialogs->boxes)
            texts << (box.kind == FakeDialogs::Box::Notice ? "notice: " : "error: ") + box.text;
        return texts;
    }

private slots:
    void initTestCase() { PrepareApplication(*qApp); }
    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void acceptShowsSummary_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("texts");
        QTest::newRow("abc") << QByteArray("abc") << QStringList{"3", Percent(0), "0xfffffeda"};
        QTest::newRow("empty") << QByteArray() << QStringList{"0", Percent(0), "0x0"};
        QTest::newRow("rounds up to 24%")
            << QByteArray(959447, '\x01') << QStringList{"959447", Percent(24), "0xfff15c29"};
        QTest::newRow("exactly the maximum")
            << QByteArray(MaxImageSize, '\0') << QStringList{"3997696", Percent(100), "0x0"};
    }
    void acceptShowsSummary() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, texts);
        const QString path = write(QStringLiteral("image.bin"), bytes, TimeA);
        FirmwareImageBuffer* const buffer = window->FirmwareImage.get();
        select(path);
        QCOMPARE(noticeTexts(), QStringList());
        QVERIFY(!window->GroupBox41->isHidden());
        QCOMPARE(shownSummaryLabels(), allSummaryLabels());
        QCOMPARE(summaryTexts(), texts);
        QCOMPARE(window->Label443->text(), path);
        QCOMPARE(window->Label453->text(), DateTextOf(TimeA));
        QCOMPARE(window->FirmwareImage.get(), buffer);
        QCOMPARE(window->FirmwareImage->length, bytes.size());
        // Labels grow with their texts instead of clipping them.
        for (const char* name : SummaryLabels)
            QVERIFY2(label(name)->width() >=
                         label(name)->fontMetrics().horizontalAdvance(label(name)->text()),
                     name);
    }

    void refusalOnFirstChoice_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("maximum + 1") << MaxImageSize + 1;
        QTest::newRow("buffer size + 1") << ImageBufferSize + 1;
    }
    void refusalOnFirstChoice() {
        QFETCH(int, size);
        select(write(QStringLiteral("big.bin"), QByteArray(size, '\x5a')));
        QCOMPARE(noticeTexts(), QStringList{"notice: FILE TOO LONG"});
        QVERIFY(!dialogs->boxes[0].topLeft); // centred
        QVERIFY(window->GroupBox41->isHidden());
        QCOMPARE(shownSummaryLabels(), QStringList());
        QCOMPARE(summaryTexts(), (QStringList{"Label445", "Label277", "Label451"}));
    }

    void refusalAfterAcceptanceWithdrawsUpgrade() {
        select(write(QStringLiteral("good.bin"), "abc", TimeA));
        FirmwareImageBuffer* const buffer = window->FirmwareImage.get();
        const QString bigPath =
            write(QStringLiteral("big.bin"), QByteArray(MaxImageSize + 1, '\x01'), TimeB);
        select(bigPath);
        QCOMPARE(noticeTexts(), QStringList{"notice: FILE TOO LONG"});
        QVERIFY(window->GroupBox41->isHidden());
        // The earlier figures stay beside the refused file's path and date.
        QCOMPARE(summaryTexts(), (QStringList{"3", Percent(0), "0xfffffeda"}));
        QCOMPARE(window->Label443->text(), bigPath);
        QCOMPARE(window->Label453->text(), DateTextOf(TimeB));
        QCOMPARE(shownSummaryLabels(), allSummaryLabels());
        // Nothing of the refused file is left to send.
        QCOMPARE(window->FirmwareImage.get(), buffer);
        QCOMPARE(window->FirmwareImage->length, 0);
        QCOMPARE(window->FirmwareImage->checksum, 0u);

        select(write(QStringLiteral("again.bin"), QByteArray(1, '\xff')));
        QVERIFY(!window->GroupBox41->isHidden());
        QCOMPARE(summaryTexts(), (QStringList{"1", Percent(0), "0xffffff01"}));
    }

    void cancelOnFirstUseDoesNothing() {
        cancel();
        QCOMPARE(dialogs->fileDialogRuns, 1);
        QCOMPARE(noticeTexts(), QStringList());
        QVERIFY(!window->ImageSelected);
        QVERIFY(window->GroupBox41->isHidden());
        QCOMPARE(shownSummaryLabels(), QStringList());
        QCOMPARE(window->Label443->text(), QStringLiteral("Label443"));
        QCOMPARE(window->Label453->text(), QStringLiteral("Label453"));
    }

    void cancelReloadsEarlierFileAfresh() {
        const QString path = write(QStringLiteral("image.bin"), "abc", TimeA);
        select(path);
        write(QStringLiteral("image.bin"), "abcd", TimeB);
        cancel();
        QCOMPARE(noticeTexts(), QStringList());
        QCOMPARE(summaryTexts(), (QStringList{"4", Percent(0), "0xfffffe76"}));
        QCOMPARE(window->Label443->text(), path);
        QCOMPARE(window->Label453->text(), DateTextOf(TimeA)); // only a confirmation reads it
    }

    // A choice that cannot be loaded names another file than the image in memory: "Upgrade FW"
    // is withdrawn rather than sending the earlier image under the new name.
    void unreadableChoiceWithdrawsUpgrade_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing file") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("fifo") << "fifo";
    }
    void unreadableChoiceWithdrawsUpgrade() {
        QFETCH(QString, kind);
        select(write(QStringLiteral("good.bin"), "abc"));
        const QString path = dir->filePath(QStringLiteral("odd.bin"));
        if (kind == "folder")
            QVERIFY(QDir().mkdir(path));
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        select(path);
        QCOMPARE(noticeTexts(), QStringList());
        QVERIFY(window->GroupBox41->isHidden());
        QCOMPARE(summaryTexts(), (QStringList{"3", Percent(0), "0xfffffeda"}));
        QCOMPARE(window->Label443->text(), path);
        QCOMPARE(window->FirmwareImage->length, 0);
        QCOMPARE(window->FirmwareImage->checksum, 0u);
    }

    void unreadableFirstChoiceShowsNothing() {
        select(dir->filePath(QStringLiteral("missing.bin")));
        QVERIFY(window->ImageSelected);
        QCOMPARE(noticeTexts(), QStringList());
        QVERIFY(window->GroupBox41->isHidden());
        QCOMPARE(shownSummaryLabels(), QStringList());
    }

    void pathShownWholeAndLoaded_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("name");
        QTest::newRow("markup") << "<b>x<"
                                << "b>.bin"; // the path reads .../<b>x</b>.bin
        QTest::newRow("backslash stays") << ""
                                         << "fw\\image.bin";
        QTest::newRow("non-ASCII not cut") << QString::fromUtf8("d\u00e9p\u00f4t") << "image.bin";
        QTest::newRow("longer than 199 bytes")
            << QString(120, u'f') + "/" + QString(120, u'g') << "image.bin";
    }
    void pathShownWholeAndLoaded() {
        QFETCH(QString, folder);
        QFETCH(QString, name);
        QVERIFY(folder.isEmpty() || QDir(dir->path()).mkpath(folder));
        const QString path = write(folder.isEmpty() ? name : folder + "/" + name, "abc");
        select(path);
        QCOMPARE(window->SelectedPath, path);
        QCOMPARE(window->Label443->text(), path);
        QVERIFY(!window->GroupBox41->isHidden());
        QCOMPARE(window->Label451->text(), QStringLiteral("0xfffffeda"));
        // Shown as plain characters: the label is as wide as the literal text.
        QCOMPARE(window->Label443->textFormat(), Qt::PlainText);
        const int literalWidth = window->Label443->fontMetrics().horizontalAdvance(path);
        QVERIFY(qAbs(window->Label443->width() - literalWidth) <= 2);
    }

    void dateEmptyUntilOneIsRead() {
        const QString late = dir->filePath(QStringLiteral("late.bin"));
        // The file appears only after the confirmation, so no date can be read for it.
        dialogs->answerNext([&](QFileDialog& dialog) {
            FakeDialogs::Confirm(dialog, late);
            write(QStringLiteral("late.bin"), "abc");
        });
        window->SpeedButton24->click();
        QVERIFY(!window->GroupBox41->isHidden());
        QVERIFY(!window->Label453->isHidden());
        QCOMPARE(window->Label453->text(), QString());

        select(write(QStringLiteral("dated.bin"), "abc", TimeB));
        QCOMPARE(window->Label453->text(), DateTextOf(TimeB));

        // Once a date has been shown, a choice without one leaves it.
        const QString later = dir->filePath(QStringLiteral("later.bin"));
        dialogs->answerNext([&](QFileDialog& dialog) {
            FakeDialogs::Confirm(dialog, later);
            write(QStringLiteral("later.bin"), "abcd");
        });
        window->SpeedButton24->click();
        QCOMPARE(window->Label453->text(), DateTextOf(TimeB));
        QCOMPARE(window->Label445->text(), QStringLiteral("4"));
    }
};

QTEST_MAIN(TestWindowImage)
#include "tst_window_image.moc"
