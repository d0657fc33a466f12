#include "CliOptions.h"

#include "FirmwareImage.h"
#include "ProgramError.h"
#include "TcpClientChannel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cmath>

namespace {

// A day: far beyond any erase, and small enough for a timer.
constexpr double LongestSeconds = 86'400;
constexpr int MostRetries = 1000;

QString quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

ParsedCommandLine failure(const QString& message) {
    return {std::nullopt, 2, message};
}

// A host name or a dotted IPv4 address: letters, digits, '.', '-' and '_' only, so that a
// path or any other text is refused before anything is looked up.
bool isHostText(const QString& host) {
    if (host.isEmpty() || host.size() > 253)
        return false;
    for (const QChar c : host) {
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != QLatin1Char('.') &&
            c != QLatin1Char('-') && c != QLatin1Char('_'))
            return false;
    }
    return true;
}

// The window's port rule, which is the channel's: a service name, or a decimal number from
// 0 to 65535 (0 reaches no encoder).
std::optional<QString> parsePort(const QString& text, const QString& portText,
                                 std::uint16_t& port) {
    const auto outOfRange = [&text] {
        return QStringLiteral("port out of range in %1: give a port from 1 to 65535")
            .arg(quoted(text));
    };
    try {
        port = TcpClientChannel::LookupPort(portText.toLocal8Bit());
    } catch (const ProgramError& error) {
        if (error.message().endsWith(QLatin1String("not a valid port number")))
            return outOfRange();
        return QStringLiteral("bad port in %1: %2").arg(quoted(text), error.message());
    }
    if (port == 0)
        return outOfRange();
    return std::nullopt;
}

std::optional<double> parseSeconds(const QString& text, bool zeroAllowed) {
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds < 0 || seconds > LongestSeconds ||
        (!zeroAllowed && seconds == 0))
        return std::nullopt;
    return seconds;
}

// The options that shape how encoders are upgraded, as given.
QStringList rerunOptionsOf(const QCommandLineParser& parser,
                           const QList<QCommandLineOption>& options) {
    QStringList given;
    for (const QCommandLineOption& option : options) {
        if (!parser.isSet(option))
            continue;
        given << QStringLiteral("--") + option.names().last();
        if (!option.valueName().isEmpty())
            given << parser.value(option);
    }
    return given;
}

std::optional<int> parseCount(const QString& text, int smallest, int largest) {
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < smallest || value > largest)
        return std::nullopt;
    return value;
}

class OptionReader {
public:
    explicit OptionReader(QCommandLineParser& parser) : parser(parser) {}

    // The one value of an option given at most once.
    std::optional<QString> single(const QCommandLineOption& option) {
        const QStringList values = parser.values(option);
        if (values.size() > 1)
            error = QStringLiteral("--%1 is given more than once").arg(option.names().last());
        return values.isEmpty() ? std::nullopt : std::optional<QString>(values.last());
    }
    void seconds(const QCommandLineOption& option, bool zeroAllowed, std::optional<double>& to) {
        const std::optional<QString> text = single(option);
        if (!text || error)
            return;
        to = parseSeconds(*text, zeroAllowed);
        if (!to)
            error = QStringLiteral("bad --%1 %2: give a number of seconds %3 and up to %4")
                        .arg(option.names().last(), quoted(*text),
                             zeroAllowed ? QStringLiteral("from 0") : QStringLiteral("above 0"))
                        .arg(LongestSeconds);
    }
    void count(const QCommandLineOption& option, int smallest, int largest, int& to) {
        const std::optional<QString> text = single(option);
        if (!text || error)
            return;
        if (const std::optional<int> value = parseCount(*text, smallest, largest))
            to = *value;
        else
            error = QStringLiteral("bad --%1 %2: give a whole number from %3 to %4")
                        .arg(option.names().last(), quoted(*text))
                        .arg(smallest)
                        .arg(largest);
    }

    std::optional<QString> error;

private:
    QCommandLineParser& parser;
};

std::optional<QString> appendEncoders(const QStringList& texts, CliOptions& options) {
    for (const QString& text : texts) {
        EncoderAddress encoder;
        if (auto error = ParseEncoderAddress(text, encoder))
            return error;
        options.encoders.append(encoder);
    }
    return std::nullopt;
}

std::optional<QString> readHostsFile(const QString& name, QList<EncoderAddress>& encoders) {
    QFile file;
    const bool standardInput = name == QLatin1String("-");
    const bool opened = standardInput ? file.open(stdin, QIODevice::ReadOnly)
                                      : (file.setFileName(name), file.open(QIODevice::ReadOnly));
    if (!opened)
        return QStringLiteral("cannot read the hosts file %1: %2")
            .arg(quoted(name), file.errorString());
    // A hosts file is a short list; a larger one is no hosts file.
    constexpr qint64 Largest = 16 << 20;
    const QByteArray text = file.read(Largest + 1);
    if (text.size() > Largest)
        return QStringLiteral("the hosts file %1 is larger than 16 MiB").arg(quoted(name));
    return ParseHostsText(text, standardInput ? QStringLiteral("standard input") : name, encoders);
}

} // namespace

std::optional<QString> ParseEncoderAddress(const QString& text, EncoderAddress& encoder) {
    encoder.label = text;
    QString host = text;
    QString portText;
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (text.indexOf(QLatin1Char(':'), colon + 1) >= 0 || text.startsWith(QLatin1Char('[')))
            return QStringLiteral("bad encoder address %1: give HOST or HOST:PORT with an IPv4 "
                                  "address or a host name (IPv6 is not supported)")
                .arg(quoted(text));
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (portText.isEmpty())
            return QStringLiteral("bad encoder address %1: the port after ':' is missing")
                .arg(quoted(text));
    }
    if (host.isEmpty())
        return QStringLiteral("bad encoder address %1: the host is missing").arg(quoted(text));
    if (!isHostText(host))
        return QStringLiteral("bad encoder address %1: a host is an IPv4 address or a host "
                              "name (letters, digits, '.', '-', '_')")
            .arg(quoted(text));
    encoder.host = host.toLatin1();
    if (!portText.isEmpty()) {
        if (auto error = parsePort(text, portText, encoder.port))
            return error;
    }
    return std::nullopt;
}

std::optional<QString> ParseHostsText(const QByteArray& text, const QString& source,
                                      QList<EncoderAddress>& encoders) {
    const QList<QByteArray> lines = text.split('\n');
    for (qsizetype number = 0; number < lines.size(); ++number) {
        QByteArray line = lines[number];
        const qsizetype comment = line.indexOf('#');
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
        if (line.isEmpty())
            continue;
        EncoderAddress encoder;
        if (auto error = ParseEncoderAddress(QString::fromLocal8Bit(line), encoder))
            return QStringLiteral("%1, line %2: %3").arg(source).arg(number + 1).arg(*error);
        encoders.append(encoder);
    }
    return std::nullopt;
}

std::optional<QString> ReadHostsFiles(CliOptions& options) {
    for (const QString& name : options.hostsFiles) {
        if (auto error = readHostsFile(name, options.encoders))
            return error;
    }
    if (options.encoders.isEmpty())
        return QStringLiteral("no HOST is given, on the command line or in a hosts file");
    return std::nullopt;
}

std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders) {
    QHash<QString, qsizetype> seen;
    for (qsizetype i = 0; i < encoders.size(); ++i) {
        EncoderAddress& encoder = encoders[i];
        const QByteArray dotted = TcpClientChannel::LookupHostAddr(encoder.host);
        // One address may be named twice, as a dotted address and as a host name.
        const in_addr_t address = dotted.isEmpty() ? INADDR_NONE : ::inet_addr(dotted.constData());
        in_addr shown{};
        shown.s_addr = address;
        encoder.address = address == INADDR_NONE ? QByteArray() : QByteArray(::inet_ntoa(shown));
        // 0.0.0.0 (what "0" and an empty host give) reaches no encoder.
        if (encoder.address.isEmpty() || encoder.address == "0.0.0.0")
            return QStringLiteral("host %1 does not resolve to an IPv4 address of an encoder")
                .arg(quoted(QString::fromLocal8Bit(encoder.host)));
        const QString key =
            QStringLiteral("%1:%2").arg(QString::fromLatin1(encoder.address)).arg(encoder.port);
        // One encoder takes one upgrade at a time.
        if (const auto earlier = seen.constFind(key); earlier != seen.constEnd()) {
            const QString first = encoders[*earlier].label;
            if (first == encoder.label)
                return QStringLiteral("encoder %1 is named twice").arg(quoted(encoder.label));
            return QStringLiteral("encoder %1 is named twice: %2 and %3 are both %4")
                .arg(quoted(encoder.label), quoted(first), quoted(encoder.label), key);
        }
        seen.insert(key, i);
    }
    return std::nullopt;
}

ParsedCommandLine ParseCommandLine(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, {});
    const QCommandLineOption version(QStringLiteral("version"), {});
    const QCommandLineOption json(QStringLiteral("json"), {});
    const QCommandLineOption plain(QStringLiteral("plain"), {});
    const QCommandLineOption silence(QStringLiteral("silence"), {}, QStringLiteral("s"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), {}, QStringLiteral("s"));
    const QCommandLineOption connectTimeout(QStringLiteral("connect-timeout"), {},
                                            QStringLiteral("s"));
    const QCommandLineOption retries(QStringLiteral("retries"), {}, QStringLiteral("n"));
    const QCommandLineOption retryDelay(QStringLiteral("retry-delay"), {}, QStringLiteral("s"));
    const QCommandLineOption maxParallel(QStringLiteral("max-parallel"), {}, QStringLiteral("n"));
    const QCommandLineOption hostsFile(QStringLiteral("hosts-file"), {}, QStringLiteral("file"));
    const QCommandLineOption check(QStringLiteral("check"), {});
    const QCommandLineOption allowEmpty(QStringLiteral("allow-empty"), {});
    const QCommandLineOption report(QStringLiteral("report"), {}, QStringLiteral("file"));
    const QCommandLineOption failedHosts(QStringLiteral("failed-hosts"), {},
                                         QStringLiteral("file"));
    parser.addOptions({help, version, json, plain, silence, timeout, connectTimeout, retries,
                       retryDelay, maxParallel, hostsFile, check, allowEmpty, report, failedHosts});
    if (!parser.parse(arguments))
        return failure(parser.errorText());
    if (parser.isSet(help))
        return {std::nullopt, 0, HelpText()};
    if (parser.isSet(version))
        return {std::nullopt, 0,
                QStringLiteral("%1 %2\n").arg(QLatin1String(CliName),
                                              QCoreApplication::applicationVersion())};

    CliOptions options;
    if (parser.isSet(json) && parser.isSet(plain))
        return failure(QStringLiteral("--json and --plain exclude each other"));
    if (parser.isSet(json))
        options.output = OutputMode::Json;
    else if (parser.isSet(plain))
        options.output = OutputMode::Plain;
    OptionReader reader(parser);
    reader.seconds(silence, false, options.silenceSeconds);
    reader.seconds(timeout, false, options.timeoutSeconds);
    std::optional<double> connectBound;
    reader.seconds(connectTimeout, false, connectBound);
    std::optional<double> delay;
    reader.seconds(retryDelay, true, delay);
    reader.count(retries, 0, MostRetries, options.retries);
    reader.count(maxParallel, 1, 1'000'000, options.maxParallel);
    options.reportFile = reader.single(report).value_or(QString());
    options.failedHostsFile = reader.single(failedHosts).value_or(QString());
    if (reader.error)
        return failure(*reader.error);
    options.connectTimeoutSeconds = connectBound.value_or(options.connectTimeoutSeconds);
    options.retryDelaySeconds = delay.value_or(options.retryDelaySeconds);
    options.hostsFiles = parser.values(hostsFile);
    if (options.hostsFiles.count(QStringLiteral("-")) > 1)
        return failure(QStringLiteral("--hosts-file - (standard input) is given more than once"));
    options.check = parser.isSet(check);
    options.allowEmpty = parser.isSet(allowEmpty);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return failure(QStringLiteral("the IMAGE and at least one HOST are missing"));
    if (positional.size() < 2 && options.hostsFiles.isEmpty())
        return failure(QStringLiteral("at least one HOST (or --hosts-file) is missing after the "
                                      "IMAGE"));
    options.imagePath = positional.first();
    if (auto error = appendEncoders(positional.mid(1), options))
        return failure(*error);
    options.rerunOptions = rerunOptionsOf(parser, {json, plain, silence, timeout, connectTimeout,
                                                   retries, retryDelay, maxParallel, allowEmpty});
    return {options, 0, {}};
}

QString HelpText() {
    return QStringLiteral(
               R"(Usage: %1 [options] IMAGE [HOST[:PORT]...]

Upgrades the firmware of one or more encoders with IMAGE, all at the same time.

IMAGE is a raw firmware file of at most %2 bytes; a longer one is refused with
"FILE TOO LONG", an empty one unless --allow-empty is given. Its length, fill percentage
and checksum are printed first, as the window shows them. It is checked before any host
is looked up.

HOST is an IPv4 address (dotted) or a host name; PORT is a number from 1 to 65535 or a
service name (default 999). Hosts come from the command line and from --hosts-file, in
that order; one encoder named twice (also under two spellings of its address) is refused.
Each encoder is upgraded over its own TCP connection:
  1. connect (at most --connect-timeout, 10 s by default, or until the system gives up
     sooner; tried again with --retries),
  2. "send data header": the 12-byte header (reserved 0, length, checksum),
  3. a pause of 1,000 ms, counted from the encoder's acknowledgement of the header,
  4. "send program": the whole image (failing when the encoder acknowledges no byte for
     30 s; progress, rate and time left count the bytes the encoder acknowledged),
  5. the encoder's replies, read once it has acknowledged the whole image: receiving the
     image, erasing flash, programming flash, to "verify flash program...done".
An encoder fails on "flash program fail", on "*** ERROR ***" and its error text, when it
closes the connection early, when it cannot be reached ("SERVER NOT READY"), when a send
fails ("!!! SEND TO ENCODER FAILED !!!"), on --silence or on --timeout. An encoder that
vanishes (power cut, cable pulled: no answer even from its network stack) at any stage
after the connect ends as connection-lost within 32 s: TCP gives up on bytes it leaves
unacknowledged for 30 s, and probes a quiet connection after 10 s, then every 5 s, giving
up 30 s after its last word. An encoder that is there but quiet (a long erase) answers the
probes and is waited for.

Options:
  -h, --help               Show this help and exit.
  --version                Show the version and exit.
  --hosts-file FILE        Read more hosts from FILE ("-": standard input), one HOST[:PORT]
                           per line; blank lines and '#' comments are ignored. Repeatable.
  --max-parallel N         Upgrade at most N encoders at once (connect to end); the rest
                           wait their turn in the order given. Default: all at once.
  --connect-timeout SECONDS  Give up a connect after SECONDS (default 10); one the system
                           gives up on sooner fails then, saying so.
  --retries N              Try a connect that failed (refused, unreachable, timed out) up to
                           N times more. Never once a byte of the header has gone: an encoder
                           is not sent anything twice in a run. Default 0.
  --retry-delay SECONDS    Wait SECONDS between two connects of one encoder (default 5).
  --silence SECONDS        Fail an encoder that has sent nothing for SECONDS once it has
                           acknowledged its whole image (off by default: an erase may take
                           long).
  --timeout SECONDS        Fail an encoder whose whole upgrade takes longer than SECONDS
                           (off by default).
  --allow-empty            Send an empty image (the encoder erases its flash and programs
                           nothing).
  --check                  Read and check the image, resolve every host, print what would
                           be done and exit (0 or 2), without opening any connection.
  --report FILE            At the end, write one JSON document to FILE: the image, the start
                           and end time, and per encoder its result, cause, stage, attempts
                           and duration.
  --failed-hosts FILE      At the end, write the hosts that failed to FILE, one per line,
                           ready for --hosts-file.
  --json                   One JSON object per line for each event, for scripts (see below).
  --plain                  Plain lines even when the output is a terminal.

Output: on a terminal (not with TERM=dumb), the log lines scroll: the program's own and
the encoder's replies, each prefixed with the encoder's HOST[:PORT] as given; below them
one status line per encoder (its stage and percentage; while the image goes out, its rate
and the time left) and an overall line (encoders done, failed, in flight) are redrawn in
place. Otherwise, plain lines. At the end a summary names each encoder that failed, with
its reason, and the command that tries the failed ones again; it goes to standard error
too when standard output is not a terminal.

--json events (each object has "schema" 1, "event", "ms" since the start and "time",
the wall-clock time in ISO 8601):
  image      path, length, lengthText, fill, fillText, checksum, hosts
  connect    host, address, port, attempt          a connect begins
  connected  host, remoteHost, remotePort, localHostName, localAddress
  log        host, log ("upgrade", "device" or "notice"), text
  stage      host, stage (sending, erasing, programming), text
  progress   host, stage (transfer, sending, erasing, programming), position, percent
  retry      host, attempt, attempts, reason, delay   a connect failed; another follows
  end        host, result ("success" or "failure"), cause, reason, stage, attempts, durationMs
  interrupted signal, immediately, leftToFinish
  warning    host, stage, text               an encoder left erasing or programming
  summary    exitCode, succeeded, failed, rerun
  error      exitCode, message               the run cannot go ahead (status 2)
The cause of an end is one of success, program-fail, encoder-error, connection-lost,
send-failed, not-reachable, no-answer, timed-out, interrupted.

Exit status: 0 when every encoder reported "verify flash program...done"; 1 when any
failed; 2 for a bad command line, hosts file, host or image (nothing is sent then);
128 + the signal's number when interrupted (130 SIGINT, 143 SIGTERM, 129 SIGHUP).

The first SIGINT (Ctrl-C), SIGTERM or SIGHUP starts no new connection and stops every
encoder that has not yet begun to erase its flash; each encoder already erasing or
programming is named with "!!! DO NOT SWITCH POWER OFF !!!" and left to finish (one that
vanishes meanwhile ends as connection-lost, so the run ends). A second signal stops them
all at once, naming each one left in the middle of writing its flash.
)")
        .arg(QLatin1String(CliName))
        .arg(MaxImageSize);
}
