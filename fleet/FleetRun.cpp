#include "FleetRun.h"

#include "EncoderLock.h"
#include "FirmwareImage.h"
#include "Rollout.h"
#include "RunRecords.h"
#include "SignalBridge.h"
#include "TcpClientChannel.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QTimer>

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>

namespace {

QString unreadableReason(const QByteArray& nativePath) {
    struct stat info {};
    if (::stat(nativePath.constData(), &info) != 0)
        return SystemErrorText().toLower();
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("it is a directory");
    if (!S_ISREG(info.st_mode))
        return QStringLiteral("not a regular file");
    return QStringLiteral("it cannot be read");
}

} // namespace

std::optional<QString> LoadImage(FirmwareImageBuffer& image, const FleetSettings& options) {
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

QJsonObject ImageFields(const FirmwareImageBuffer& image, const QString& path) {
    const QByteArrayView bytes(image.data.data(), image.length);
    return {{"path", path},
            {"length", image.length},
            {"checksum", ChecksumText(image.checksum)},
            {"sha256", Sha256Text(bytes)},
            {"fill", FillPercentage(image.length)},
            {"fillText", FillPercentageText(image.length)}};
}

std::optional<QString> RecordPathsFault(const FleetSettings& options) {
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

namespace {

QString recordError(const QString& what, const QString& path, const QString& error) {
    return QStringLiteral("cannot write %1 '%2': %3").arg(what, path, error);
}

// What --report and --failed-hosts ask for, once the run is over, and the history's first
// error: the failed hosts before the report, so that its exit status says whether they were
// written. The errors in words. `image` has its absolute path.
QStringList writeRunFiles(const FleetSettings& options, const QJsonObject& image,
                          const QJsonObject& plan, const QDateTime& started, const Rollout& batch,
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
        QJsonObject report{{"schema", 1},          {"version", QStringLiteral(FWUPGRADE_VERSION)},
                           {"image", image},       {"start", IsoTime(started)},
                           {"end", IsoTime()},     {"exitCode", exitCode},
                           {"encoders", encoders}, {"rollout", batch.rollout()},
                           {"plan", plan},         {"interrupted", batch.interrupted()},
                           {"run", options.runId}};
        for (auto field = options.reportFields.begin(); field != options.reportFields.end();
             ++field)
            report.insert(field.key(), field.value());
        if (const auto error = WriteRecordFile(options.reportFile, JsonText(report, true)))
            errors << recordError(QStringLiteral("the report"), options.reportFile, *error);
    }
    markIncomplete();
    return errors;
}

// One encoder's end as the history keeps it. `image` has its absolute path.
QJsonObject historyLine(const EncoderOutcome& outcome, const QJsonObject& image,
                        const QString& runId) {
    return {{"time", IsoTime()},
            {"run", runId},
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

} // namespace

RunPlan PlanRun(const FleetSettings& options, const QString& sha256) {
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
            if (plan.canary.size() < options.canary) {
                plan.canary << encoder.label;
                plan.canaryIndices << i;
            }
        }
    }
    plan.failureLimit = FailureLimit(options, options.encoders.size());
    return plan;
}

QJsonObject PlanFields(const FleetSettings& options, const RunPlan& plan) {
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
    return {{"encoders", encoders},
            {"upgrade", plan.toUpgrade},
            {"canary", QJsonArray::fromStringList(plan.canary)},
            {"failureLimit", plan.failureLimit},
            {"maxParallel", options.maxParallel}};
}

int RunFleet(const FleetSettings& options, const FirmwareImageBuffer& image,
             const QJsonObject& imageJson, const RunPlan& plan, FleetSink& output) {
    TcpChannelBounds().connect =
        std::chrono::milliseconds(std::llround(options.connectTimeoutSeconds * 1000.0));
    const QDateTime started = QDateTime::currentDateTime();
    QJsonObject absoluteImage = imageJson;
    absoluteImage.insert("path", QFileInfo(options.imagePath).absoluteFilePath());
    Rollout batch(options, image, output);
    batch.setCanaries(plan.canaryIndices);
    output.follow(batch);
    HistoryFile history;
    HistoryVerdicts verdicts(options.historyFile, imageJson.value("sha256").toString());
    if (!options.historyFile.isEmpty()) {
        if (options.skipDone)
            batch.skipDone(&verdicts);
        history.open(options.historyFile);
        QObject::connect(&batch, &Rollout::encoderEnded, [&](const EncoderOutcome& outcome) {
            history.append(historyLine(outcome, absoluteImage, options.runId));
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
    QObject::connect(&stopSignals, &SignalBridge::received, &batch, &Rollout::interrupt);
    QEventLoop loop;
    QObject::connect(&batch, &Rollout::done, &loop, &QEventLoop::exit);
    QTimer::singleShot(0, &batch, &Rollout::start);
    int exitCode = loop.exec();
    bool failedHostsWritten = true;
    const QStringList errors = writeRunFiles(options, absoluteImage, PlanFields(options, plan),
                                             started, batch, history, exitCode, failedHostsWritten);
    for (const QString& error : errors)
        output.write({RunEventKind::Error, -1, {{"exitCode", exitCode}, {"message", error}}});
    batch.tellSummary(exitCode, failedHostsWritten);
    return exitCode;
}
