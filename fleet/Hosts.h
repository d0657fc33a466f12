#pragma once

#include "EncoderProtocol.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

// One encoder named on the command line or in a hosts file.
struct EncoderAddress {
    QString label;      // the text as given: how every line names this encoder
    QByteArray host;    // the host text as given
    QByteArray address; // the host as a dotted IPv4 address, once resolved
    std::uint16_t port = DefaultEncoderPort;
};

// Splits HOST[:PORT] and checks the host's syntax and the port (the channel's rule: a
// service name or a number, 1 to 65535); an error text when the text is no address.
std::optional<QString> ParseEncoderAddress(const QString& text, EncoderAddress& encoder);

// The encoders of a hosts file's text: one HOST[:PORT] per line, blank lines and '#'
// comments ignored. `source` names the file in error texts (with the line number).
std::optional<QString> ParseHostsText(const QByteArray& text, const QString& source,
                                      QList<EncoderAddress>& encoders);

// Reads the hosts files ("-" is standard input) into `encoders`, after those already there.
// An error text names the file and, for a bad line, its number; no encoder at all is one too.
std::optional<QString> ReadHostsFiles(const QStringList& files, QList<EncoderAddress>& encoders);

// Resolves every host to a dotted IPv4 address, as the channel would when it connects, and
// refuses one encoder named twice (the same address and port under two spellings too); the
// error text names the host, or both spellings.
std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders);

// 'text', as error messages quote what was given: at most its first 200 bytes.
QString Quoted(const QString& text);
