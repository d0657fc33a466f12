#pragma once

#include "EncoderProtocol.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

inline constexpr char CliName[] = "fwupgrade-cli";

// One encoder named on the command line or in a hosts file.
struct EncoderAddress {
    QString label;      // the text as given: how every line names this encoder
    QByteArray host;    // the host text as given
    QByteArray address; // the host as a dotted IPv4 address, once resolved
    std::uint16_t port = DefaultEncoderPort;
};

enum class OutputMode { Auto, Plain, Json };

struct CliOptions {
    QString imagePath;
    QByteArray imageNativePath; // the path's bytes as given, valid UTF-8 or not
    QList<EncoderAddress> encoders;
    QStringList hostsFiles; // "-" is standard input
    OutputMode output = OutputMode::Auto;
    // An encoder that sends nothing for this long has failed; none when not given.
    std::optional<double> silenceSeconds;
    // One encoder's whole upgrade may take this long; none when not given.
    std::optional<double> timeoutSeconds;
    double connectTimeoutSeconds = 10;
    int retries = 0;
    double retryDelaySeconds = 5;
    // At most this many encoders in flight at once; 0: all.
    int maxParallel = 0;
    bool check = false;
    bool allowEmpty = false;
    QString reportFile;
    QString failedHostsFile;
    // The options as given, less the hosts and the image: for the command that reruns the
    // failed encoders.
    QStringList rerunOptions;
};

// Usable options, or a text to print and the status to leave with: 0 with the help or
// version text for stdout, 2 with an error for stderr.
struct ParsedCommandLine {
    std::optional<CliOptions> options;
    int exitCode = 0;
    QString message;
};

// `arguments` includes the program name, as argv does. Checks the syntax of every option and
// encoder address; hosts files are read and names resolved later (ReadHostsFiles,
// ResolveEncoders), once the image is known to be good.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

// Splits HOST[:PORT] and checks the host's syntax and the port (the channel's rule: a
// service name or a number, 1 to 65535); an error text when the text is no address.
std::optional<QString> ParseEncoderAddress(const QString& text, EncoderAddress& encoder);

// The encoders of a hosts file's text: one HOST[:PORT] per line, blank lines and '#'
// comments ignored. `source` names the file in error texts (with the line number).
std::optional<QString> ParseHostsText(const QByteArray& text, const QString& source,
                                      QList<EncoderAddress>& encoders);

// Reads every hosts file of the options into options.encoders, after the hosts given on the
// command line. An error text names the file and, for a bad line, its number.
std::optional<QString> ReadHostsFiles(CliOptions& options);

// Resolves every host to a dotted IPv4 address, as the channel would when it connects, and
// refuses one encoder named twice (the same address and port under two spellings too); the
// error text names the host, or both spellings.
std::optional<QString> ResolveEncoders(QList<EncoderAddress>& encoders);

QString HelpText();
