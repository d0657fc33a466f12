#include "CliRun.h"

#include "CliOptions.h"
#include "EncoderLock.h"
#include "FirmwareImage.h"
#include "FleetRun.h"
#include "RunOutput.h"
#include "RunRecords.h"

#include <QFile>
#include <QJsonArray>
#include <QUuid>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

// One line from the terminal; nothing at its end (EOF) or on an error.
std::optional<QByteArray> readAnswer(int fd) {
    QByteArray line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        if (c == '\n')
            return line;
        line += c;
    }
}

// The operator's terminal: the controlling one, else the one standard input is.
int openTerminal() {
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0)
        return fd;
    const char* name = ::ttyname(STDIN_FILENO);
    return name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
}

QString questionText(const CliOptions& options, const RunPlan& plan, const QString& sha256) {
    QStringList bounds;
    if (!plan.canary.isEmpty())
        bounds << QStringLiteral("canary %1").arg(plan.canary.size());
    if (plan.failureLimit > 0)
        bounds << QStringLiteral("stop after %1 failure%2")
                      .arg(plan.failureLimit)
                      .arg(plan.failureLimit == 1 ? "" : "s");
    if (options.maxParallel > 0)
        bounds << QStringLiteral("%1 at once").arg(options.maxParallel);
    QStringList notContacted;
    if (plan.alreadyUpgraded > 0)
        notContacted << QStringLiteral("%1 already upgraded").arg(plan.alreadyUpgraded);
    if (!plan.busyBy.isEmpty())
        notContacted << QStringLiteral("%1 busy").arg(plan.busyBy.size());
    const qsizetype total = options.encoders.size();
    return QStringLiteral("Upgrade %1 of %2 encoder%3%4 with %5 (SHA-256 %6)%7? [y/N] ")
        .arg(plan.toUpgrade)
        .arg(total)
        .arg(total == 1 ? "" : "s")
        .arg(notContacted.isEmpty() ? QString()
                                    : QStringLiteral(" (%1)").arg(notContacted.join(", ")))
        .arg(Printable(options.imagePath), sha256.left(16))
        .arg(bounds.isEmpty() ? QString() : QStringLiteral(": ") + bounds.join(", "));
}

// An operator at a terminal says yes before anything is sent: only "y" or "yes" goes on. The
// question goes to the terminal itself, so that it is seen with the output piped, and its
// answer comes from there too (standard input may have been a hosts file typed to its end).
bool confirmed(const CliOptions& options, const QString& question, OutputChannel& out) {
    if (options.yes || !::isatty(STDIN_FILENO))
        return true;
    const int terminal = openTerminal();
    if (terminal < 0)
        return true;
    out.drain(std::chrono::seconds(5));
    WriteAll(terminal, question.toLocal8Bit());
    const std::optional<QByteArray> answer = readAnswer(terminal);
    if (!answer)
        WriteAll(terminal, "\n");
    ::close(terminal);
    const QByteArray word = answer.value_or(QByteArray()).trimmed().toLower();
    return word == "y" || word == "yes";
}

// The summary of a run that left encoders not done names the command that tries them again.
class RerunTelling : public FleetSink {
public:
    RerunTelling(FleetSink& next, const CliOptions& options) : next(next), options(options) {}
    void write(const RunEvent& event) override {
        if (event.kind != RunEventKind::Summary || !event.fields.contains("notDone"))
            return next.write(event);
        RunEvent summary = event;
        QStringList notDone;
        for (const QJsonValue host : event.fields.value("notDone").toArray())
            notDone << host.toString();
        summary.fields.insert(
            "rerun",
            RerunCommand(options, notDone, event.fields.value("failedHostsWritten").toBool()));
        next.write(summary);
    }
    void follow(const Rollout& rollout) override { next.follow(rollout); }
    int progressStep() const override { return next.progressStep(); }

private:
    FleetSink& next;
    const CliOptions& options;
};

} // namespace

int RunCommandLine(const QStringList& arguments, OutputChannel& out, OutputChannel& err,
                   const NativeArgument& nativeArgument) {
    const QString runId = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const auto badInput = [&](const QString& message) {
        const bool json = arguments.contains(QStringLiteral("--json"));
        MakeOutput(json ? OutputMode::Json : OutputMode::Plain, out, err, runId)
            ->write({RunEventKind::Error, -1, {{"exitCode", 2}, {"message", message}}});
        return 2;
    };
    const ParsedCommandLine parsed = ParseCommandLine(arguments);
    if (!parsed.options) {
        if (parsed.exitCode != 0)
            return badInput(parsed.message);
        out.write(parsed.message.toLocal8Bit());
        return 0;
    }
    CliOptions options = *parsed.options;
    options.imageNativePath =
        nativeArgument ? nativeArgument(options.imagePath) : QFile::encodeName(options.imagePath);

    options.runId = runId;
    options.reportFields = {{"program", QLatin1String(CliName)},
                            {"options", QJsonArray::fromStringList(arguments.mid(1))}};
    options.lockFolder = EncoderLockFolder(options.historyFile.isEmpty() ? DefaultHistoryPath()
                                                                         : options.historyFile);

    // The image first, then the records, then the hosts: no name is looked up for a run that
    // cannot go ahead.
    const std::unique_ptr<FirmwareImageBuffer> image = NewFirmwareImageBuffer();
    if (const auto error = LoadImage(*image, options))
        return badInput(*error);
    if (const auto error = RecordPathsFault(options))
        return badInput(*error);
    if (const auto error = ReadHostsFiles(options.hostsFiles, options.encoders))
        return badInput(*error);
    if (const auto error = ResolveEncoders(options.encoders))
        return badInput(*error);

    const QJsonObject imageJson = ImageFields(*image, options.imagePath);
    const QString sha256 = imageJson.value("sha256").toString();
    if (!options.expectSha256.isEmpty() && options.expectSha256 != sha256)
        return badInput(QStringLiteral("the image '%1' has SHA-256 %2, not the expected %3")
                            .arg(options.imagePath, sha256, options.expectSha256));
    const RunPlan plan = PlanRun(options, sha256);
    if (options.check) {
        const OutputMode mode =
            options.output == OutputMode::Json ? OutputMode::Json : OutputMode::Plain;
        QJsonObject check = PlanFields(options, plan);
        check.insert("image", imageJson);
        MakeOutput(mode, out, err, runId)->write({RunEventKind::Check, -1, check});
        return 0;
    }
    if (!confirmed(options, questionText(options, plan, sha256), out)) {
        err.write(QStringLiteral("%1: not confirmed: nothing was sent to any encoder\n")
                      .arg(QLatin1String(CliName))
                      .toLocal8Bit());
        return 2;
    }
    const std::unique_ptr<RunOutput> output = MakeOutput(options.output, out, err, runId);
    RerunTelling sink(*output, options);
    return RunFleet(options, *image, imageJson, plan, sink);
}
