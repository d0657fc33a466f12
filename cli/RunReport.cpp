#include "RunReport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

constexpr int StallTickMs = 25;

QString isoTime(const QDateTime& time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

// Written whole or not at all: a script never reads half a report.
std::optional<QString> writeFile(const QString& name, const QByteArray& bytes) {
    QSaveFile file(name);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QStringLiteral("cannot write '%1': %2").arg(name, file.errorString());
    return std::nullopt;
}

QJsonObject imageJson(const ImageSummary& image) {
    return {{"path", image.path},
            {"length", image.length},
            {"checksum", image.checksumText},
            {"fill", image.fillPercent},
            {"fillText", image.fillText}};
}

} // namespace

RunReport::RunReport(const ImageSummary& image)
    : image(image), started(QDateTime::currentDateTime()) {
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [this] {
        longestStall = std::max(longestStall, sinceTick.restart() - StallTickMs);
    });
    sinceTick.start();
    tick.start(StallTickMs);
}

std::optional<QString> RunReport::write(const CliOptions& options,
                                        const QList<EncoderOutcome>& outcomes,
                                        int exitCode) const {
    if (!options.reportFile.isEmpty()) {
        const QByteArray json =
            JsonPrintable(QJsonDocument(document(outcomes, exitCode)).toJson(QJsonDocument::Indented));
        if (auto error = writeFile(options.reportFile, json))
            return error;
    }
    if (!options.failedHostsFile.isEmpty()) {
        QByteArray lines;
        for (const EncoderOutcome& outcome : outcomes) {
            if (!outcome.success)
                lines += outcome.host.toLocal8Bit() + '\n';
        }
        if (auto error = writeFile(options.failedHostsFile, lines))
            return error;
    }
    return std::nullopt;
}

QJsonObject RunReport::document(const QList<EncoderOutcome>& outcomes, int exitCode) const {
    QJsonArray encoders;
    for (const EncoderOutcome& outcome : outcomes) {
        encoders.append(QJsonObject{
            {"host", outcome.host},
            {"address", outcome.address},
            {"port", outcome.port},
            {"result", outcome.success ? QStringLiteral("success") : QStringLiteral("failure")},
            {"cause", outcome.cause},
            {"reason", outcome.reason},
            {"stage", outcome.stage},
            {"attempts", outcome.attempts},
            {"durationMs", outcome.durationMs}});
    }
    return {{"schema", 1},
            {"program", QStringLiteral("fwupgrade-cli")},
            {"image", imageJson(image)},
            {"start", isoTime(started)},
            {"end", isoTime(QDateTime::currentDateTime())},
            {"exitCode", exitCode},
            {"encoders", encoders},
            {"longestEventLoopStallMs", longestStall}};
}

void PrintCheck(const ImageSummary& image, const CliOptions& options) {
    OutputChannel& out = OutputChannel::standardOutput();
    if (options.output == OutputMode::Json) {
        QJsonArray encoders;
        for (const EncoderAddress& encoder : options.encoders)
            encoders.append(QJsonObject{{"host", encoder.label},
                                        {"address", QString::fromLatin1(encoder.address)},
                                        {"port", encoder.port}});
        const QJsonObject check{{"schema", 1},
                                {"event", "check"},
                                {"time", isoTime(QDateTime::currentDateTime())},
                                {"ms", 0},
                                {"image", imageJson(image)},
                                {"encoders", encoders}};
        out.write(JsonPrintable(QJsonDocument(check).toJson(QJsonDocument::Compact)) + '\n');
        return;
    }
    QStringList lines{QStringLiteral("Selected file : %1").arg(image.path),
                      QStringLiteral("File size (byte) ............ %1 %2")
                          .arg(image.lengthText, image.fillText),
                      QStringLiteral("File checksum.............. %1").arg(image.checksumText),
                      QStringLiteral("would upgrade %1 encoder%2%3:")
                          .arg(options.encoders.size())
                          .arg(options.encoders.size() == 1 ? "" : "s")
                          .arg(options.maxParallel > 0
                                   ? QStringLiteral(", at most %1 at once").arg(options.maxParallel)
                                   : QString())};
    for (const EncoderAddress& encoder : options.encoders)
        lines << QStringLiteral("  %1 at %2:%3")
                     .arg(encoder.label, QString::fromLatin1(encoder.address))
                     .arg(encoder.port);
    lines << QStringLiteral("check only: no connection was opened");
    for (const QString& line : lines)
        out.write(line.toLocal8Bit() + '\n');
}
