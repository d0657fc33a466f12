#pragma once

#include "EncoderProtocol.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

inline constexpr char CliName[] = "fwupgrade-cli";

// One encoder named on the command line.
struct EncoderAddress {
    QString label;      // the argument as typed: how every line names this encoder
    QByteArray host;    // the host text as typed
    QByteArray address; // the host as a dotted IPv4 address, once resolved
    std::uint16_t port = DefaultEncoderPort;
};

enum class OutputMode { Auto, Plain, Json };

struct CliOptions {
    QString imagePath;
    QList<EncoderAddress> encoders;
    OutputMode output = OutputMode::Auto;
    // An encoder that sends nothing for this long has failed; none when not given.
    std::optional<double> silenceSeconds;
};

// Usable options, or a text to print and the status to leave with: 0 with the help or
// version text for stdout, 2 with an error for stderr.
struct ParsedCommandLine {
    std::optional<CliOptions> options;
    int exitCode = 0;
    QString message;
};

// `arguments` includes the program name, as argv does. Checks the syntax of every encoder
// address and its port; host names are resolved later, by ResolveEncoders.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// Splits HOST[:PORT] and checks the port; an error text when the argument is no address.
std::optional<QString> ParseEncoderAddress(const QString& argument, EncoderAddress& encoder);

// Resolves every host to a dotted IPv4 address, as the channel would when it connects;
// the error text names the first host that does not resolve.
std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders);

QString HelpText();
