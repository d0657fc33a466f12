#include "test_image.h"

#include "FirmwareImage.h"

#include <QFile>

#include <cstring>

QByteArray PatternImage(qsizetype length) {
    QByteArray image(length, Qt::Uninitialized);
    for (qsizetype i = 0; i < length; ++i)
        image[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return image;
}

QByteArray RandomImage(qsizetype length, std::uint32_t seed) {
    QByteArray image(length, Qt::Uninitialized);
    std::uint32_t x = seed;
    for (qsizetype i = 0; i < length; ++i) {
        x = x * 1664525u + 1013904223u;
        image[i] = static_cast<char>(x >> 24);
    }
    return image;
}

std::uint32_t ImageSumChecksum(const QByteArray& image) {
    std::uint32_t sum = 0;
    for (const char byte : image)
        sum += static_cast<unsigned char>(byte);
    return 0u - sum;
}

QString WriteImageFile(const QString& path, const QByteArray& image) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size())
        return {};
    return path;
}

std::unique_ptr<FirmwareImageBuffer> ImageBuffer(const QByteArray& image) {
    auto buffer = std::make_unique<FirmwareImageBuffer>();
    std::memcpy(buffer->data.data(), image.constData(), static_cast<std::size_t>(image.size()));
    buffer->length = static_cast<std::int32_t>(image.size());
    buffer->checksum = ImageSumChecksum(image);
    return buffer;
}
