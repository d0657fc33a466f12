#include "SimOptions.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QCoreApplication>

#include <arpa/inet.h>

#include <array>
#include <limits>

namespace {

constexpr std::array<const char*, 5> StageNames = {"header", "receive", "erase", "program",
                                                   "verify"};

const char* const Description = R"(A stand-in encoder: plays the device's side of a firmware upgrade
over TCP, one connection at a time, one upgrade per connection.

The first line on stdout names the address and port, e.g. "listening on 127.0.0.1:40123".

Stages (STAGE), each beginning with its own reply; a fault at a stage replaces that
stage's progress and everything after it:
  header   right after the 12 header bytes, before "start receiving image file"
  receive  after "start receiving image file", before the first received-bytes count
  erase    after "erase flash program...", before the first erase address
  program  after "flash program...", before the first programmed-bytes count
  verify   after the last programmed count, in place of "verify flash program...done"

Exit status: with --once, 0 when the upgrade was complete and valid, 1 otherwise;
2 on bad options.)";

struct OptionSet {
    QCommandLineOption address{"address", "Listen on ADDRESS, numeric IPv4 or IPv6 (127.0.0.1).",
                               "address", "127.0.0.1"};
    QCommandLineOption port{"port", "Listen on PORT; 0 picks a free port (9999).", "port", "9999"};
    QCommandLineOption once{"once", "Serve one connection, then exit with its verdict."};
    QCommandLineOption gapMs{"gap-ms", "Pause between replies in ms (2, or 20 with --no-zero).",
                             "ms"};
    QCommandLineOption receiveStep{"receive-step", "Report received bytes every N bytes (65536).",
                                   "n", "65536"};
    QCommandLineOption eraseStep{"erase-step", "Erase address step in bytes (0x10000).", "n",
                                 "0x10000"};
    QCommandLineOption programStep{"program-step", "Report programmed bytes every N bytes (65536).",
                                   "n", "65536"};
    QCommandLineOption noZero{"no-zero",
                              "End replies with no zero byte; then every reply waits until the "
                              "image has arrived whole, and replies go at least --gap-ms apart."};
    QCommandLineOption afterImage{"after-image",
                                  "Send no reply before the image has arrived whole, as "
                                  "--no-zero does, but end each reply with a zero byte."};
    QCommandLineOption failAt{"fail-at", "Send \"flash program fail\" at STAGE, then close.",
                              "stage"};
    QCommandLineOption errorAt{"error-at", "Send \"*** ERROR ***\" and --error-text at STAGE.",
                               "stage"};
    QCommandLineOption errorText{"error-text", "The error text of --error-at (simulated error).",
                                 "text"};
    QCommandLineOption closeAt{"close-at", "Close the connection (FIN) at STAGE.", "stage"};
    QCommandLineOption closeAfterReplies{"close-after-replies",
                                         "Close the connection once N replies have gone out.", "n"};
    QCommandLineOption resetAt{"reset-at", "Reset the connection (RST) at STAGE.", "stage"};
    QCommandLineOption stopReadingAfter{"stop-reading-after",
                                        "Read only the first N image bytes (their counts "
                                        "still go out), then send and read nothing more but "
                                        "keep the connection open.",
                                        "n"};
    QCommandLineOption listeners{"listeners",
                                 "Listen on N ports at once (with --port 0, N free ports; "
                                 "otherwise PORT and the ones after it), one \"listening on\" "
                                 "line each, and serve every connection at the same time: a "
                                 "whole fleet from one process (out of file descriptors, it "
                                 "waits for connections to end).",
                                 "n"};
    QCommandLineOption readRate{"read-rate",
                                "Read the image at most N bytes per second, through a small "
                                "(8 KiB) receive buffer, as a slow encoder does.",
                                "n"};
    QCommandLineOption silentAt{"silent-at",
                                "Send nothing more from STAGE on; keep reading until the "
                                "client closes.",
                                "stage"};
    QCommandLineOption mergeReplies{"merge-replies",
                                    "Send \"start receiving image file\" and the reply after it "
                                    "in one send."};
    QCommandLineOption splitReplies{"split-replies",
                                    "Send \"start receiving image file\" in two sends, a pause "
                                    "(--gap-ms, at least 20 ms) apart."};
    QCommandLineOption longReply{"long-reply",
                                 "Send a reply of N bytes of text first, after the header.", "n"};
    QCommandLineOption garbage{"garbage",
                               "Send a reply of control and 0x80-0xFF bytes first, after the "
                               "header."};
    QCommandLineOption refuse{"refuse",
                              "Take the port but refuse every connection (the client's connect "
                              "fails); runs until stopped."};
    QCommandLineOption minPauseMs{"min-pause-ms",
                                  "Count an upgrade whose first image byte came less than MS "
                                  "after the header's last byte as broken, as the encoder does "
                                  "(1000; 0 takes any pause).",
                                  "ms", "1000"};
    QCommandLineOption idleTimeoutMs{"idle-timeout-ms",
                                     "Give up on a client that sends nothing and does not close "
                                     "for this long (120000).",
                                     "ms", "120000"};
    QCommandLineOption report{"report",
                              "Write a JSON report per connection to FILE (one line each; "
                              "with --once the file holds just that one).",
                              "file"};
    QCommandLineOption reportLine{"report-line",
                                  "Print the JSON report as one line on stdout after each "
                                  "connection."};
};

class OptionReader {
public:
    explicit OptionReader(const QCommandLineParser& parser) : parser_(parser) {}

    const QString& error() const { return error_; }

    // A whole number in [min, max], decimal or 0x-prefixed hex.
    std::optional<qint64> number(const QCommandLineOption& option, qint64 min, qint64 max) {
        const QString text = parser_.value(option).trimmed();
        bool ok = false;
        const qint64 value = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)
                                 ? text.mid(2).toLongLong(&ok, 16)
                                 : text.toLongLong(&ok, 10);
        if (!ok || value < min || value > max) {
            fail(QStringLiteral("--%1 wants a whole number from %2 to %3, not \"%4\"")
                     .arg(option.names().first())
                     .arg(min)
                     .arg(max)
                     .arg(parser_.value(option)));
            return std::nullopt;
        }
        return value;
    }

    std::optional<Stage> stage(const QCommandLineOption& option) {
        const QString text = parser_.value(option);
        for (std::size_t i = 0; i < StageNames.size(); ++i)
            if (text == QLatin1String(StageNames[i]))
                return static_cast<Stage>(i);
        fail(QStringLiteral("--%1 wants a stage (header, receive, erase, program, verify), not "
                            "\"%2\"")
                 .arg(option.names().first(), text));
        return std::nullopt;
    }

    void fail(const QString& message) {
        if (error_.isEmpty())
            error_ = message;
    }

private:
    const QCommandLineParser& parser_;
    QString error_;
};

constexpr qint64 IntMax = std::numeric_limits<int>::max();
constexpr qint64 Word32Max = std::numeric_limits<std::uint32_t>::max();

void readAddress(const OptionSet& set, const QCommandLineParser& parser, OptionReader& reader,
                 SimOptions& options) {
    options.address = parser.value(set.address);
    const QByteArray text = options.address.toLatin1();
    in6_addr any{};
    if (inet_pton(AF_INET, text.constData(), &any) != 1 &&
        inet_pton(AF_INET6, text.constData(), &any) != 1)
        reader.fail(QStringLiteral("--address wants a numeric IPv4 or IPv6 address, not \"%1\"")
                        .arg(options.address));
}

void readNumbers(const OptionSet& set, const QCommandLineParser& parser, OptionReader& reader,
                 SimOptions& options) {
    options.port = static_cast<std::uint16_t>(reader.number(set.port, 0, 65535).value_or(0));
    if (parser.isSet(set.gapMs))
        options.gapMs = static_cast<int>(reader.number(set.gapMs, 0, 60000).value_or(0));
    else if (options.noZero)
        options.gapMs = 20;
    options.receiveStep =
        static_cast<std::uint32_t>(reader.number(set.receiveStep, 1, Word32Max).value_or(1));
    options.eraseStep =
        static_cast<std::uint32_t>(reader.number(set.eraseStep, 1, Word32Max).value_or(1));
    options.programStep =
        static_cast<std::uint32_t>(reader.number(set.programStep, 1, Word32Max).value_or(1));
    options.idleTimeoutMs =
        static_cast<int>(reader.number(set.idleTimeoutMs, 1, IntMax).value_or(1));
    options.minPauseMs = static_cast<int>(reader.number(set.minPauseMs, 0, 60000).value_or(0));
    if (parser.isSet(set.closeAfterReplies))
        options.closeAfterReplies =
            static_cast<int>(reader.number(set.closeAfterReplies, 0, IntMax).value_or(0));
    if (parser.isSet(set.stopReadingAfter))
        options.stopReadingAfter = static_cast<std::uint32_t>(
            reader.number(set.stopReadingAfter, 0, Word32Max).value_or(0));
    if (parser.isSet(set.listeners))
        options.listeners = static_cast<int>(reader.number(set.listeners, 1, 4096).value_or(1));
    if (parser.isSet(set.readRate))
        options.readRate =
            static_cast<std::uint32_t>(reader.number(set.readRate, 1, Word32Max).value_or(1));
    if (parser.isSet(set.longReply))
        options.longReply = static_cast<int>(reader.number(set.longReply, 1, 1 << 20).value_or(1));
}

// At most one stage fault: the first one reached would end the upgrade anyway.
void readStageFault(const OptionSet& set, const QCommandLineParser& parser, OptionReader& reader,
                    SimOptions& options) {
    const std::array<std::pair<const QCommandLineOption*, FaultKind>, 5> faults = {{
        {&set.failAt, FaultKind::Fail},
        {&set.errorAt, FaultKind::Error},
        {&set.closeAt, FaultKind::Close},
        {&set.resetAt, FaultKind::Reset},
        {&set.silentAt, FaultKind::Silent},
    }};
    int given = 0;
    for (const auto& [option, kind] : faults) {
        if (!parser.isSet(*option))
            continue;
        ++given;
        if (const auto stage = reader.stage(*option))
            options.fault = {kind, *stage};
    }
    if (given > 1)
        reader.fail(QStringLiteral(
            "give only one of --fail-at, --error-at, --close-at, --reset-at, --silent-at"));
    if (parser.isSet(set.errorText)) {
        if (options.fault.kind != FaultKind::Error)
            reader.fail(QStringLiteral("--error-text goes with --error-at"));
        options.errorText = parser.value(set.errorText).toLocal8Bit();
    }
}

void readFlags(const OptionSet& set, const QCommandLineParser& parser, SimOptions& options) {
    options.once = parser.isSet(set.once);
    options.noZero = parser.isSet(set.noZero);
    options.afterImage = parser.isSet(set.afterImage);
    options.mergeReplies = parser.isSet(set.mergeReplies);
    options.splitReplies = parser.isSet(set.splitReplies);
    options.garbage = parser.isSet(set.garbage);
    options.refuse = parser.isSet(set.refuse);
    options.reportLine = parser.isSet(set.reportLine);
    options.reportFile = parser.value(set.report);
}

ParsedOptions failure(const QString& message) {
    return {std::nullopt, 2,
            QStringLiteral("encoder-sim: %1\nTry 'encoder-sim --help'.\n").arg(message)};
}

} // namespace

QString stageName(Stage stage) {
    return QLatin1String(StageNames[static_cast<std::size_t>(stage)]);
}

ParsedOptions parseSimOptions(const QStringList& arguments) {
    OptionSet set;
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(Description));
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    // Not addHelpOption(): its --help-all would be one more option to handle.
    const QCommandLineOption help({"h", "help"}, "Show this help.");
    const QCommandLineOption version("version", "Show the version.");
    parser.addOptions({help, version});
    parser.addOptions({set.address,      set.port,
                       set.once,         set.gapMs,
                       set.receiveStep,  set.eraseStep,
                       set.programStep,  set.noZero,
                       set.afterImage,   set.failAt,
                       set.errorAt,      set.errorText,
                       set.closeAt,      set.closeAfterReplies,
                       set.resetAt,      set.stopReadingAfter,
                       set.readRate,     set.listeners,
                       set.silentAt,     set.mergeReplies,
                       set.splitReplies, set.longReply,
                       set.garbage,      set.refuse,
                       set.minPauseMs,   set.idleTimeoutMs,
                       set.report,       set.reportLine});
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help))
        return {std::nullopt, 0, parser.helpText()};
    if (parser.isSet(version))
        return {std::nullopt, 0,
                QStringLiteral("encoder-sim %1\n").arg(QCoreApplication::applicationVersion())};
    if (!parser.positionalArguments().isEmpty())
        return failure(
            QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    SimOptions options;
    OptionReader reader(parser);
    readFlags(set, parser, options);
    readAddress(set, parser, reader, options);
    readNumbers(set, parser, reader, options);
    readStageFault(set, parser, reader, options);
    if (options.mergeReplies && options.splitReplies)
        reader.fail(QStringLiteral("--merge-replies and --split-replies shape the same reply; "
                                   "give one"));
    if (options.listeners > 1 && (options.once || options.refuse))
        reader.fail(QStringLiteral("--listeners serves on and on; it goes with neither --once nor "
                                   "--refuse"));
    if (!reader.error().isEmpty())
        return failure(reader.error());
    return {options, 0, {}};
}
