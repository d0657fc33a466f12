#pragma once

#include "OutputChannel.h"
#include "RunEvent.h"

#include <QElapsedTimer>
#include <QHash>
#include <QPair>

#include <memory>

enum class OutputMode;

// Where a run's events go: plain lines, lines with a status panel on a terminal, or JSON.
class RunOutput : public FleetSink {
public:
    RunOutput(OutputChannel& out, OutputChannel& err) : out(out), err(err) {}

protected:
    OutputChannel& out;
    OutputChannel& err;
};

// Plain lines for logs: every event's lines, a progress line at each quarter only, and the
// summary on standard error too when standard output is no terminal.
class PlainOutput : public RunOutput {
public:
    using RunOutput::RunOutput;
    void write(const RunEvent& event) override;
    int progressStep() const override { return 25; } // a line at each quarter

protected:
    virtual void print(const QStringList& lines, OutputChannel::Kind kind);

private:
    bool reachesNextQuarter(const RunEvent& progress);

    QHash<QPair<int, QString>, int> quarterPrinted; // per encoder and stage
};

// One JSON object per line and event, for scripts; `ms` counts from the image event.
class JsonOutput : public RunOutput {
public:
    JsonOutput(OutputChannel& out, OutputChannel& err, const QString& runId)
        : RunOutput(out, err), runId(runId) {}
    void write(const RunEvent& event) override;

private:
    QElapsedTimer clock;
    QString runId;
};

// The output for the chosen mode: JSON, plain lines, or the terminal's (not with TERM=dumb).
// `runId` goes into each JSON event.
std::unique_ptr<RunOutput> MakeOutput(OutputMode mode, OutputChannel& out, OutputChannel& err,
                                      const QString& runId = {});
