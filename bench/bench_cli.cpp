// fwupgrade-cli: many encoders upgraded at once against a single upgrade of the same image,
// both against encoder-sim instances at their fastest pacing, in one run.
//
//   bench_cli [--encoders N] [--rounds R] [--image-size BYTES]

#include "FirmwareImage.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct Settings {
    int encoders = 32;
    int rounds = 3;
    qint64 imageSize = MaxImageSize;
};

Settings parseSettings(const QStringList& arguments) {
    Settings settings;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments[i];
        const qint64 value = arguments[i + 1].toLongLong();
        if (name == QLatin1String("--encoders"))
            settings.encoders = int(std::clamp<qint64>(value, 1, 256));
        else if (name == QLatin1String("--rounds"))
            settings.rounds = int(std::clamp<qint64>(value, 1, 100));
        else if (name == QLatin1String("--image-size"))
            settings.imageSize = std::clamp<qint64>(value, 0, MaxImageSize);
    }
    return settings;
}

// An encoder-sim serving one upgrade after another on a free loopback port.
std::unique_ptr<QProcess> startSim(int& port) {
    auto sim = std::make_unique<QProcess>();
    sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim->start(QStringLiteral(ENCODER_SIM),
               {"--address", "127.0.0.1", "--port", "0", "--gap-ms", "0"});
    if (!sim->waitForStarted(5000) || !sim->waitForReadyRead(5000))
        return nullptr;
    const QByteArray line = sim->readLine().trimmed();
    port = line.mid(line.lastIndexOf(':') + 1).toInt();
    return port > 0 ? std::move(sim) : nullptr;
}

// Wall time of one fwupgrade-cli run in ms, or -1 when it did not end with status 0.
double timeUpgrade(const QString& image, const QStringList& hosts) {
    QProcess cli;
    cli.setStandardOutputFile(QProcess::nullDevice());
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(FWUPGRADE_CLI), QStringList{"--plain", image} + hosts);
    if (!cli.waitForFinished(120'000) || cli.exitStatus() != QProcess::NormalExit ||
        cli.exitCode() != 0)
        return -1;
    return double(clock.nsecsElapsed()) / 1e6;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Settings settings = parseSettings(QCoreApplication::arguments());

    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.bin"));
    {
        QByteArray bytes(settings.imageSize, Qt::Uninitialized);
        quint32 x = 12345;
        for (char& byte : bytes) {
            x = x * 1664525u + 1013904223u;
            byte = char(x >> 24);
        }
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write the image\n");
            return 1;
        }
    }

    std::vector<std::unique_ptr<QProcess>> sims;
    QStringList hosts;
    for (int i = 0; i < settings.encoders; ++i) {
        int port = 0;
        auto sim = startSim(port);
        if (!sim) {
            std::fprintf(stderr, "encoder-sim %d did not start\n", i);
            return 1;
        }
        sims.push_back(std::move(sim));
        hosts << QStringLiteral("127.0.0.1:%1").arg(port);
    }

    std::printf("fwupgrade-cli: %lld-byte image, encoder-sim --gap-ms 0, %d round(s)\n",
                static_cast<long long>(settings.imageSize), settings.rounds);
    std::vector<double> singles;
    std::vector<double> batches;
    for (int round = 1; round <= settings.rounds; ++round) {
        const double single = timeUpgrade(image, {hosts.first()});
        const double batch = timeUpgrade(image, hosts);
        if (single < 0 || batch < 0) {
            std::fprintf(stderr, "round %d: an upgrade failed\n", round);
            return 1;
        }
        std::printf("  round %d: 1 encoder %8.1f ms   %d encoders %8.1f ms   ratio %.2f\n", round,
                    single, settings.encoders, batch, batch / single);
        singles.push_back(single);
        batches.push_back(batch);
    }
    const double single = median(singles);
    const double batch = median(batches);
    std::printf("median: 1 encoder %.1f ms, %d encoders at once %.1f ms, ratio %.2f "
                "(aim: 1.30 or less)\n",
                single, settings.encoders, batch, batch / single);
    std::printf("beyond the 1,000 ms pause: 1 encoder %.1f ms, %d encoders %.1f ms\n",
                single - 1000, settings.encoders, batch - 1000);

    for (auto& sim : sims) {
        sim->kill();
        sim->waitForFinished(5000);
    }
    return 0;
}
