#include "Reporter.h"

#include "CliOptions.h"
#include "TerminalReporter.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <unistd.h>

namespace {

// Texts from the encoder may hold any byte: control characters are shown escaped, so that
// they can neither break a line nor drive the terminal.
QString printable(const QString& text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F ||
            (c.unicode() >= 0x80 && c.unicode() < 0xA0))
            shown += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

void writeLine(std::FILE* out, const QString& line) {
    const QByteArray bytes = line.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
}

QString summaryHeadline(const QList<EncoderOutcome>& outcomes) {
    qsizetype upgraded = 0;
    for (const EncoderOutcome& outcome : outcomes)
        upgraded += outcome.success ? 1 : 0;
    return QStringLiteral("%1 of %2 encoder%3 upgraded, %4 failed")
        .arg(upgraded)
        .arg(outcomes.size())
        .arg(outcomes.size() == 1 ? QString() : QStringLiteral("s"))
        .arg(outcomes.size() - upgraded);
}

QString warningLine(const FlashWarning& warning) {
    return QStringLiteral("!!! DO NOT SWITCH POWER OFF !!! %1 was %2 when the run was interrupted")
        .arg(warning.host, warning.stage);
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

// ---- plain lines

void PlainReporter::begin(const ImageSummary& image, const QStringList& hostList) {
    hosts = hostList;
    printLine(QStringLiteral("Selected file : %1").arg(image.path));
    printLine(QStringLiteral("File size (byte) ............ %1 %2")
                  .arg(image.lengthText, image.fillText));
    printLine(QStringLiteral("File checksum.............. %1").arg(image.checksumText));
}

void PlainReporter::connecting(int host, const QByteArray& address, std::uint16_t port) {
    hostLine(host, QStringLiteral("connecting to %1:%2").arg(QLatin1String(address)).arg(port));
}

void PlainReporter::connected(int host, const ConnectedDetails& details) {
    hostLine(host, QStringLiteral("connected from %1").arg(details.localAddress));
}

void PlainReporter::log(int host, LogKind kind, const QString& text) {
    if (kind == LogKind::Device)
        hostLine(host, QStringLiteral("encoder: ") + printable(text));
    else
        hostLine(host, printable(text));
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
    hostLine(host, QStringLiteral("%1 %2%").arg(ProgressStageName(stage)).arg(percent));
}

void PlainReporter::ended(int host, bool success, const QString& reason) {
    hostLine(host, success ? QStringLiteral("upgrade succeeded")
                           : QStringLiteral("upgrade FAILED: ") + printable(reason));
}

void PlainReporter::interrupted(const QString& signalName) {
    printLine(QStringLiteral("interrupted by %1: closing every connection").arg(signalName));
}

void PlainReporter::finish(const QList<EncoderOutcome>& outcomes,
                           const QList<FlashWarning>& warnings, int) {
    printLine(summaryHeadline(outcomes));
    for (const EncoderOutcome& outcome : outcomes) {
        if (!outcome.success)
            printLine(QStringLiteral("FAILED %1: %2").arg(outcome.host, printable(outcome.reason)));
    }
    for (const FlashWarning& warning : warnings) {
        printLine(warningLine(warning));
        // The warning must reach the operator even when the output goes to a file.
        if (!::isatty(STDOUT_FILENO))
            writeLine(stderr, warningLine(warning));
    }
}

void PlainReporter::printLine(const QString& line) {
    writeLine(out, line);
}

void PlainReporter::hostLine(int host, const QString& text) {
    printLine(hosts.value(host) + QStringLiteral(": ") + text);
}

// ---- JSON

void JsonReporter::begin(const ImageSummary& image, const QStringList& hostList) {
    hosts = hostList;
    emitEvent("image", {{"path", image.path},
                        {"length", image.length},
                        {"lengthText", image.lengthText},
                        {"fill", image.fillText},
                        {"checksum", image.checksumText},
                        {"hosts", QJsonArray::fromStringList(hosts)}});
}

void JsonReporter::connecting(int host, const QByteArray& address, std::uint16_t port) {
    QJsonObject fields = forHost(host);
    fields.insert("address", QString::fromLatin1(address));
    fields.insert("port", port);
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
    emitEvent("progress", fields);
}

void JsonReporter::ended(int host, bool success, const QString& reason) {
    QJsonObject fields = forHost(host);
    fields.insert("result", success ? QStringLiteral("success") : QStringLiteral("failure"));
    fields.insert("reason", reason);
    emitEvent("end", fields);
}

void JsonReporter::interrupted(const QString& signalName) {
    emitEvent("interrupted", {{"signal", signalName}});
}

void JsonReporter::finish(const QList<EncoderOutcome>& outcomes,
                          const QList<FlashWarning>& warnings, int exitCode) {
    for (const FlashWarning& warning : warnings) {
        emitEvent(
            "warning",
            {{"host", warning.host}, {"stage", warning.stage}, {"text", warningLine(warning)}});
        writeLine(stderr, warningLine(warning));
    }
    QJsonArray succeeded;
    QJsonArray failed;
    for (const EncoderOutcome& outcome : outcomes) {
        if (outcome.success)
            succeeded.append(outcome.host);
        else
            failed.append(QJsonObject{{"host", outcome.host}, {"reason", outcome.reason}});
    }
    emitEvent("summary", {{"exitCode", exitCode}, {"succeeded", succeeded}, {"failed", failed}});
}

QJsonObject JsonReporter::forHost(int host) const {
    return {{"host", hosts.value(host)}};
}

void JsonReporter::emitEvent(const char* event, QJsonObject fields) {
    fields.insert("event", QLatin1String(event));
    fields.insert("ms", clock.elapsed());
    const QByteArray line = QJsonDocument(fields).toJson(QJsonDocument::Compact);
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out);
    std::fputc('\n', out);
    std::fflush(out);
}

std::unique_ptr<Reporter> MakeReporter(OutputMode mode) {
    if (mode == OutputMode::Json)
        return std::make_unique<JsonReporter>();
    if (mode == OutputMode::Auto && ::isatty(STDOUT_FILENO))
        return std::make_unique<TerminalReporter>();
    return std::make_unique<PlainReporter>();
}
