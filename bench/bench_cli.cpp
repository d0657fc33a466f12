// fwupgrade-cli's whole run, in this process as its main() runs it, against fleets of encoders:
// 1, 32, 256 and 1,000 at once (or the counts given), all served by one encoder-sim --listeners
// process at its fastest pacing. For each count: the wall time, the ratio to one encoder, the
// peak resident memory against its aim (64 MB + 64 KB per encoder), the longest event-loop
// stall of the run (a 25 ms timer's largest lateness), the processor time of both programs, and
// the smallest and largest pause between header and image that the simulator saw (from its own
// reports, by the system's receive stamps).
//
//   bench_cli [--encoders 1,32,256,1000] [--rounds R] [--image-size BYTES]
#include "CliRun.h"
#include "FirmwareImage.h"
#include "OutputChannel.h"
#include "loop_probe.h"
#include "sim_process.h"
#include "test_image.h"
#include "test_process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int StallTickMs = 25;

struct Settings {
    QList<int> encoders{1, 32, 256, 1000};
    int rounds = 3;
    qint64 imageSize = MaxImageSize;
};

Settings parseSettings(const QStringList& arguments) {
    Settings settings;
    for (qsizetype i = 1; i + 1 < arguments.size(); i += 2) {
        const QString& name = arguments[i];
        const QString& value = arguments[i + 1];
        if (name == QLatin1String("--encoders")) {
            settings.encoders.clear();
            for (const QString& count : value.split(QLatin1Char(',')))
                settings.encoders << std::clamp(count.toInt(), 1, 4000);
        } else if (name == QLatin1String("--rounds")) {
            settings.rounds = std::clamp(value.toInt(), 1, 100);
        } else if (name == QLatin1String("--image-size")) {
            settings.imageSize = std::clamp<qint64>(value.toLongLong(), 0, MaxImageSize);
        }
    }
    return settings;
}

// Every encoder holds a socket, as in the program.
void raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

struct Run {
    bool ok = false;
    double wallMs = 0;
    double peakMb = 0;
    double cliCpuMs = 0; // user + system
    double simCpuMs = 0;
    qint64 stallMs = 0;
    int failed = 0;
};

double cpuMs(const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

// One run, timed, with the event loop's longest stall, this process's processor time and peak
// resident memory (the peak of all runs so far: the fleets grow) and the simulator's processor
// time over the same run.
Run runCli(const QString& image, const QStringList& hosts, const QString& report, qint64 simPid) {
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    OutputChannel out(devNull);
    OutputChannel err(devNull);
    Run run;
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    const double simCpuBefore = ProcessCpuMs(simPid);
    QElapsedTimer clock;
    clock.start();
    int exitCode = -1;
    {
        LoopProbe probe(StallTickMs);
        exitCode = RunCommandLine(
            QStringList{"fwupgrade-cli", "--plain", "--report", report, image} + hosts, out, err);
        run.stallMs = std::max<qint64>(0, probe.longestGapMs() - StallTickMs);
    }
    run.wallMs = double(clock.nsecsElapsed()) / 1e6;
    out.drain(std::chrono::seconds(5));
    err.drain(std::chrono::seconds(5));
    ::close(devNull);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    run.peakMb = double(after.ru_maxrss) / 1024.0;
    run.cliCpuMs = cpuMs(after) - cpuMs(before);
    run.simCpuMs = ProcessCpuMs(simPid) - simCpuBefore;
    QFile file(report);
    if (file.open(QIODevice::ReadOnly)) {
        const QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
        for (const auto encoder : document["encoders"].toArray())
            run.failed += encoder.toObject()["result"] == QLatin1String("success") ? 0 : 1;
    }
    run.ok = exitCode == 0;
    return run;
}

// The pauses between header and image in the simulator's reports written since the last
// call, and how many of those upgrades it did not count complete.
struct Pauses {
    std::vector<double> ms;
    int incomplete = 0;
};

class PauseReader {
public:
    explicit PauseReader(const QString& path) : file(path) {}
    Pauses readNew() {
        Pauses pauses;
        if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
            return pauses;
        while (!file.atEnd()) {
            const qint64 at = file.pos();
            const QByteArray line = file.readLine();
            if (!line.endsWith('\n')) { // still being written
                file.seek(at);
                break;
            }
            const QJsonObject report = QJsonDocument::fromJson(line).object();
            if (report["headerToImageMs"].isDouble())
                pauses.ms.push_back(report["headerToImageMs"].toDouble());
            pauses.incomplete += report["complete"].toBool() ? 0 : 1;
        }
        return pauses;
    }

private:
    QFile file;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    raiseDescriptorLimit();
    QCoreApplication app(argc, argv);
    const Settings settings = parseSettings(QCoreApplication::arguments());
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("bench.bin"));
    {
        const QByteArray bytes = RandomImage(settings.imageSize, 12345);
        QFile file(image);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write the image\n");
            return 1;
        }
    }
    const int most = *std::max_element(settings.encoders.begin(), settings.encoders.end());
    SimProcess fleet(QStringLiteral(ENCODER_SIM));
    const QString reports = dir.filePath(QStringLiteral("sim-reports.jsonl"));
    if (!fleet.start(
            {"--gap-ms", "0", "--listeners", QString::number(most), "--report", reports})) {
        std::fprintf(stderr, "encoder-sim did not listen on %d ports\n", most);
        return 1;
    }
    QStringList hosts;
    for (qsizetype i = 0; i < fleet.ports().size(); ++i)
        hosts << fleet.host(i);
    std::printf("fwupgrade-cli: %lld-byte image, one encoder-sim --listeners %d --gap-ms 0, "
                "median of %d round(s)\n",
                static_cast<long long>(settings.imageSize), most, settings.rounds);
    PauseReader pauseReader(reports);
    double single = 0;
    bool allOk = true;
    for (const int count : settings.encoders) {
        std::vector<double> walls, cliCpu, simCpu;
        double peak = 0;
        qint64 stall = 0;
        int failed = 0;
        std::vector<double> pauses;
        int incomplete = 0;
        for (int round = 0; round < settings.rounds; ++round) {
            const Run run =
                runCli(image, hosts.mid(0, count), dir.filePath("report.json"), fleet.processId());
            allOk = allOk && run.ok;
            walls.push_back(run.wallMs);
            cliCpu.push_back(run.cliCpuMs);
            simCpu.push_back(run.simCpuMs);
            peak = std::max(peak, run.peakMb);
            stall = std::max(stall, run.stallMs);
            failed += std::max(run.failed, run.ok ? 0 : 1);
            QThread::msleep(200); // the simulator's last reports
            const Pauses seen = pauseReader.readNew();
            pauses.insert(pauses.end(), seen.ms.begin(), seen.ms.end());
            incomplete += seen.incomplete;
        }
        const double wall = median(walls);
        if (single == 0)
            single = wall;
        const double memoryAim = 64.0 + 64.0 * count / 1024.0;
        std::printf("  %4d encoders: %7.1f ms, ratio %.2f to the first, peak memory %.1f MB "
                    "(aim under %.1f MB), longest event-loop stall %lld ms, failures %d\n",
                    count, wall, wall / single, peak, memoryAim, static_cast<long long>(stall),
                    failed);
        const double cliMs = median(cliCpu);
        const double simMs = median(simCpu);
        std::printf("                 processor time: fwupgrade-cli %.0f ms, encoder-sim %.0f ms, "
                    "ratio %.2f (%d cores)\n",
                    cliMs, simMs, simMs > 0 ? cliMs / simMs : 0.0, QThread::idealThreadCount());
        if (!pauses.empty()) {
            const auto [least, most] = std::minmax_element(pauses.begin(), pauses.end());
            const auto under =
                std::count_if(pauses.begin(), pauses.end(), [](double ms) { return ms < 1000.0; });
            std::printf("                 pause the simulator saw over %zu upgrades: %.1f to "
                        "%.1f ms, median %.1f ms, %lld under 1,000 ms; %d not complete by the "
                        "simulator\n",
                        pauses.size(), *least, *most, median(pauses), static_cast<long long>(under),
                        incomplete);
        }
    }
    std::printf("aims: one encoder's whole run at most 1,020 ms; 256 at once within 1.35x of one, "
                "1,000 within 2.5x; at 1,000 no failure, fwupgrade-cli's processor time at most "
                "encoder-sim's (ratio 1.0) and no stall of 15 ms or more; every pause 1,000 to "
                "1,010 ms on a quiet machine\n");
    return allOk ? 0 : 1;
}
