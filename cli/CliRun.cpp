#include "CliRun.h"

#include "BatchUpgrade.h"
#include "CliOptions.h"
#include "EncoderLock.h"
#include "FirmwareImage.h"
#include "RunOutput.h"
#include "RunRecords.h"
#include "SignalBridge.h"
#include "TcpClientChannel.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTimer>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

namespace {

// The upgrades ran, but their record (--report, --failed-hosts, the history) is incomplete.
constexpr int RecordIncomplete = 3;

QString unreadableReason(const QByteArray& nativePath) {
    struct stat info {};
    if (::stat(nativePath.constData(), &info) != 0)
        return QString::fromLocal8Bit(std::strerror(errno)).toLower();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a directory");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("not a regular file");
    return QStringLiteral("it cannot be read");
}

// Loads the image by the window's rules; an error text when it cannot be used.
std::optional<QString> loadImage(FirmwareImageBuffer& image, const CliOptions& options) {
    switch (LoadFirmwareImageFile(image, options.imageNativePath)) {
    case ImageLoadResult::Accepted:
        break;
    case ImageLoadResult::TooLong:
        return QStringLiteral("'%1': FILE TOO LONG (more than %2 bytes)")
            .arg(options.imagePath, QString::number(MaxImageSize));
    case ImageLoadResult::NotOpened:
        return QStringLiteral("cannot read the image '%1': %2")
            .arg(options.imagePath, unreadableReason(options.imageNativePath));
    }
    // An empty image makes the encoder erase its whole flash and program nothing.
    if (image.length == 0 && !options.allowEmpty)
        return QStringLiteral("the image '%1' is empty: the encoder would erase its flash and "
                              "program nothing (--allow-empty sends it all the same)")
            .arg(options.imagePath);
    return std::nullopt;
}

// The image as the check, the image event and the report give it; its SHA-256 is what
// identifies it to the operator.
QJsonObject imageFields(const FirmwareImageBuffer& image, const QString& path) {
    const QByteArrayView bytes(image.data.data(), image.length);
    return {{"path", path},
            {"length", image.length},
            {"checksum", ChecksumText(image.checksum)},
            {"sha256", QString::fromLatin1(
                           QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())},
            {"fill", FillPercentage(image.length)},
            {"fillText", FillPercentageText(image.length)}};
}

// Every file the run will write, checked before any encoder is contacted: none is an input or
// another record, each can be made, and so can the encoders' locks.
std::optional<QString> recordPathsFault(const CliOptions& options) {
    QList<NamedFile> records;
    const QList<std::pair<const char*, QString>> given{{"--report", options.reportFile},
                                                       {"--failed-hosts", options.failedHostsFile},
                                                       {"--history", options.historyFile}};
    for (const auto& [option, path] : given) {
        if (!path.isEmpty())
            records.append({std::strcmp(option, "--history") == 0 && path == DefaultHistoryPath()
                                ? QStringLiteral("the history")
                                : QLatin1String(option),
                            path, QFile::encodeName(path)});
    }
    QList<NamedFile> inputs{
        {QStringLiteral("the image"), options.imagePath, options.imageNativePath}};
    for (const QString& hosts : options.hostsFiles)
        inputs.append({QStringLiteral("--hosts-file"), hosts, QFile::encodeName(hosts)});
    if (const auto fault = SameFileFault(records, inputs))
        return fault;
    for (const NamedFile& record : std::as_const(records)) {
        const bool history = record.path == options.historyFile;
        const bool defaultHistory = history && record.path == DefaultHistoryPath();
        const MissingFolders missing = !defaultHistory ? MissingFolders::Refused
                                       : options.check ? MissingFolders::Allowed
                                                       : MissingFolders::Made;
        if (const auto fault = RecordPathFault(record.path, missing, !history))
            return QStringLiteral("%1 '%2': %3").arg(record.name, record.path, *fault);
    }
    return LockFolderFault(options.lockFolder, !options.check);
}

QString recordError(const QString& what, const QString& path, const QString& error) {
    return QStringLiteral("cannot write %1 '%2': %3").arg(what, path, error);
}

// What --report and --failed-hosts ask for, once the run is over, and the history's first
// error: the failed hosts before the report, so that its exit status says whether they were
// written. The errors in words. `image` has its absolute path.
QStringList writeRunFiles(const CliOptions& options, const QJsonObject& image,
                          const QDateTime& started, const BatchUpgrade& batch,
                          const HistoryFile& history, int& exitCode, bool& failedHostsWritten) {
    const QList<EncoderOutcome> outcomes = batch.outcomes();
    QStringList errors;
    if (history.firstError)
        errors << recordError(QStringLiteral("the history"), options.historyFile,
                              *history.firstError);
    if (!options.failedHostsFile.isEmpty()) {
        QByteArray lines;
        for (const EncoderOutcome& outcome : outcomes) {
            if (!outcome.success)
                lines += outcome.host.toLocal8Bit() + '\n';
        }
        const auto error = WriteRecordFile(options.failedHostsFile, lines);
        failedHostsWritten = !error;
        if (error)
            errors << recordError(QStringLiteral("the failed hosts"), options.failedHostsFile,
                                  *error);
    }
    const auto markIncomplete = [&] {
        if (!errors.isEmpty() && exitCode < 128)
            exitCode = RecordIncomplete;
    };
    markIncomplete();
    if (!options.reportFile.isEmpty()) {
        QJsonArray encoders;
        for (const EncoderOutcome& outcome : outcomes)
            encoders.append(OutcomeFields(outcome));
        const QJsonObject report{{"schema", 1},
                                 {"program", QLatin1String(CliName)},
                                 {"version", QStringLiteral(FWUPGRADE_VERSION)},
                                 {"image", image},
                                 {"start", IsoTime(started)},
                                 {"end", IsoTime()},
                                 {"exitCode", exitCode},
                                 {"encoders", encoders},
                                 {"rollout", batch.rollout()}};
        if (const auto error = WriteRecordFile(options.reportFile, JsonText(report, true)))
            errors << recordError(QStringLiteral("the report"), options.reportFile, *error);
    }
    markIncomplete();
    return errors;
}

// One encoder's end as the history keeps it. `image` has its absolute path.
QJsonObject historyLine(const EncoderOutcome& outcome, const QJsonObject& image) {
    return {{"time", IsoTime()},
            {"host", outcome.host},
            {"address", outcome.address},
            {"port", outcome.port},
            {"image", image.value("path")},
            {"sha256", image.value("sha256")},
            {"length", image.value("length")},
            {"result", outcome.result()},
            {"cause", outcome.cause},
            {"contacted", outcome.contacted},
            {"version", QStringLiteral(FWUPGRADE_VERSION)}};
}

// What a run will do with each encoder, decided before any connection: upgrade it, skip it
// as already upgraded (--skip-done), or find it busy (another run holds it now).
struct RunPlan {
    QStringList actions; // per encoder: "upgrade", "already-upgraded" or "busy"
    QHash<int, QString> busyBy;
    QStringList canary; // the first --canary encoders to be contacted
    qsizetype toUpgrade = 0;
    qsizetype alreadyUpgraded = 0;
    qsizetype failureLimit = 0; // 0: none
};

RunPlan planRun(const CliOptions& options, const QString& sha256) {
    const QHash<QString, bool> done =
        options.skipDone ? DoneWithImage(options.historyFile, sha256) : QHash<QString, bool>();
    RunPlan plan;
    for (int i = 0; i < options.encoders.size(); ++i) {
        const EncoderAddress& encoder = options.encoders[i];
        const QString address = QString::fromLatin1(encoder.address);
        const auto holder = EncoderLock::holder(options.lockFolder, address, encoder.port);
        if (done.value(EncoderKey(address, encoder.port))) {
            plan.actions << QStringLiteral("already-upgraded");
            ++plan.alreadyUpgraded;
        } else if (holder) {
            plan.actions << QStringLiteral("busy");
            plan.busyBy.insert(i, *holder);
        } else {
            plan.actions << QStringLiteral("upgrade");
            ++plan.toUpgrade;
            if (plan.canary.size() < options.canary)
                plan.canary << encoder.label;
        }
    }
    plan.failureLimit = FailureLimit(options, options.encoders.size());
    return plan;
}

// The encoders as a run would take them.
RunEvent checkEvent(const CliOptions& options, const RunPlan& plan, const QJsonObject& image) {
    QJsonArray encoders;
    for (int i = 0; i < options.encoders.size(); ++i) {
        const EncoderAddress& encoder = options.encoders[i];
        QJsonObject fields{{"host", encoder.label},
                           {"address", QString::fromLatin1(encoder.address)},
                           {"port", encoder.port},
                           {"plan", plan.actions[i]}};
        if (plan.busyBy.contains(i))
            fields.insert("busy", plan.busyBy[i]);
        encoders.append(fields);
    }
    return {RunEventKind::Check,
            -1,
            {{"image", image},
             {"encoders", encoders},
             {"upgrade", plan.toUpgrade},
             {"canary", QJsonArray::fromStringList(plan.canary)},
             {"failureLimit", plan.failureLimit},
             {"maxParallel", options.maxParallel}}};
}

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

int runUpgrades(const CliOptions& options, const FirmwareImageBuffer& image,
                const QJsonObject& imageJson, RunOutput& output) {
    const QDateTime started = QDateTime::currentDateTime();
    QJsonObject absoluteImage = imageJson;
    absoluteImage.insert("path", QFileInfo(options.imagePath).absoluteFilePath());
    BatchUpgrade batch(options, image, output);
    output.follow(batch);
    HistoryFile history;
    HistoryVerdicts verdicts(options.historyFile, imageJson.value("sha256").toString());
    if (!options.historyFile.isEmpty()) {
        if (options.skipDone)
            batch.skipDone(&verdicts);
        history.open(options.historyFile);
        QObject::connect(&batch, &BatchUpgrade::encoderEnded, [&](const EncoderOutcome& outcome) {
            history.append(historyLine(outcome, absoluteImage));
        });
    }
    QJsonObject imageEvent = imageJson;
    imageEvent.insert("lengthText", LengthText(image.length));
    QJsonArray hosts;
    for (const EncoderAddress& encoder : options.encoders)
        hosts.append(encoder.label);
    imageEvent.insert("hosts", hosts);
    output.write({RunEventKind::Image, -1, imageEvent});

    SignalBridge stopSignals({SIGINT, SIGTERM, SIGHUP});
    QObject::connect(&stopSignals, &SignalBridge::received, &batch, &BatchUpgrade::interrupt);
    QEventLoop loop;
    QObject::connect(&batch, &BatchUpgrade::done, &loop, &QEventLoop::exit);
    QTimer::singleShot(0, &batch, &BatchUpgrade::start);
    int exitCode = loop.exec();
    bool failedHostsWritten = true;
    const QStringList errors = writeRunFiles(options, absoluteImage, started, batch, history,
                                             exitCode, failedHostsWritten);
    for (const QString& error : errors)
        output.write({RunEventKind::Error, -1, {{"exitCode", exitCode}, {"message", error}}});
    batch.tellSummary(exitCode, failedHostsWritten);
    return exitCode;
}

} // namespace

int RunCommandLine(const QStringList& arguments, OutputChannel& out, OutputChannel& err,
                   const NativeArgument& nativeArgument) {
    const auto badInput = [&](const QString& message) {
        const bool json = arguments.contains(QStringLiteral("--json"));
        MakeOutput(json ? OutputMode::Json : OutputMode::Plain, out, err)
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

    options.lockFolder = EncoderLockFolder(options.historyFile.isEmpty() ? DefaultHistoryPath()
                                                                         : options.historyFile);

    // The image first, then the records, then the hosts: no name is looked up for a run that
    // cannot go ahead.
    const std::unique_ptr<FirmwareImageBuffer> image = NewFirmwareImageBuffer();
    if (const auto error = loadImage(*image, options))
        return badInput(*error);
    if (const auto error = recordPathsFault(options))
        return badInput(*error);
    if (const auto error = ReadHostsFiles(options.hostsFiles, options.encoders))
        return badInput(*error);
    if (const auto error = ResolveEncoders(options.encoders))
        return badInput(*error);
    TcpChannelBounds().connect =
        std::chrono::milliseconds(std::llround(options.connectTimeoutSeconds * 1000.0));

    const QJsonObject imageJson = imageFields(*image, options.imagePath);
    const QString sha256 = imageJson.value("sha256").toString();
    if (!options.expectSha256.isEmpty() && options.expectSha256 != sha256)
        return badInput(QStringLiteral("the image '%1' has SHA-256 %2, not the expected %3")
                            .arg(options.imagePath, sha256, options.expectSha256));
    const RunPlan plan = planRun(options, sha256);
    if (options.check) {
        const OutputMode mode =
            options.output == OutputMode::Json ? OutputMode::Json : OutputMode::Plain;
        MakeOutput(mode, out, err)->write(checkEvent(options, plan, imageJson));
        return 0;
    }
    if (!confirmed(options, questionText(options, plan, sha256), out)) {
        err.write(QStringLiteral("%1: not confirmed: nothing was sent to any encoder\n")
                      .arg(QLatin1String(CliName))
                      .toLocal8Bit());
        return 2;
    }
    const std::unique_ptr<RunOutput> output = MakeOutput(options.output, out, err);
    return runUpgrades(options, *image, imageJson, *output);
}
