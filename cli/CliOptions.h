#pragma once

#include "FleetSettings.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

inline constexpr char CliName[] = "fwupgrade-cli";

enum class OutputMode { Auto, Plain, Json };

// The command line: the fleet's settings, and how the front end shows the run.
struct CliOptions : FleetSettings {
    OutputMode output = OutputMode::Auto;
    bool yes = false; // no question on a terminal
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

// A word as a POSIX shell reads it back.
QString ShellQuoted(const QString& word);
// The name of a record of the rerun: "-rerun" before the extension, or the next number.
QString RerunRecordName(const QString& path);
// The command that tries the encoders not done again with the same image and options but
// --canary (a canary still dead would hold back the repaired one): from the failed-hosts file
// when one is written, otherwise named one by one; its records named by RerunRecordName.
QString RerunCommand(const CliOptions& options, const QStringList& notDone,
                     bool failedHostsWritten = true);
