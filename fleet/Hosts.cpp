#include "Hosts.h"

#include "TcpClientChannel.h"

#include <QFile>
#include <QHash>
#include <QRegularExpression>

#include <arpa/inet.h>
#include <netinet/in.h>

namespace {

// A host name or a dotted IPv4 address: letters, digits, '.', '-' and '_' only, so that a
// path or any other text is refused before anything is looked up.
bool isHostText(const QString& host) {
    static const QRegularExpression hostText(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9._-]{1,253}")));
    return hostText.match(host).hasMatch();
}

// The window's port rule, which is the channel's: a service name, or a decimal number from
// 0 to 65535 (0 reaches no encoder).
std::optional<QString> parsePort(const QString& text, const QString& portText,
                                 std::uint16_t& port) {
    const QByteArray bytes = portText.toLocal8Bit();
    const PortText parsed = TcpClientChannel::ParsePort(bytes);
    port = parsed.port;
    if (parsed.fault == PortFault::NotANumber)
        return QStringLiteral("bad port in %1: %2")
            .arg(Quoted(text), TcpClientChannel::PortFaultText(bytes, parsed.fault));
    if (parsed.fault == PortFault::OutOfRange || port == 0)
        return QStringLiteral("port out of range in %1: give a port from 1 to 65535")
            .arg(Quoted(text));
    return std::nullopt;
}

std::optional<QString> readHostsFile(const QString& name, QList<EncoderAddress>& encoders) {
    QFile file;
    const bool standardInput = name == QLatin1String("-");
    const bool opened = standardInput ? file.open(stdin, QIODevice::ReadOnly)
                                      : (file.setFileName(name), file.open(QIODevice::ReadOnly));
    if (!opened)
        return QStringLiteral("cannot read the hosts file %1: %2")
            .arg(Quoted(name), file.errorString());
    // A hosts file is a short list; a larger one is no hosts file.
    constexpr qint64 Largest = 16 << 20;
    const QByteArray text = file.read(Largest + 1);
    if (text.size() > Largest)
        return QStringLiteral("the hosts file %1 is larger than 16 MiB").arg(Quoted(name));
    return ParseHostsText(text, standardInput ? QStringLiteral("standard input") : name, encoders);
}

} // namespace

// A bad line may be megabytes long: its first 200 bytes say enough.
QString Quoted(const QString& text) {
    constexpr qsizetype MostQuotedBytes = 200;
    const QByteArray bytes = text.toUtf8();
    if (bytes.size() <= MostQuotedBytes)
        return QLatin1Char('\'') + text + QLatin1Char('\'');
    qsizetype cut = MostQuotedBytes; // on a character's first byte
    while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80)
        --cut;
    return QStringLiteral("'%1...' (%2 bytes)")
        .arg(QString::fromUtf8(bytes.left(cut)), QString::number(bytes.size()));
}

std::optional<QString> ParseEncoderAddress(const QString& text, EncoderAddress& encoder) {
    encoder.label = text;
    const QStringList parts = text.split(QLatin1Char(':')); // the host, then the port if any
    const auto bad = [&text](const char* why) {
        return QStringLiteral("bad encoder address %1: %2").arg(Quoted(text), QLatin1String(why));
    };
    if (parts.size() > 2 || (parts.size() == 2 && text.startsWith(QLatin1Char('['))))
        return bad("give HOST or HOST:PORT with an IPv4 address or a host name (IPv6 is not "
                   "supported)");
    if (parts.size() == 2 && parts[1].isEmpty())
        return bad("the port after ':' is missing");
    if (parts[0].isEmpty())
        return bad("the host is missing");
    if (!isHostText(parts[0]))
        return bad("a host is an IPv4 address or a host name (letters, digits, '.', '-', '_')");
    encoder.host = parts[0].toLatin1();
    if (parts.size() == 2)
        return parsePort(text, parts[1], encoder.port);
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
            return QStringLiteral("%1, line %2: %3")
                .arg(source, QString::number(number + 1), *error);
        encoders.append(encoder);
    }
    return std::nullopt;
}

std::optional<QString> ReadHostsFiles(const QStringList& files, QList<EncoderAddress>& encoders) {
    for (const QString& name : files) {
        if (auto error = readHostsFile(name, encoders))
            return error;
    }
    if (encoders.isEmpty())
        return QStringLiteral("no HOST is given, on the command line or in a hosts file");
    return std::nullopt;
}

std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders) {
    QHash<QString, QString> seen; // the label of each address and port
    for (EncoderAddress& encoder : encoders) {
        // Plain dotted text, whether named so or by a host name; 0.0.0.0 (what "0" and an
        // empty host give) reaches no encoder.
        encoder.address = TcpClientChannel::LookupHostAddr(encoder.host);
        const in_addr_t address = ::inet_addr(encoder.address.constData());
        if (address == INADDR_NONE || address == INADDR_ANY)
            return QStringLiteral("host %1 does not resolve to an IPv4 address of an encoder")
                .arg(Quoted(QString::fromLocal8Bit(encoder.host)));
        const QString key =
            QStringLiteral("%1:%2").arg(QString::fromLatin1(encoder.address)).arg(encoder.port);
        // One encoder takes one upgrade at a time.
        if (const auto first = seen.constFind(key); first != seen.constEnd()) {
            if (*first == encoder.label)
                return QStringLiteral("encoder %1 is named twice").arg(Quoted(encoder.label));
            return QStringLiteral("encoder %1 is named twice: %2 and %3 are both %4")
                .arg(Quoted(encoder.label), Quoted(*first), Quoted(encoder.label), key);
        }
        seen.insert(key, encoder.label);
    }
    return std::nullopt;
}
