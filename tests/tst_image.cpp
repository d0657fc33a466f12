#include "FirmwareImage.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& bytes) {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

// Bytes whose sum is known: 0, 1, 2, ... wrapping at 256.
QByteArray patternBytes(qsizetype n) {
    QByteArray bytes(n, Qt::Uninitialized);
    for (qsizetype i = 0; i < n; ++i)
        bytes[i] = char(i & 0xFF);
    return bytes;
}

std::uint32_t slowChecksum(const QByteArray& bytes) {
    std::uint32_t sum = 0;
    for (char c : bytes)
        sum += static_cast<unsigned char>(c);
    return 0u - sum;
}

} // namespace

class TestImage : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FirmwareImageBuffer> image;
    QTemporaryDir dir;

private slots:
    void init() { image = std::make_unique<FirmwareImageBuffer>(); }

    void checksum_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("abc") << QByteArray("abc") << "0xfffffeda";
        QTest::newRow("one 0xFF byte, summed unsigned") << QByteArray("\xFF", 1) << "0xffffff01";
        QTest::newRow("empty") << QByteArray() << "0x0";
        QTest::newRow("sum 256 wraps to 0x100") << QByteArray("\x80\x80", 2) << "0xffffff00";
        QTest::newRow("odd length, vector tail") << QByteArray(17, '\x01') << "0xffffffef";
    }
    void checksum() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        QCOMPARE(ChecksumText(ImageChecksum(data, bytes.size())), text);
    }

    void checksumOfLargeImageMatchesByteLoop() {
        const QByteArray bytes = patternBytes(MaxImageSize - 5);
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.constData());
        QCOMPARE(ImageChecksum(data, bytes.size()), slowChecksum(bytes));
    }

    void fillPercentage_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("percent");
        QTest::newRow("empty") << 0 << 0;
        QTest::newRow("half") << MaxImageSize / 2 << 50;
        QTest::newRow("just below a rounding step") << 959446 << 23;
        QTest::newRow("rounded up a step") << 959447 << 24;
        for (int length : {1918894, 1958871, 2838364, 2878341, 2918318, 2958295, 3837788, 3877765,
                           3917742, 3957719}) {
            const int exact = int(qint64(length) * 100 / MaxImageSize);
            QTest::addRow("rounded up at %d", length) << length << exact + 1;
        }
        QTest::newRow("full") << MaxImageSize << 100;
    }
    void fillPercentage() {
        QFETCH(int, length);
        QFETCH(int, percent);
        QCOMPARE(FillPercentage(length), percent);
    }

    void fillPercentageAgreesWithExactQuotientElsewhere() {
        const QList<int> roundedUp = {959447,  1918894, 1958871, 2838364, 2878341, 2918318,
                                      2958295, 3837788, 3877765, 3917742, 3957719};
        int differing = 0;
        for (int length = 0; length <= MaxImageSize; ++length) {
            const int exact = int(qint64(length) * 100 / MaxImageSize);
            if (FillPercentage(length) != exact) {
                QVERIFY2(roundedUp.contains(length), qPrintable(QString::number(length)));
                ++differing;
            }
        }
        QCOMPARE(differing, roundedUp.size());
    }

    void fillPercentageText() {
        QCOMPARE(FillPercentageText(MaxImageSize / 2),
                 QString("(50% of total memory available - optimization none)"));
    }

    void loadAcceptsUpToTheMaximum_data() {
        QTest::addColumn<int>("size");
        QTest::newRow("empty") << 0;
        QTest::newRow("three bytes") << 3;
        QTest::newRow("exactly the maximum") << MaxImageSize;
    }
    void loadAcceptsUpToTheMaximum() {
        QFETCH(int, size);
        const QByteArray bytes = patternBytes(size);
        const QString path = writeFile(dir, "ok.bin", bytes);
        QCOMPARE(LoadFirmwareImage(*image, path), ImageLoadResult::Accepted);
        QCOMPARE(image->length, size);
        QCOMPARE(image->checksum, slowChecksum(bytes));
        QCOMPARE(QByteArray(reinterpret_cast<const char*>(image->data.data()), size), bytes);
    }

    void loadRefusesLongerFiles_data() {
        QTest::addColumn<qint64>("size");
        QTest::newRow("maximum + 1") << qint64(MaxImageSize) + 1;
        QTest::newRow("buffer size + 1") << qint64(ImageBufferSize) + 1;
        QTest::newRow("sparse, several gigabytes") << (qint64(5) << 30);
    }
    void loadRefusesLongerFiles() {
        QFETCH(qint64, size);
        // An accepted image first: a refusal must not leave it half replaced.
        QCOMPARE(LoadFirmwareImage(*image, writeFile(dir, "small.bin", "abc")),
                 ImageLoadResult::Accepted);
        const QString path = dir.filePath("long.bin");
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
        file.close();
        QCOMPARE(LoadFirmwareImage(*image, path), ImageLoadResult::TooLong);
        QCOMPARE(image->length, 0);
        QCOMPARE(image->checksum, 0u);
    }

    void loadLeavesImageAloneWhenNotOpened_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing file") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("FIFO without a writer") << "fifo";
        QTest::newRow("unreadable file") << "unreadable";
    }
    void loadLeavesImageAloneWhenNotOpened() {
        QFETCH(QString, kind);
        QCOMPARE(LoadFirmwareImage(*image, writeFile(dir, "before.bin", "abc")),
                 ImageLoadResult::Accepted);
        QString path = dir.filePath(kind);
        if (kind == "folder")
            QVERIFY(QDir(dir.path()).mkpath(kind));
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        if (kind == "unreadable") {
            if (::geteuid() == 0)
                QSKIP("root reads files whatever their mode");
            path = writeFile(dir, kind, "xyz");
            QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
        }
        QCOMPARE(LoadFirmwareImage(*image, path), ImageLoadResult::NotOpened);
        QCOMPARE(image->length, 3);
        QCOMPARE(image->checksum, 0xFFFFFEDAu);
        QCOMPARE(image->data[0], std::uint8_t('a'));
    }

    void reloadReadsCurrentContents() {
        const QString path = writeFile(dir, "changing.bin", "abc");
        QCOMPARE(LoadFirmwareImage(*image, path), ImageLoadResult::Accepted);
        writeFile(dir, "changing.bin", QByteArray("\xFF", 1));
        QCOMPARE(LoadFirmwareImage(*image, path), ImageLoadResult::Accepted);
        QCOMPARE(image->length, 1);
        QCOMPARE(ChecksumText(image->checksum), QString("0xffffff01"));
    }

    void displayPathUsesForwardSlashes() {
        QCOMPARE(DisplayPath(QDir::toNativeSeparators("/fw/image.bin")), QString("/fw/image.bin"));
        // On this platform a backslash is part of a file name and stays.
        QCOMPARE(DisplayPath("/fw/a\\b.bin"), QString("/fw/a\\b.bin"));
    }

    void dateText_data() {
        QTest::addColumn<QDateTime>("time");
        QTest::addColumn<QString>("text");
        const QDate day(2024, 3, 9);
        QTest::newRow("midnight: date alone") << QDateTime(day, QTime(0, 0)) << "3/9/24";
        QTest::newRow("afternoon") << QDateTime(day, QTime(13, 45, 6)) << "3/9/24 1:45:06 PM";
        QTest::newRow("one second past midnight")
            << QDateTime(day, QTime(0, 0, 1)) << "3/9/24 12:00:01 AM";
        QTest::newRow("before 1980 still shown")
            << QDateTime(QDate(1975, 1, 2), QTime(8, 0, 0)) << "1/2/75 8:00:00 AM";
    }
    void dateText() {
        QFETCH(QDateTime, time);
        QFETCH(QString, text);
        QCOMPARE(FirmwareDateText(time, QLocale(QLocale::English, QLocale::UnitedStates)), text);
    }

    void fileTimeHasEvenSeconds() {
        const QString path = writeFile(dir, "dated.bin", "abc");
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const QDateTime written(QDate(2023, 6, 1), QTime(10, 20, 33, 500));
        QVERIFY(file.setFileTime(written, QFileDevice::FileModificationTime));
        file.close();
        const auto time = FirmwareFileTime(path);
        QVERIFY(time.has_value());
        QCOMPARE(*time, QDateTime(QDate(2023, 6, 1), QTime(10, 20, 32)));
        QVERIFY(!FirmwareFileTime(dir.filePath("no such file")).has_value());
    }
};

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
