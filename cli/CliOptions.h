#pragma once

#include "Hosts.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

inline constexpr char CliName[] = "fwupgrade-cli";

enum class OutputMode { Auto, Plain, Json };

struct CliOptions {
    QString imagePath;
    QByteArray imageNativePath; // the path's bytes as given, valid UTF-8 or not
    QList<EncoderAddress> encoders;
    QStringList hostsFiles; // "-" is standard input
    OutputMode output = OutputMode::Auto;
    // An encoder that sends nothing for this long has failed; none: no bound (--silence 0).
    std::optional<double> silenceSeconds = 600;
    // One encoder's whole upgrade may take this long; none: no bound (--timeout 0).
    std::optional<double> timeoutSeconds = 3600;
    double connectTimeoutSeconds = 10;
    int retries = 0;
    double retryDelaySeconds = 5;
    // At most this many encoders in flight at once; 0: all.
    int maxParallel = 0;
    // The first this many encoders go first; the rest start only if all of them succeeded.
    int canary = 0;
    // Once this many encoders have failed (a percentage of them when maxFailuresPercent), no
    // further encoder is started; 0: no bound.
    int maxFailures = 0;
    bool maxFailuresPercent = false;
    bool yes = false; // no question on a terminal
    bool check = false;
    bool allowEmpty = false;
    QString reportFile;
    QString failedHostsFile;
    // The image's SHA-256 in lower case, when it is pinned.
    QString expectSha256;
    // Each encoder's end is appended here; empty with --no-history.
    QString historyFile;
    bool skipDone = false;
    // Where each encoder's lock is held while it is upgraded (EncoderLockFolder).
    QString lockFolder;
    // The options as given that shape how encoders are upgraded, for the command that reruns
    // the failed encoders.
    QStringList rerunOptions;
};

// Usable options, or a text to print and the status to leave with: 0 with the help, version
// or completion text for stdout, 2 with an error for stderr.
struct ParsedCommandLine {
    std::optional<CliOptions> options;
    int exitCode = 0;
    QString message;
};

// `arguments` includes the program name, as argv does. Checks the syntax of every option and
// encoder address; hosts files are read and names resolved later (ReadHostsFiles,
// ResolveEncoders), once the image is known to be good.
ParsedCommandLine ParseCommandLine(const QStringList& arguments);

QString HelpText();
// A bash completion script for the program: its options and what each one's value is.
QString BashCompletion();
