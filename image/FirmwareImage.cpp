#include "FirmwareImage.h"

#include <openssl/evp.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

#if defined(__x86_64__)
// psadbw against zero adds 32 bytes at a time into four 64-bit lanes.
__attribute__((target("avx2"))) std::uint64_t byteSumAvx2(const std::uint8_t* bytes,
                                                          std::size_t count, std::size_t& done) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i a = zero, b = zero;
    std::size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const auto* at = reinterpret_cast<const __m256i*>(bytes + i);
        a = _mm256_add_epi64(a, _mm256_sad_epu8(_mm256_loadu_si256(at), zero));
        b = _mm256_add_epi64(b, _mm256_sad_epu8(_mm256_loadu_si256(at + 1), zero));
    }
    alignas(32) std::uint64_t parts[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(parts), _mm256_add_epi64(a, b));
    done = i;
    return parts[0] + parts[1] + parts[2] + parts[3];
}
#endif

std::uint32_t byteSum(const std::uint8_t* bytes, std::size_t count) {
    std::uint64_t sum = 0;
    std::size_t i = 0;
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2)
        sum = byteSumAvx2(bytes, count, i);
#endif
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = _mm_setzero_si128();
    for (; i + 16 <= count; i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        lanes = _mm_add_epi64(lanes, _mm_sad_epu8(block, zero));
    }
    alignas(16) std::uint64_t parts[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(parts), lanes);
    sum += parts[0] + parts[1];
#endif
    for (; i < count; ++i)
        sum += bytes[i];
    return static_cast<std::uint32_t>(sum);
}

// Opens a regular file for reading without ever waiting on a FIFO or a device, and tells
// its size.
int openRegularFile(const QByteArray& name, off_t& size) {
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -1;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    size = info.st_size;
    return fd;
}

// Reads until end of file, an error, or `limit` bytes; returns the bytes delivered. A regular
// file in the cache arrives in one read; the loop covers the rest.
std::size_t readUpTo(int fd, std::uint8_t* into, std::size_t limit) {
    std::size_t total = 0;
    while (total < limit) {
        const ssize_t got = ::read(fd, into + total, limit - total);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        total += static_cast<std::size_t>(got);
    }
    return total;
}

void empty(FirmwareImageBuffer& image) {
    image.length = 0;
    image.checksum = 0;
}

} // namespace

std::unique_ptr<FirmwareImageBuffer> NewFirmwareImageBuffer() {
    return std::make_unique_for_overwrite<FirmwareImageBuffer>();
}

std::uint32_t ImageChecksum(const std::uint8_t* bytes, std::size_t count) {
    return 0u - byteSum(bytes, count);
}

int FillPercentage(std::int32_t length) {
    // Single precision, rounded at each step: some lengths come out one above the exact
    // integer quotient, and operators know the figures this way.
    const float f = static_cast<float>(length);
    const float p = f * 100.0f;
    const float q = p / static_cast<float>(MaxImageSize);
    return static_cast<int>(q);
}

QString LengthText(std::int32_t length) {
    return QString::number(length);
}

QString FillPercentageText(std::int32_t length) {
    return QStringLiteral("(%1% of total memory available - optimization none)")
        .arg(FillPercentage(length));
}

QString ChecksumText(std::uint32_t checksum) {
    return QStringLiteral("0x") + QString::number(checksum, 16);
}

ImageLoadResult LoadFirmwareImage(FirmwareImageBuffer& image, const QString& path) {
    return LoadFirmwareImageFile(image, QFile::encodeName(path));
}

ImageLoadResult LoadFirmwareImageFile(FirmwareImageBuffer& image, const QByteArray& nativePath) {
    off_t size = 0;
    const int fd = openRegularFile(nativePath, size);
    if (fd < 0)
        return ImageLoadResult::NotOpened;
    // A file already known to be too long is refused without reading it.
    if (size > MaxImageSize) {
        ::close(fd);
        empty(image);
        return ImageLoadResult::TooLong;
    }
    // One byte more than the maximum tells a file that grew meanwhile from one that fits.
    const std::size_t got = readUpTo(fd, image.data.data(), std::size_t(MaxImageSize) + 1);
    ::close(fd);
    if (got > std::size_t(MaxImageSize)) {
        empty(image);
        return ImageLoadResult::TooLong;
    }
    image.length = static_cast<std::int32_t>(got);
    image.checksum = ImageChecksum(image.data.data(), got);
    return ImageLoadResult::Accepted;
}

QString DisplayPath(const QString& chosenPath) {
    return QDir::fromNativeSeparators(chosenPath);
}

std::optional<QDateTime> FirmwareFileTime(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists())
        return std::nullopt;
    QDateTime time = info.lastModified().toLocalTime();
    if (!time.isValid())
        return std::nullopt;
    // The encoder's tools keep file times at two-second resolution.
    const QTime t = time.time();
    time.setTime(QTime(t.hour(), t.minute(), t.second() - t.second() % 2));
    return time;
}

QString FirmwareDateText(const QDateTime& time, const QLocale& locale) {
    const QString date = locale.toString(time.date(), QLocale::ShortFormat);
    if (time.time() == QTime(0, 0))
        return date;
    // The long format may carry a time zone; the operator sees hours, minutes and seconds.
    static const QRegularExpression zone(QStringLiteral("\\s*\\bt+\\b"));
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(zone);
    return date + QLatin1Char(' ') + locale.toString(time.time(), format.trimmed());
}

// OpenSSL's, which uses the processor's SHA instructions: Qt's took 20 ms of a fleet run's
// start for the largest image, OpenSSL's 3 ms.
QString Sha256Text(QByteArrayView bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), size_t(bytes.size()), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), int(length)).toHex());
}
