#include "CliOptions.h"

#include "FirmwareImage.h"
#include "ProgramError.h"
#include "TcpClientChannel.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSet>

#include <cmath>

namespace {

// A day: far beyond any erase, and small enough for a timer.
constexpr double LongestSilence = 86'400;

QString quoted(const QString& text) {
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

ParsedCommandLine failure(const QString& message) {
    return {std::nullopt, 2, message};
}

bool allDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return true;
}

// A decimal port from 1 to 65535, or a service name (as the window's port box takes it).
std::optional<QString> parsePort(const QString& argument, const QString& text,
                                 std::uint16_t& port) {
    if (allDigits(text)) {
        qsizetype first = 0;
        while (first < text.size() - 1 && text[first] == QLatin1Char('0'))
            ++first;
        const QString digits = text.mid(first);
        const int value = digits.size() <= 5 ? digits.toInt() : 0;
        if (value < 1 || value > 65535)
            return QStringLiteral("port out of range in %1: give a port from 1 to 65535")
                .arg(quoted(argument));
        port = static_cast<std::uint16_t>(value);
        return std::nullopt;
    }
    try {
        port = TcpClientChannel::LookupPort(text.toLocal8Bit());
    } catch (const ProgramError& error) {
        return QStringLiteral("bad port in %1: %2").arg(quoted(argument), error.message());
    }
    if (port == 0)
        return QStringLiteral("port out of range in %1: give a port from 1 to 65535")
            .arg(quoted(argument));
    return std::nullopt;
}

std::optional<QString> parseSilence(const QString& text, CliOptions& options) {
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > LongestSilence)
        return QStringLiteral("bad --silence %1: give a number of seconds above 0 and up to %2")
            .arg(quoted(text))
            .arg(LongestSilence);
    options.silenceSeconds = seconds;
    return std::nullopt;
}

std::optional<QString> parseEncoders(const QStringList& arguments, CliOptions& options) {
    QSet<QString> seen;
    for (const QString& argument : arguments) {
        EncoderAddress encoder;
        if (auto error = ParseEncoderAddress(argument, encoder))
            return error;
        const QString key = QString::fromLocal8Bit(encoder.host).toLower() + QLatin1Char(':') +
                            QString::number(encoder.port);
        // One encoder takes one upgrade at a time.
        if (seen.contains(key))
            return QStringLiteral("encoder %1 is named twice").arg(quoted(argument));
        seen.insert(key);
        options.encoders.append(encoder);
    }
    return std::nullopt;
}

} // namespace

std::optional<QString> ParseEncoderAddress(const QString& argument, EncoderAddress& encoder) {
    encoder.label = argument;
    QString host = argument;
    QString portText;
    const qsizetype colon = argument.indexOf(QLatin1Char(':'));
    if (colon >= 0) {
        if (argument.indexOf(QLatin1Char(':'), colon + 1) >= 0 ||
            argument.startsWith(QLatin1Char('[')))
            return QStringLiteral("bad encoder address %1: give HOST or HOST:PORT with an IPv4 "
                                  "address or a host name (IPv6 is not supported)")
                .arg(quoted(argument));
        host = argument.left(colon);
        portText = argument.mid(colon + 1);
        if (portText.isEmpty())
            return QStringLiteral("bad encoder address %1: the port after ':' is missing")
                .arg(quoted(argument));
    }
    if (host.isEmpty())
        return QStringLiteral("bad encoder address %1: the host is missing").arg(quoted(argument));
    encoder.host = host.toLocal8Bit();
    if (!portText.isEmpty()) {
        if (auto error = parsePort(argument, portText, encoder.port))
            return error;
    }
    return std::nullopt;
}

std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders) {
    for (EncoderAddress& encoder : encoders) {
        encoder.address = TcpClientChannel::LookupHostAddr(encoder.host);
        // 0.0.0.0 (what an empty host gives) reaches no encoder.
        if (encoder.address.isEmpty() || encoder.address == "0.0.0.0")
            return QStringLiteral("host %1 does not resolve to an IPv4 address")
                .arg(quoted(QString::fromLocal8Bit(encoder.host)));
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
    const QCommandLineOption silence(QStringLiteral("silence"), {}, QStringLiteral("seconds"));
    parser.addOptions({help, version, json, plain, silence});
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
    if (parser.isSet(silence)) {
        if (parser.values(silence).size() > 1)
            return failure(QStringLiteral("--silence is given more than once"));
        if (auto error = parseSilence(parser.value(silence), options))
            return failure(*error);
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return failure(QStringLiteral("the IMAGE and at least one HOST are missing"));
    if (positional.size() < 2)
        return failure(QStringLiteral("at least one HOST is missing after the IMAGE"));
    options.imagePath = positional.first();
    if (auto error = parseEncoders(positional.mid(1), options))
        return failure(*error);
    return {options, 0, {}};
}

QString HelpText() {
    return QStringLiteral(
               R"(Usage: %1 [options] IMAGE HOST[:PORT]...

Upgrades the firmware of one or more encoders with IMAGE, all at the same time.

IMAGE is a raw firmware file of at most %2 bytes; a longer one is refused with
"FILE TOO LONG". Its length, fill percentage and checksum are printed first, as the
window shows them.

HOST is an IPv4 address (dotted) or a host name; PORT is a number from 1 to 65535 or a
service name (default 999). Each encoder is upgraded over its own TCP connection:
  1. connect (at most 10 s),
  2. "send data header": the 12-byte header (reserved 0, length, checksum),
  3. a pause of 1,000 ms,
  4. "send program": the whole image (failing when the encoder takes no byte for 30 s),
  5. the encoder's replies, read once the image has been sent: receiving the image,
     erasing flash, programming flash, to "verify flash program...done".
An encoder fails on "flash program fail", on "*** ERROR ***" and its error text, when it
closes the connection early, when it cannot be reached ("SERVER NOT READY"), when a send
fails ("!!! SEND TO ENCODER FAILED !!!"), or on --silence.

Options:
  -h, --help         Show this help and exit.
  --version          Show the version and exit.
  --json             One JSON object per line for each event, for scripts (see below).
  --plain            Plain lines even when the output is a terminal.
  --silence SECONDS  Fail an encoder that has sent nothing for SECONDS once its image has
                     been sent (off by default: an erase may take long).

Output: on a terminal, one line per encoder with its stage and percentage, updated in
place, and every log line (the program's own and the encoder's replies) prefixed with the
encoder's HOST[:PORT] as given. When the output is no terminal, plain lines. At the end a
summary names each encoder that failed, with its reason.

--json events (each object has "event", and "ms" since the start):
  image      path, length, lengthText, fill, checksum, hosts
  connect    host, address, port             a connect begins
  connected  host, remoteHost, remotePort, localHostName, localAddress
  log        host, log ("upgrade", "device" or "notice"), text
  stage      host, stage (sending, erasing, programming), text
  progress   host, stage (transfer, sending, erasing, programming), position, percent
  end        host, result ("success" or "failure"), reason
  interrupted signal
  warning    host, stage, text               an encoder left erasing or programming
  summary    exitCode, succeeded [hosts], failed [{host, reason}]

Exit status: 0 when every encoder reported "verify flash program...done"; 1 when any
failed or the run was interrupted; 2 for a bad command line, a host that does not
resolve, or an image that cannot be read or is too long.

Ctrl-C (SIGINT) or SIGTERM ends the run at once: every connection is closed, and each
encoder that was erasing or programming its flash is named with the warning
"!!! DO NOT SWITCH POWER OFF !!!".
)")
        .arg(QLatin1String(CliName))
        .arg(MaxImageSize);
}
