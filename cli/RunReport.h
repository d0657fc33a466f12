#pragma once

#include "CliOptions.h"
#include "Reporter.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>

#include <optional>

// What --report and --failed-hosts write once the run is over, and the event loop's longest
// stall over the run (a late tick of a 25 ms timer), which the report includes.
class RunReport {
public:
    explicit RunReport(const ImageSummary& image);

    // Writes the files the options ask for; an error text when one cannot be written.
    std::optional<QString> write(const CliOptions& options, const QList<EncoderOutcome>& outcomes,
                                 int exitCode) const;
    qint64 longestStallMs() const { return longestStall; }

private:
    QJsonObject document(const QList<EncoderOutcome>& outcomes, int exitCode) const;

    ImageSummary image;
    QDateTime started;
    QTimer tick;
    QElapsedTimer sinceTick;
    qint64 longestStall = 0;
};

// --check: what the run would do, on standard output, without connecting to anything.
void PrintCheck(const ImageSummary& image, const CliOptions& options);
