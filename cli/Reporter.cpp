#include "Reporter.h"

#include "CliOptions.h"
#include "TerminalReporter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

namespace {

constexpr int JsonSchema = 1;

QString isoTime(const QDateTime& time = QDateTime::currentDateTime()) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QByteArray lineBytes(const QString& line) {
    return line.toLocal8Bit() + '\n';
}

QJsonArray warningsJson(const QList<FlashWarning>& warnings) {
    QJsonArray list;
    for (const FlashWarning& warning : warnings)
        list.append(QJsonObject{{"host", warning.host}, {"stage", warning.stage}});
    return list;
}

} // namespace

QString ProgressStageName(ProgressStage stage) {
    switch (stage) {
    case ProgressStage::Transfer:
        return QStringLiteral("transfer");
    case ProgressStage::Sending:
        return QStringLiteral("sending");
    case ProgressStage::Erasing:
        return QStringLiteral("erasing");
    case ProgressStage::Programming:
        return QStringLiteral("programming");
    }
    return {};
}

QString Printable(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u < 0xA0))
            shown += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

// C1 characters are 0xC2 0x80-0x9F in UTF-8, and 0xC2 only ever leads a character there.
QByteArray JsonPrintable(QByteArray json) {
    QByteArray shown;
    shown.reserve(json.size());
    for (qsizetype i = 0; i < json.size(); ++i) {
        const auto byte = static_cast<unsigned char>(json[i]);
        if (byte == 0x7F) {
            shown += "\\u007f";
        } else if (byte == 0xC2 && i + 1 < json.size() &&
                   static_cast<unsigned char>(json[i + 1]) < 0xA0 &&
                   static_cast<unsigned char>(json[i + 1]) >= 0x80) {
            shown += "\\u00" + QByteArray::number(static_cast<unsigned char>(json[i + 1]), 16);
            ++i;
        } else {
            shown += json[i];
        }
    }
    return shown;
}

QString SummaryHeadline(const QList<EncoderOutcome>& outcomes) {
    qsizetype upgraded = 0;
    for (const EncoderOutcome& outcome : outcomes)
        upgraded += outcome.success ? 1 : 0;
    return QStringLiteral("%1 of %2 encoder%3 upgraded, %4 failed")
        .arg(upgraded)
        .arg(outcomes.size())
        .arg(outcomes.size() == 1 ? QString() : QStringLiteral("s"))
        .arg(outcomes.size() - upgraded);
}

QString WarningLine(const FlashWarning& warning) {
    return QStringLiteral("!!! DO NOT SWITCH POWER OFF !!! %1 was %2 when the run was interrupted")
        .arg(warning.host, warning.stage);
}

QByteArray JsonErrorLine(const QString& message) {
    const QJsonObject error{{"schema", JsonSchema},    {"event", "error"},
                            {"time", isoTime()},       {"ms", 0},
                            {"exitCode", 2},           {"message", message}};
    return JsonPrintable(QJsonDocument(error).toJson(QJsonDocument::Compact)) + '\n';
}

// ---- plain lines

void PlainReporter::begin(const ImageSummary& image, const QStringList& hostList) {
    hosts = hostList;
    printLine(QStringLiteral("Selected file : %1").arg(image.path));
    printLine(QStringLiteral("File size (byte) ............ %1 %2")
                  .arg(image.lengthText, image.fillText));
    printLine(QStringLiteral("File checksum.............. %1").arg(image.checksumText));
}

void PlainReporter::connecting(int host, const QByteArray& address, std::uint16_t port,
                               int attempt) {
    const QString attemptText =
        attempt > 1 ? QStringLiteral(" (attempt %1)").arg(attempt) : QString();
    hostLine(host, QStringLiteral("connecting to %1:%2%3")
                       .arg(QLatin1String(address))
                       .arg(port)
                       .arg(attemptText));
}

void PlainReporter::connected(int host, const ConnectedDetails& details) {
    hostLine(host, QStringLiteral("connected from %1").arg(details.localAddress));
}

void PlainReporter::log(int host, LogKind kind, const QString& text) {
    if (kind == LogKind::Device)
        hostLine(host, QStringLiteral("encoder: ") + Printable(text));
    else
        hostLine(host, Printable(text));
}

void PlainReporter::stage(int host, ProgressStage, const QString& text) {
    hostLine(host, text);
}

// Plain lines are for logs: a line at each quarter is enough.
void PlainReporter::progress(int host, ProgressStage stage, std::int64_t, int percent) {
    int& printed = quarterPrinted[{host, static_cast<int>(stage)}];
    const int quarter = percent / 25;
    if (quarter <= printed || percent >= 100) {
        printed = std::min(printed, quarter);
        return;
    }
    printed = quarter;
    hostLine(host, QStringLiteral("%1 %2%").arg(ProgressStageName(stage)).arg(percent),
             OutputChannel::Kind::Droppable);
}

void PlainReporter::retrying(int host, int attempt, int attempts, const QString& reason,
                             double delaySeconds) {
    hostLine(host, QStringLiteral("attempt %1 of %2 failed: %3; next attempt in %4 s")
                       .arg(attempt)
                       .arg(attempts)
                       .arg(Printable(reason))
                       .arg(delaySeconds));
}

void PlainReporter::ended(int host, const EncoderOutcome& outcome) {
    hostLine(host, outcome.success ? QStringLiteral("upgrade succeeded")
                                   : QStringLiteral("upgrade FAILED: ") + Printable(outcome.reason));
}

void PlainReporter::interrupted(const QString& signalName, bool immediately,
                                const QList<FlashWarning>& flashing) {
    if (immediately) {
        printLine(QStringLiteral("interrupted again by %1: closing every connection")
                      .arg(signalName));
        return;
    }
    printLine(QStringLiteral("interrupted by %1: no new connection; stopping every encoder that "
                             "has not begun to erase its flash (again to stop all)")
                  .arg(signalName));
    for (const FlashWarning& warning : flashing)
        printLine(QStringLiteral("!!! DO NOT SWITCH POWER OFF !!! %1 is %2 and is left to finish")
                      .arg(warning.host, warning.stage));
}

void PlainReporter::finish(const QList<EncoderOutcome>& outcomes,
                           const QList<FlashWarning>& warnings, int,
                           const QString& rerunCommand) {
    QStringList summary{SummaryHeadline(outcomes)};
    for (const EncoderOutcome& outcome : outcomes) {
        if (!outcome.success)
            summary << QStringLiteral("FAILED %1: %2").arg(outcome.host, Printable(outcome.reason));
    }
    for (const FlashWarning& warning : warnings)
        summary << WarningLine(warning);
    if (!rerunCommand.isEmpty())
        summary << QStringLiteral("to try the failed encoders again: ") + rerunCommand;
    for (const QString& line : summary)
        printLine(line);
    // What failed must reach the operator even when the output goes to a file.
    if (!out.isTerminal() && (summary.size() > 1 || !warnings.isEmpty())) {
        for (const QString& line : summary)
            OutputChannel::standardError().write(lineBytes(line));
    }
}

void PlainReporter::printLine(const QString& line, OutputChannel::Kind kind) {
    out.write(lineBytes(line), kind);
}

void PlainReporter::hostLine(int host, const QString& text, OutputChannel::Kind kind) {
    printLine(hosts.value(host) + QStringLiteral(": ") + text, kind);
}

// ---- JSON

void JsonReporter::begin(const ImageSummary& image, const QStringList& hostList) {
    hosts = hostList;
    emitEvent("image", {{"path", image.path},
                        {"length", image.length},
                        {"lengthText", image.lengthText},
                        {"fill", image.fillPercent},
                        {"fillText", image.fillText},
                        {"checksum", image.checksumText},
                        {"hosts", QJsonArray::fromStringList(hosts)}});
}

void JsonReporter::connecting(int host, const QByteArray& address, std::uint16_t port,
                              int attempt) {
    QJsonObject fields = forHost(host);
    fields.insert("address", QString::fromLatin1(address));
    fields.insert("port", port);
    fields.insert("attempt", attempt);
    emitEvent("connect", fields);
}

void JsonReporter::connected(int host, const ConnectedDetails& details) {
    QJsonObject fields = forHost(host);
    fields.insert("remoteHost", details.remoteHost);
    fields.insert("remotePort", details.remotePort);
    fields.insert("localHostName", details.localHostName);
    fields.insert("localAddress", details.localAddress);
    emitEvent("connected", fields);
}

void JsonReporter::log(int host, LogKind kind, const QString& text) {
    QJsonObject fields = forHost(host);
    fields.insert("log", kind == LogKind::Upgrade  ? QStringLiteral("upgrade")
                         : kind == LogKind::Device ? QStringLiteral("device")
                                                   : QStringLiteral("notice"));
    fields.insert("text", text);
    emitEvent("log", fields);
}

void JsonReporter::stage(int host, ProgressStage stage, const QString& text) {
    QJsonObject fields = forHost(host);
    fields.insert("stage", ProgressStageName(stage));
    fields.insert("text", text);
    emitEvent("stage", fields);
}

void JsonReporter::progress(int host, ProgressStage stage, std::int64_t position, int percent) {
    QJsonObject fields = forHost(host);
    fields.insert("stage", ProgressStageName(stage));
    fields.insert("position", static_cast<qint64>(position));
    fields.insert("percent", percent);
    emitEvent("progress", fields, OutputChannel::Kind::Droppable);
}

void JsonReporter::retrying(int host, int attempt, int attempts, const QString& reason,
                            double delaySeconds) {
    QJsonObject fields = forHost(host);
    fields.insert("attempt", attempt);
    fields.insert("attempts", attempts);
    fields.insert("reason", reason);
    fields.insert("delay", delaySeconds);
    emitEvent("retry", fields);
}

void JsonReporter::ended(int host, const EncoderOutcome& outcome) {
    QJsonObject fields = forHost(host);
    fields.insert("result", outcome.success ? QStringLiteral("success") : QStringLiteral("failure"));
    fields.insert("cause", outcome.cause);
    fields.insert("reason", outcome.reason);
    fields.insert("stage", outcome.stage);
    fields.insert("attempts", outcome.attempts);
    fields.insert("durationMs", outcome.durationMs);
    emitEvent("end", fields);
}

void JsonReporter::interrupted(const QString& signalName, bool immediately,
                               const QList<FlashWarning>& flashing) {
    emitEvent("interrupted", {{"signal", signalName},
                              {"immediately", immediately},
                              {"leftToFinish", warningsJson(flashing)}});
}

void JsonReporter::finish(const QList<EncoderOutcome>& outcomes,
                          const QList<FlashWarning>& warnings, int exitCode,
                          const QString& rerunCommand) {
    for (const FlashWarning& warning : warnings) {
        emitEvent("warning",
                  {{"host", warning.host}, {"stage", warning.stage}, {"text", WarningLine(warning)}});
        OutputChannel::standardError().write(lineBytes(WarningLine(warning)));
    }
    QJsonArray succeeded;
    QJsonArray failed;
    for (const EncoderOutcome& outcome : outcomes) {
        if (outcome.success)
            succeeded.append(outcome.host);
        else
            failed.append(QJsonObject{
                {"host", outcome.host}, {"cause", outcome.cause}, {"reason", outcome.reason}});
    }
    QJsonObject summary{{"exitCode", exitCode}, {"succeeded", succeeded}, {"failed", failed}};
    if (!rerunCommand.isEmpty())
        summary.insert("rerun", rerunCommand);
    emitEvent("summary", summary);
}

QJsonObject JsonReporter::forHost(int host) const {
    return {{"host", hosts.value(host)}};
}

void JsonReporter::emitEvent(const char* event, QJsonObject fields, OutputChannel::Kind kind) {
    fields.insert("schema", JsonSchema);
    fields.insert("event", QLatin1String(event));
    fields.insert("ms", clock.elapsed());
    fields.insert("time", isoTime());
    out.write(JsonPrintable(QJsonDocument(fields).toJson(QJsonDocument::Compact)) + '\n', kind);
}

std::unique_ptr<Reporter> MakeReporter(OutputMode mode) {
    if (mode == OutputMode::Json)
        return std::make_unique<JsonReporter>();
    if (mode == OutputMode::Auto && OutputChannel::standardOutput().isTerminal() &&
        qEnvironmentVariable("TERM") != QLatin1String("dumb"))
        return std::make_unique<TerminalReporter>();
    return std::make_unique<PlainReporter>();
}
