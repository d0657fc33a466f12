#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QLocale>
#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

// The largest image the encoder's program memory takes (the 100% mark of the fill percentage).
inline constexpr std::int32_t MaxImageSize = 0x3D0000;
// The fixed buffer that holds the image for the whole run.
inline constexpr std::int32_t ImageBufferSize = 0x400000;

// The one loaded image. Allocated once per run; a load reads straight into `data`. Only the
// first `length` bytes are ever read.
struct FirmwareImageBuffer {
    std::array<std::uint8_t, ImageBufferSize> data;
    std::int32_t length = 0;    // bytes of `data` that hold the image
    std::uint32_t checksum = 0; // two's complement of the unsigned byte sum of the image
};

// A buffer whose data is left as the system hands it out: its pages take memory only once an
// image is loaded into them.
std::unique_ptr<FirmwareImageBuffer> NewFirmwareImageBuffer();

enum class ImageLoadResult {
    Accepted,  // length and checksum describe the new image
    NotOpened, // not a readable regular file: the image is left as it was
    TooLong,   // longer than MaxImageSize: the image is emptied (length 0, checksum 0)
};

// Two's complement of the 32-bit wrapping sum of the bytes taken as unsigned values,
// so that the sum of the bytes plus the checksum is 0 modulo 2^32.
std::uint32_t ImageChecksum(const std::uint8_t* bytes, std::size_t count);

// How much of MaxImageSize the length fills, in whole percent, computed in single
// precision step by step as the encoder's tools always have (0 to 100).
// The SHA-256 of the bytes as 64 lowercase hexadecimal digits: what names an image to an
// operator and in a fleet's records.
QString Sha256Text(QByteArrayView bytes);

int FillPercentage(std::int32_t length);

QString LengthText(std::int32_t length); // "%d"
QString
FillPercentageText(std::int32_t length); // "(P% of total memory available - optimization none)"
QString ChecksumText(std::uint32_t checksum); // "0x%x"

// Reads the file at `path` into `image`: never more than MaxImageSize + 1 bytes, never a
// byte past `image.data`, never waiting on a FIFO or device. Closes the file before returning.
ImageLoadResult LoadFirmwareImage(FirmwareImageBuffer& image, const QString& path);
// The same for a path given as the system's bytes, which need not be valid text.
ImageLoadResult LoadFirmwareImageFile(FirmwareImageBuffer& image, const QByteArray& nativePath);

// The path as shown to the operator, with '/' as the separator.
QString DisplayPath(const QString& chosenPath);

// The file's last-modification time in local time, seconds rounded down to an even number;
// nothing when the file cannot be read.
std::optional<QDateTime> FirmwareFileTime(const QString& path);

// The date alone when the time of day is exactly midnight, otherwise the date, a blank and
// the time with hours, minutes and seconds, in the locale's short formats.
QString FirmwareDateText(const QDateTime& time, const QLocale& locale = QLocale::system());
