#include "RunEvent.h"

#include "CliOptions.h"
#include "EncoderProtocol.h"
#include "EncoderRun.h"
#include "FirmwareImage.h"
#include "RunRecords.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <algorithm>

namespace {

constexpr int JsonSchema = 1;
// --help's column for an event's note, past its fields.
constexpr qsizetype HelpNoteColumn = 45;
constexpr qsizetype HelpWidth = 90;

// One event: its --json name and fields, as --help lists them (some with their values in
// brackets), and a note for --help. Every field --json writes is named here, and nothing else.
struct EventRow {
    EventRow(const char* name, const char* fields, const char* note = nullptr)
        : name(name), fields(fields), note(note),
          names(QString(fields).remove(QRegularExpression(" \\([^)]*\\)")).split(", ")) {}

    QString name;
    QString fields;
    const char* note;
    QStringList names;
};

// One row per RunEventKind, in its order.
// clang-format off
const EventRow& rowOf(RunEventKind kind) {
    static const QList<EventRow> rows{
        {"image", "path, length, lengthText, fill, fillText, checksum, sha256, hosts"},
        {"connect", "host, address, port, attempt", "a connect begins"},
        {"connected", "host, remoteHost, remotePort, localHostName, localAddress"},
        {"log", R"(host, log ("upgrade", "device" or "notice"), text)"},
        {"stage", "host, stage (sending, erasing, programming), text"},
        {"progress", "host, stage (transfer, sending, erasing, programming), position, percent"},
        {"retry", "host, attempt, attempts, reason, delay", "a connect failed; another follows"},
        {"end",
         R"(host, result ("success", "failure" or "skipped"), cause, reason, stage, attempts, )"
         "durationMs"},
        {"interrupted", "signal, immediately, leftToFinish"},
        {"warning", "host, stage, text", "an encoder left erasing or programming"},
        {"hold", "held, inFlight, boundSeconds", "a failure holds new starts"},
        {"fleet", "total, done, failed, skipped, inFlight, held, bytesPerSecond, secondsLeft",
         "every 2 s and at the end"},
        {"notice", "text", "the run adapts itself"},
        {"summary", "exitCode, succeeded, skipped, failed, rollout, rerun"},
        {"error", "exitCode, message", "the run cannot go ahead (2), a record is incomplete (3)"},
        {"check", "image, encoders, upgrade, canary, failureLimit, maxParallel"},
    };
    return rows[static_cast<int>(kind)];
}
// clang-format on

QString text(const QJsonObject& fields, const char* name) {
    return fields.value(QLatin1String(name)).toString();
}

QString plural(qsizetype count) {
    return count == 1 ? QString() : QStringLiteral("s");
}

// The image as the window shows it.
QStringList imageLines(const QJsonObject& image) {
    return {QStringLiteral("Selected file : %1").arg(Printable(text(image, "path"))),
            QStringLiteral("File size (byte) ............ %1 %2")
                .arg(LengthText(image.value("length").toInt()), text(image, "fillText")),
            QStringLiteral("File checksum.............. %1").arg(text(image, "checksum")),
            QStringLiteral("File SHA-256 .............. %1").arg(text(image, "sha256"))};
}

QStringList interruptedLines(const QJsonObject& fields) {
    const QString signal = text(fields, "signal");
    if (fields.value("immediately").toBool())
        return {QStringLiteral("interrupted again by %1: closing every connection").arg(signal)};
    QStringList lines{QStringLiteral("interrupted by %1: no new connection; stopping every encoder "
                                     "that has not begun to erase its flash (again to stop all)")
                          .arg(signal)};
    for (const QJsonValue left : fields.value("leftToFinish").toArray())
        lines << QStringLiteral("%1 %2 is %3 and is left to finish")
                     .arg(QLatin1String(UpgradeLog::PowerWarning), left["host"].toString(),
                          left["stage"].toString());
    return lines;
}

// The hosts of those entries that have this cause, cut short past a few.
QString hostList(const QJsonArray& encoders, const QString& cause) {
    constexpr int MostNamed = 10;
    QStringList hosts;
    for (const QJsonValue encoder : encoders) {
        if (encoder["cause"].toString() == cause)
            hosts << encoder["host"].toString();
    }
    if (hosts.size() <= MostNamed)
        return hosts.join(QStringLiteral(", "));
    return hosts.mid(0, MostNamed).join(QStringLiteral(", ")) +
           QStringLiteral(" and %1 more").arg(hosts.size() - MostNamed);
}

QStringList summaryLines(const QJsonObject& fields) {
    const QJsonArray failed = fields.value("failed").toArray();
    const QJsonArray skipped = fields.value("skipped").toArray();
    const qsizetype upgraded = fields.value("succeeded").toArray().size();
    const qsizetype total = upgraded + skipped.size() + failed.size();
    qsizetype already = 0;
    QStringList held; // by another run, or by no lock at all
    for (const QJsonValue encoder : skipped) {
        const QString cause = encoder["cause"].toString();
        already += cause == QLatin1String("already-upgraded") ? 1 : 0;
        if (cause == QLatin1String(BusyCause) || cause == QLatin1String(LockFailedCause))
            held << QStringLiteral("SKIPPED %1: %2")
                        .arg(encoder["host"].toString(), Printable(encoder["reason"].toString()));
    }
    const qsizetype notStarted = skipped.size() - already;
    QStringList lines{
        QStringLiteral("%1 of %2 encoder%3 upgraded, %4%5 failed%6")
            .arg(upgraded)
            .arg(total)
            .arg(plural(total))
            .arg(already > 0 ? QStringLiteral("%1 already upgraded (skipped), ").arg(already)
                             : QString())
            .arg(failed.size())
            .arg(notStarted > 0 ? QStringLiteral(", %1 skipped").arg(notStarted) : QString())};
    for (const QJsonValue encoder : failed)
        lines << QStringLiteral("FAILED %1: %2")
                     .arg(encoder["host"].toString(), Printable(encoder["reason"].toString()));
    lines += held;
    const QJsonObject rollout = fields.value("rollout").toObject();
    if (rollout.value("stopped").toBool())
        lines << QStringLiteral("rollout stopped: %1; not started: %2")
                     .arg(rollout.value("why").toString(),
                          hostList(skipped, QLatin1String(RolloutStoppedCause)));
    for (const QJsonValue warning : fields.value("warnings").toArray())
        lines << warning.toString();
    if (fields.contains("rerun"))
        lines << QStringLiteral("to try the failed encoders again: ") + text(fields, "rerun");
    return lines;
}

QStringList checkLines(const QJsonObject& fields) {
    const QJsonArray encoders = fields.value("encoders").toArray();
    const int maxParallel = fields.value("maxParallel").toInt();
    const int toUpgrade = fields.value("upgrade").toInt();
    QStringList lines = imageLines(fields.value("image").toObject());
    lines << QStringLiteral("would upgrade %1 encoder%2%3:")
                 .arg(toUpgrade)
                 .arg(plural(toUpgrade))
                 .arg(maxParallel > 0 ? QStringLiteral(", at most %1 at once").arg(maxParallel)
                                      : QString());
    for (const QJsonValue encoder : encoders) {
        const QString plan = encoder["plan"].toString();
        const QString note = plan == QLatin1String("busy")
                                 ? QStringLiteral(" (busy now: %1)").arg(encoder["busy"].toString())
                             : plan == QLatin1String("already-upgraded")
                                 ? QStringLiteral(" (already upgraded: skipped)")
                                 : QString();
        lines << QStringLiteral("  %1 at %2:%3%4")
                     .arg(encoder["host"].toString(), encoder["address"].toString(),
                          QString::number(encoder["port"].toInt()), note);
    }
    QStringList canary;
    for (const QJsonValue host : fields.value("canary").toArray())
        canary << host.toString();
    if (!canary.isEmpty())
        lines << QStringLiteral("canary: %1 (the rest start only once it has succeeded)")
                     .arg(canary.join(QStringLiteral(", ")));
    if (const int limit = fields.value("failureLimit").toInt(); limit > 0)
        lines << QStringLiteral("stop after %1 failure%2").arg(limit).arg(plural(limit));
    lines << QStringLiteral("check only: no connection was opened");
    return lines;
}

// What one encoder's event says, without the encoder's name.
QString encoderText(const RunEvent& event) {
    const QJsonObject& f = event.fields;
    switch (event.kind) {
    case RunEventKind::Connect: {
        const int attempt = f.value("attempt").toInt();
        return QStringLiteral("connecting to %1:%2%3")
            .arg(text(f, "address"))
            .arg(f.value("port").toInt())
            .arg(attempt > 1 ? QStringLiteral(" (attempt %1)").arg(attempt) : QString());
    }
    case RunEventKind::Connected:
        return QStringLiteral("connected from %1").arg(text(f, "localAddress"));
    case RunEventKind::Log:
        return (text(f, "log") == QLatin1String("device") ? QStringLiteral("encoder: ")
                                                          : QString()) +
               Printable(text(f, "text"));
    case RunEventKind::Stage:
        return Printable(text(f, "text"));
    case RunEventKind::Progress:
        return QStringLiteral("%1 %2%").arg(text(f, "stage")).arg(f.value("percent").toInt());
    case RunEventKind::Retry:
        return QStringLiteral("attempt %1 of %2 failed: %3; next attempt in %4 s")
            .arg(QString::number(f.value("attempt").toInt()),
                 QString::number(f.value("attempts").toInt()), Printable(text(f, "reason")),
                 QString::number(f.value("delay").toDouble()));
    case RunEventKind::End:
        if (text(f, "result") == QLatin1String("skipped"))
            return QStringLiteral("skipped (%1): %2")
                .arg(text(f, "cause"), Printable(text(f, "reason")));
        return text(f, "result") == QLatin1String("success")
                   ? QStringLiteral("upgrade succeeded")
                   : QStringLiteral("upgrade FAILED: ") + Printable(text(f, "reason"));
    default:
        return {};
    }
}

} // namespace

QByteArray EventJson(const RunEvent& event, qint64 ms, const QString& runId) {
    const EventRow& row = rowOf(event.kind);
    QJsonObject json{{"schema", JsonSchema}, {"event", row.name}, {"ms", ms}, {"time", IsoTime()}};
    if (!runId.isEmpty())
        json.insert("run", runId);
    for (const QString& name : row.names) {
        if (const auto value = event.fields.constFind(name); value != event.fields.constEnd())
            json.insert(name, *value);
    }
    return JsonText(json) + '\n';
}

QStringList EventText(const RunEvent& event) {
    const QJsonObject& f = event.fields;
    switch (event.kind) {
    case RunEventKind::Image:
        return imageLines(f);
    case RunEventKind::Interrupted:
        return interruptedLines(f);
    case RunEventKind::Warning:
        return {}; // the summary names it
    case RunEventKind::Fleet:
        return {}; // for scripts; the terminal's panel counts the same
    case RunEventKind::Notice:
        return {text(f, "text")};
    case RunEventKind::Hold:
        return {QStringLiteral("a failure holds %1 encoder%2 until the %3 in flight have ended, "
                               "%4 s at most")
                    .arg(f.value("held").toInt())
                    .arg(plural(f.value("held").toInt()))
                    .arg(f.value("inFlight").toInt())
                    .arg(f.value("boundSeconds").toDouble())};
    case RunEventKind::Summary:
        return summaryLines(f);
    case RunEventKind::Error: {
        // The message quotes file names and paths as given: their controls are escaped.
        const QString line =
            QStringLiteral("%1: %2").arg(QLatin1String(CliName), Printable(text(f, "message")));
        if (f.value("exitCode").toInt() != 2) // a record of a run that went ahead
            return {line};
        return {
            line,
            QStringLiteral("Try '%1 --help' for more information.").arg(QLatin1String(CliName))};
    }
    case RunEventKind::Check:
        return checkLines(f);
    default:
        return {text(f, "host") + QStringLiteral(": ") + encoderText(event)};
    }
}

QString EventHelp() {
    QString help = QStringLiteral("--json events (each object has \"schema\" %1, \"event\", "
                                  "\"run\", the run's id, \"ms\" since the start\nand \"time\", "
                                  "the wall-clock time in ISO 8601):\n")
                       .arg(JsonSchema);
    // The last, --check's object, is no event of a run.
    for (int kind = 0; kind < static_cast<int>(RunEventKind::Check); ++kind) {
        const EventRow& row = rowOf(static_cast<RunEventKind>(kind));
        QString line = QStringLiteral("  %1 %2").arg(row.name.leftJustified(10), row.fields);
        if (row.note)
            line = line.leftJustified(std::max(HelpNoteColumn, line.size() + 3)) +
                   QLatin1String(row.note);
        help += line + QLatin1Char('\n');
    }
    const QStringList causes = EndCauseNames();
    QString sentence = QStringLiteral("The cause of an end is one of %1; of a skipped one, "
                                      "already-upgraded (--skip-done), %2 (--canary, "
                                      "--max-failures), %3 (another run on this host is "
                                      "upgrading it) or %4 (its lock cannot be taken).")
                           .arg(causes.join(", "), QLatin1String(RolloutStoppedCause),
                                QLatin1String(BusyCause), QLatin1String(LockFailedCause));
    // Wrapped as the rest of --help is.
    while (sentence.size() > HelpWidth) {
        const qsizetype wrap = sentence.lastIndexOf(QLatin1Char(' '), HelpWidth);
        help += sentence.left(wrap) + QLatin1Char('\n');
        sentence = sentence.mid(wrap + 1);
    }
    return help + sentence + QLatin1Char('\n');
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
