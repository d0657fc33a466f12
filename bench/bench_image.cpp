// Times the program's image load (read + checksum) against a plain read of the same file,
// and the checksum alone. Prints figures measured in this one run.
#include "FirmwareImage.h"

#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <random>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The best of several runs: the figure least disturbed by the rest of the machine.
double bestSeconds(int runs, const std::function<void()>& work) {
    double best = 1e9;
    for (int i = 0; i < runs; ++i) {
        const auto start = Clock::now();
        work();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

void plainRead(const QByteArray& path, std::uint8_t* into) {
    const int fd = ::open(path.constData(), O_RDONLY);
    std::size_t total = 0;
    for (ssize_t got; (got = ::read(fd, into + total, ImageBufferSize - total)) > 0;)
        total += std::size_t(got);
    ::close(fd);
}

} // namespace

int main() {
    QTemporaryDir dir;
    const QString path = dir.filePath("image.bin");
    std::vector<char> bytes(MaxImageSize);
    std::mt19937 random(1);
    std::generate(bytes.begin(), bytes.end(), [&] { return char(random()); });
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(bytes.data(), qint64(bytes.size())) != MaxImageSize)
        return 1;
    file.close();

    auto image = std::make_unique<FirmwareImageBuffer>();
    auto plain = std::make_unique<FirmwareImageBuffer>();
    const QByteArray name = QFile::encodeName(path);
    const int runs = 50;

    const double load = bestSeconds(runs, [&] { LoadFirmwareImage(*image, path); });
    const double read = bestSeconds(runs, [&] { plainRead(name, plain->data.data()); });
    volatile std::uint32_t sink = 0;
    const double sum =
        bestSeconds(runs, [&] { sink = ImageChecksum(image->data.data(), MaxImageSize); });

    std::printf("image: %d bytes (file in the page cache), best of %d runs\n", MaxImageSize, runs);
    std::printf("load (read + checksum): %8.3f ms\n", load * 1e3);
    std::printf("plain read:             %8.3f ms\n", read * 1e3);
    std::printf("load / plain read:      %8.2f x  (aim: 1.5 x or less)\n", load / read);
    std::printf("checksum alone:         %8.3f ms = %.2f GB/s  (aim: 4 GB/s or more)\n", sum * 1e3,
                MaxImageSize / sum / 1e9);
    return image->length == MaxImageSize ? 0 : 1;
}
