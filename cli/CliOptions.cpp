#include "CliOptions.h"

#include "FirmwareImage.h"
#include "RunEvent.h"
#include "RunRecords.h"

#include <QCommandLineParser>
#include <QFile>
#include <QMap>
#include <QRegularExpression>

#include <cmath>
#include <functional>
#include <type_traits>

namespace {

// A day: far beyond any erase, and small enough for a timer.
constexpr double LongestSeconds = 86'400;
constexpr int MostRetries = 1000;
// Where --help starts an option's description.
constexpr qsizetype HelpColumn = 27;

ParsedCommandLine failure(const QString& message) {
    return {std::nullopt, 2, message};
}

// Reads the value of one option after the other; the first fault found is the one told.
struct OptionReader {
    bool isSet() const { return parser.isSet(*option); }
    QStringList values() const { return parser.values(*option); }
    QString name() const { return option->names().last(); }
    // The one value of an option given at most once.
    std::optional<QString> single() {
        const QStringList given = values();
        if (given.size() > 1)
            fail(QStringLiteral("--%1 is given more than once").arg(name()));
        return given.isEmpty() ? std::nullopt : std::optional<QString>(given.last());
    }
    void fail(const QString& message) {
        if (!error)
            error = message;
    }

    const QCommandLineParser& parser;
    const QCommandLineOption* option = nullptr;
    std::optional<QString> error;
};

using Apply = std::function<void(OptionReader&, CliOptions&)>;

// A number of seconds into a double, or into a bound that 0 switches off.
// Owner: CliOptions or the FleetSettings it holds.
template <typename Seconds, typename Owner>
Apply seconds(Seconds Owner::*to, bool zeroAllowed = false) {
    return [=](OptionReader& reader, CliOptions& options) {
        constexpr bool bound = std::is_same_v<Seconds, std::optional<double>>;
        const std::optional<QString> text = reader.single();
        bool ok = false;
        const double value = text ? text->toDouble(&ok) : 0;
        if (ok && std::isfinite(value) && value >= (zeroAllowed ? 0 : 1e-300) &&
            value <= LongestSeconds)
            options.*to = bound && value == 0 ? Seconds() : Seconds(value);
        else if (text)
            reader.fail(QStringLiteral("bad --%1 %2: give a number of seconds %3 and up to %4")
                            .arg(reader.name(), Quoted(*text), zeroAllowed ? "from 0" : "above 0",
                                 QString::number(LongestSeconds)));
    };
}
template <typename Owner> Apply count(int Owner::*to, int smallest, int largest) {
    return [=](OptionReader& reader, CliOptions& options) {
        const std::optional<QString> text = reader.single();
        bool ok = false;
        const int value = text ? text->toInt(&ok) : 0;
        if (ok && value >= smallest && value <= largest)
            options.*to = value;
        else if (text)
            reader.fail(QStringLiteral("bad --%1 %2: give a whole number from %3 to %4")
                            .arg(reader.name(), Quoted(*text), QString::number(smallest),
                                 QString::number(largest)));
    };
}
template <typename Owner> Apply file(QString Owner::*to) {
    return [=](OptionReader& reader, CliOptions& options) {
        const std::optional<QString> given = reader.single();
        if (given && given->isEmpty())
            reader.fail(QStringLiteral("--%1 '': no file name given").arg(reader.name()));
        options.*to = given.value_or(QString());
    };
}
template <typename Owner> Apply flag(bool Owner::*to) {
    return [=](OptionReader& reader, CliOptions& options) { options.*to = reader.isSet(); };
}
Apply output(OutputMode mode) {
    return [=](OptionReader& reader, CliOptions& options) {
        if (!reader.isSet())
            return;
        if (options.output != OutputMode::Auto)
            reader.fail(QStringLiteral("--json and --plain exclude each other"));
        options.output = mode;
    };
}
void expectSha256(OptionReader& reader, CliOptions& options) {
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]{64}$"));
    // "$(cat file)" brings the file's newline along.
    const QString given = reader.single().value_or(QString()).trimmed();
    if (reader.isSet() && !hex.match(given).hasMatch())
        reader.fail(QStringLiteral("bad --expect-sha256 %1: give the 64 hex digits of a SHA-256")
                        .arg(Quoted(given)));
    options.expectSha256 = given.toLower();
}
// After --history: none, or the one given, or the default.
void noHistory(OptionReader& reader, CliOptions& options) {
    if (reader.isSet() && !options.historyFile.isEmpty())
        reader.fail(QStringLiteral("--history and --no-history exclude each other"));
    else if (!reader.isSet() && options.historyFile.isEmpty())
        options.historyFile = DefaultHistoryPath();
}
// After --no-history: what is done is known from the history only.
void skipDone(OptionReader& reader, CliOptions& options) {
    options.skipDone = reader.isSet();
    if (options.skipDone && options.historyFile.isEmpty())
        reader.fail(QStringLiteral("--skip-done reads the history: it excludes --no-history"));
}
// N, or N% of the encoders.
void maxFailures(OptionReader& reader, CliOptions& options) {
    const std::optional<QString> text = reader.single();
    if (!text)
        return;
    const bool percent = text->endsWith(QLatin1Char('%'));
    bool ok = false;
    const int value = (percent ? text->chopped(1) : *text).toInt(&ok);
    if (ok && value >= 1 && value <= (percent ? 100 : 1'000'000)) {
        options.maxFailures = value;
        options.maxFailuresPercent = percent;
        return;
    }
    reader.fail(QStringLiteral("bad --max-failures %1: give a whole number from 1, or a "
                               "percentage of the encoders from 1% to 100%")
                    .arg(Quoted(*text)));
}
void hostsFiles(OptionReader& reader, CliOptions& options) {
    options.hostsFiles = reader.values();
    if (options.hostsFiles.count(QStringLiteral("-")) > 1)
        reader.fail(QStringLiteral("--hosts-file - (standard input) is given more than once"));
}

// One option of the command line: its row here is all it takes to parse it, list it in
// --help, complete it in bash and repeat it in the command that reruns the failed encoders.
struct OptionRow {
    QStringList names; // the short name first, if any
    QString valueName; // none: a switch; "FILE": a file name
    int rerunRank = 0; // > 0: repeated, in this order, in the rerun command
    Apply apply = {};  // none: acted on before the others (help, version, completion)
    QString help = {}; // lines for --help; none: not listed
};

// clang-format off
const QList<OptionRow>& optionTable() {
    using O = CliOptions;
    static const QList<OptionRow> rows{
        {{"h", "help"}, {}, 0, {}, "Show this help and exit."},
        {{"version"}, {}, 0, {}, "Show the version and exit."},
        {{"hosts-file"}, "FILE", 0, hostsFiles,
         "Read more hosts from FILE (\"-\": standard input), one HOST[:PORT]\n"
         "per line; blank lines and '#' comments are ignored. Repeatable."},
        {{"max-parallel"}, "N", 8, count(&O::maxParallel, 1, 1'000'000),
         "Upgrade at most N encoders at once (connect to end); the rest\n"
         "wait their turn in the order given. Default: all at once. Fewer\n"
         "(said once) when the open-files limit cannot hold that many."},
        {{"canary"}, "N", 0, count(&O::canary, 1, 1'000'000),
         "Upgrade the first N encoders that will be contacted (in the order\n"
         "given, within --max-parallel) first; start the rest only if all N\n"
         "succeeded. The rerun command leaves it out."},
        {{"max-failures"}, "N[%]", 11, maxFailures,
         "Once N encoders (or N% of them) have failed, start no further\n"
         "encoder; those not started end \"skipped\" (rollout-stopped). A\n"
         "failure holds new starts until those in flight have ended, 60 s\n"
         "at most (shown as held)."},
        {{"y", "yes"}, {}, 0, flag(&O::yes),
         "Do not ask before upgrading (asked on the terminal whenever\n"
         "standard input is one)."},
        {{"connect-timeout"}, "SECONDS", 5, seconds(&O::connectTimeoutSeconds),
         "Give up a connect after SECONDS (default 10); one the system\n"
         "gives up on sooner fails then, saying so."},
        {{"retries"}, "N", 6, count(&O::retries, 0, MostRetries),
         "Try a connect that failed (refused, unreachable, timed out) up to\n"
         "N times more. Never once a byte of the header has gone: an encoder\n"
         "is not sent anything twice in a run. Default 0."},
        {{"retry-delay"}, "SECONDS", 7, seconds(&O::retryDelaySeconds, true),
         "Wait SECONDS between two connects of one encoder (default 5)."},
        {{"silence"}, "SECONDS", 3, seconds(&O::silenceSeconds, true),
         "Fail an encoder that has sent nothing for SECONDS once it has\n"
         "acknowledged its whole image (default 600; 0: no bound)."},
        {{"timeout"}, "SECONDS", 4, seconds(&O::timeoutSeconds, true),
         "Fail an encoder whose whole upgrade, every attempt and retry\n"
         "delay included, takes longer than SECONDS (default 3600; 0: no\n"
         "bound)."},
        {{"allow-empty"}, {}, 9, flag(&O::allowEmpty),
         "Send an empty image (the encoder erases its flash and programs\n"
         "nothing)."},
        {{"check"}, {}, 0, flag(&O::check),
         "Read and check the image, the records and every host, print the\n"
         "plan (per encoder: upgrade, already upgraded, busy now; the canary;\n"
         "the failure limit) and exit (0 or 2), without opening any\n"
         "connection."},
        {{"report"}, "FILE", 0, file(&O::reportFile),
         "At the end, write one JSON document to FILE: the program's\n"
         "version, the image (absolute path, SHA-256), the start and end\n"
         "time, per encoder its result, cause, stage, attempts and\n"
         "duration, and whether the rollout stopped and why. The rerun\n"
         "command writes its own (FILE's name with -rerun, then -rerun2)."},
        {{"failed-hosts"}, "FILE", 0, file(&O::failedHostsFile),
         "At the end, write the hosts that failed or were not started\n"
         "(rollout-stopped, busy) to FILE, one per line, ready for\n"
         "--hosts-file. The rerun command reads it and writes its own (as\n"
         "--report)."},
        {{"expect-sha256"}, "HEX", 12, expectSha256,
         "Refuse the image unless its SHA-256 is HEX (64 hex digits, any\n"
         "case), before any host is contacted."},
        {{"history"}, "FILE", 13, file(&O::historyFile),
         "Append each encoder's end, as it ends, as one JSON line to FILE\n"
         "(default: $XDG_STATE_HOME/fwupgrade/history.jsonl, or\n"
         "~/.local/state/fwupgrade/history.jsonl)."},
        {{"no-history"}, {}, 14, noHistory, "Keep no history."},
        {{"skip-done"}, {}, 15, skipDone,
         "Contact no encoder (same address and port) whose latest history\n"
         "entry that contacted it is an upgrade with this image's SHA-256:\n"
         "it ends \"skipped\", cause \"already-upgraded\", and counts as done.\n"
         "Read again once the encoder's lock is held."},
        {{"json"}, {}, 1, output(OutputMode::Json),
         "One JSON object per line for each event, for scripts (see below)."},
        {{"plain"}, {}, 2, output(OutputMode::Plain),
         "Plain lines even when the output is a terminal."},
        // Written into the package when it is built: `--completion bash`.
        {{"completion"}, "SHELL"},
    };
    return rows;
}
// clang-format on

QCommandLineOption commandLineOption(const OptionRow& row) {
    return QCommandLineOption(row.names, {}, row.valueName);
}

QStringList spellings(const OptionRow& row) {
    QStringList spelled;
    for (const QString& name : row.names)
        spelled << (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    return spelled;
}

// The options that shape how encoders are upgraded, as given, in their rerun order.
QStringList rerunOptionsOf(const QCommandLineParser& parser) {
    QMap<int, QStringList> byRank;
    for (const OptionRow& row : optionTable()) {
        const QCommandLineOption option = commandLineOption(row);
        if (row.rerunRank == 0 || !parser.isSet(option))
            continue;
        byRank[row.rerunRank] << QStringLiteral("--") + row.names.last();
        if (!row.valueName.isEmpty())
            byRank[row.rerunRank] << parser.value(option);
    }
    QStringList given;
    for (const QStringList& words : std::as_const(byRank))
        given += words;
    return given;
}

QString resourceText(const QString& name) {
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString optionsHelp() {
    QString text;
    for (const OptionRow& row : optionTable()) {
        if (row.help.isEmpty())
            continue;
        QString line = QStringLiteral("  ") + spellings(row).join(QStringLiteral(", "));
        if (!row.valueName.isEmpty())
            line += QLatin1Char(' ') + row.valueName;
        line = line.size() + 2 > HelpColumn ? line + QStringLiteral("  ")
                                            : line.leftJustified(HelpColumn);
        const QStringList lines = row.help.split(QLatin1Char('\n'));
        text += line + lines.join(QLatin1Char('\n') + QString(HelpColumn, QLatin1Char(' '))) +
                QLatin1Char('\n');
    }
    return text;
}

} // namespace

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const OptionRow& row : optionTable())
        parser.addOption(commandLineOption(row));
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        return {std::nullopt, 0, HelpText()};
    if (parser.isSet(QStringLiteral("version")))
        return {std::nullopt, 0,
                QStringLiteral("%1 %2\n").arg(QLatin1String(CliName),
                                              QStringLiteral(FWUPGRADE_VERSION))};
    if (parser.isSet(QStringLiteral("completion"))) {
        const QString shell = parser.value(QStringLiteral("completion"));
        if (shell == QLatin1String("bash"))
            return {std::nullopt, 0, BashCompletion()};
        return failure(QStringLiteral("no completion for %1: give bash").arg(Quoted(shell)));
    }

    CliOptions options;
    OptionReader reader{parser, nullptr, std::nullopt};
    for (const OptionRow& row : optionTable()) {
        const QCommandLineOption option = commandLineOption(row);
        reader.option = &option;
        if (row.apply)
            row.apply(reader, options);
    }
    if (reader.error)
        return failure(*reader.error);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return failure(QStringLiteral("the IMAGE and at least one HOST are missing"));
    if (positional.size() < 2 && options.hostsFiles.isEmpty())
        return failure(QStringLiteral("at least one HOST (or --hosts-file) is missing after the "
                                      "IMAGE"));
    options.imagePath = positional.first();
    for (const QString& text : positional.mid(1)) {
        EncoderAddress encoder;
        if (auto error = ParseEncoderAddress(text, encoder))
            return failure(*error);
        options.encoders.append(encoder);
    }
    options.rerunOptions = rerunOptionsOf(parser);
    return {options, 0, {}};
}

QString HelpText() {
    return resourceText(QStringLiteral(":/cli/help.txt"))
        .arg(QLatin1String(CliName))
        .arg(MaxImageSize)
        .arg(optionsHelp(), EventHelp());
}

// The first word that is no option is the image, the others are hosts; a FILE value is a
// file name, other values are not completed.
QString BashCompletion() {
    QStringList listed;
    QStringList fileValued;
    QStringList valued;
    for (const OptionRow& row : optionTable()) {
        const QStringList names = spellings(row);
        if (!row.help.isEmpty())
            listed += names;
        if (row.valueName == QLatin1String("FILE"))
            fileValued += names;
        else if (!row.valueName.isEmpty())
            valued += names;
    }
    const QString function = QStringLiteral("_%1").arg(QString(CliName).replace('-', '_'));
    return resourceText(QStringLiteral(":/cli/bash-completion.in"))
        .arg(QLatin1String(CliName), function, fileValued.join('|'), valued.join('|'),
             listed.join(' '));
}

QString ShellQuoted(const QString& word) {
    static const QRegularExpression plain(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9_./:=+,@%-]+")));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QLatin1String("'\\''")) +
           QLatin1Char('\'');
}

// A record of the rerun must not replace this run's: "report.json" becomes
// "report-rerun.json", then "report-rerun2.json".
QString RerunRecordName(const QString& path) {
    static const QRegularExpression rerun(QStringLiteral("^(.*)-rerun([0-9]*)$"));
    const qsizetype nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot <= nameStart)
        dot = path.size();
    QString stem = path.left(dot);
    int next = 1;
    if (const QRegularExpressionMatch match = rerun.match(stem); match.hasMatch()) {
        stem = match.captured(1);
        next = std::max(1, match.captured(2).toInt()) + 1;
    }
    return stem + QStringLiteral("-rerun") + (next > 1 ? QString::number(next) : QString()) +
           path.mid(dot);
}

QString RerunCommand(const CliOptions& options, const QStringList& notDone,
                     bool failedHostsWritten) {
    const bool fromList = failedHostsWritten && !options.failedHostsFile.isEmpty();
    QStringList words{QLatin1String(CliName)};
    for (const QString& option : options.rerunOptions)
        words << ShellQuoted(option);
    if (!options.reportFile.isEmpty())
        words << QStringLiteral("--report") << ShellQuoted(RerunRecordName(options.reportFile));
    if (!options.failedHostsFile.isEmpty())
        words << QStringLiteral("--failed-hosts")
              << ShellQuoted(RerunRecordName(options.failedHostsFile));
    if (fromList)
        words << QStringLiteral("--hosts-file") << ShellQuoted(options.failedHostsFile);
    words << ShellQuoted(options.imagePath);
    if (!fromList) {
        for (const QString& host : notDone)
            words << ShellQuoted(host);
    }
    return words.join(QLatin1Char(' '));
}
