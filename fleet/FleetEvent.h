#pragma once

#include <QJsonObject>

class Rollout;

// What happens in a fleet run. An event of one encoder carries its "host"; fields that a
// front end does not show are for the others (a summary's "warnings", a check's
// "maxParallel").
enum class RunEventKind {
    Image,
    Connect,
    Connected,
    Log,
    Stage,
    Progress,
    Retry,
    End,
    Interrupted,
    Warning,
    Hold,
    Fleet,
    Notice,
    Summary,
    Error,
    Check, // the plan of a run that only checks: last
};

struct RunEvent {
    RunEventKind kind;
    int encoder = -1; // its index in the run; -1 for what concerns the whole run
    QJsonObject fields;
};

// Where a fleet run hands its events: a front end's output.
class FleetSink {
public:
    virtual ~FleetSink() = default;
    virtual void write(const RunEvent& event) = 0;
    // The steps of a percentage the output shows: an encoder's progress is told each time it
    // enters another step (another whole percent by default). A thousand encoders telling
    // every percent to a log that shows quarters cost a fifth of the run's processor time.
    virtual int progressStep() const { return 1; }
    // The run's encoders, for an output that shows where each one stands when it redraws.
    virtual void follow(const Rollout& /*rollout*/) {}
};
