#pragma once

// Images for tests and benchmarks, and a checksum computed without the engine.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

struct FirmwareImageBuffer;

// `length` bytes in which every value occurs, so that a wrong byte shows in the checksum.
QByteArray PatternImage(qsizetype length);
// Pseudo-random bytes: the same seed gives the same image.
QByteArray RandomImage(qsizetype length, std::uint32_t seed);
// The checksum an honest client sends: the two's complement of the unsigned byte sum.
std::uint32_t ImageSumChecksum(const QByteArray& image);
// Writes the image to a file: its path, or none when it could not be written.
QString WriteImageFile(const QString& path, const QByteArray& image);
// The image in the engine's buffer, with its checksum.
std::unique_ptr<FirmwareImageBuffer> ImageBuffer(const QByteArray& image);
