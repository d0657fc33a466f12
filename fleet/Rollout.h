#pragma once

#include "EncoderRun.h"
#include "FleetSettings.h"
#include "SendPacer.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <optional>

class HistoryVerdicts;

// Where the whole fleet stands.
struct FleetStatus {
    int total = 0;
    int done = 0; // ended, whatever the result
    int failed = 0;
    int skipped = 0;
    int inFlight = 0;
    int held = 0;
    double bytesPerSecond = 0; // of the images going out now
    // From the share of the work done so far and the time it took; none before it can be told.
    std::optional<double> secondsLeft;
    // As the `fleet` event carries it.
    QJsonObject fields() const;
};
// How often the run tells where the fleet stands.
inline constexpr std::chrono::milliseconds FleetStatusInterval{2000};

struct FirmwareImageBuffer;

// Every encoder of the run upgraded from this one thread, at most --max-parallel at once, the
// rest waiting their turn in the order given. The rollout stops (no further encoder starts)
// when a canary fails or --max-failures is reached; those not started end skipped.
class Rollout : public QObject {
    Q_OBJECT
public:
    Rollout(const FleetSettings& options, const FirmwareImageBuffer& image, FleetSink& output,
            QObject* parent = nullptr);

    // Encoders the history has upgraded with this image are skipped at the start, and once
    // each one's lock is held (another run may have upgraded it meanwhile).
    void skipDone(HistoryVerdicts* verdicts) { history = verdicts; }
    // The canary, by index, as the plan has it: the first to be contacted.
    void setCanaries(const QList<qsizetype>& indices) { canaries = indices; }
    // Starts the first encoders; done() comes once all have ended.
    void start();
    // The first signal starts no new connection and stops every encoder that has not begun to
    // erase its flash; those that have are left to finish. A second one stops them all.
    void interrupt(int signalNumber);
    const QList<EncoderRun*>& encoders() const { return upgrades; }
    QList<EncoderOutcome> outcomes() const;
    // The summary, once the run's records are written: `exitCode` is the run's last word;
    // the rerun command reads the failed-hosts file only when it was written.
    void tellSummary(int exitCode, bool failedHostsWritten);
    // Not started while a failure holds new starts.
    bool holds(const EncoderRun& upgrade) const {
        return holding && !upgrade.hasStarted() && !upgrade.hasEnded();
    }
    FleetStatus status() const;
    bool interrupted() const { return firstSignal != 0; }
    // The summary's and the report's "rollout": whether it stopped (the canary failed,
    // --max-failures was reached), and why.
    QJsonObject rollout() const { return {{"stopped", !stopWhy.isEmpty()}, {"why", stopWhy}}; }

signals:
    // One encoder has ended, its end told.
    void encoderEnded(const EncoderOutcome& outcome);
    void done(int exitCode);

private:
    void fitParallelToDescriptors();
    void startNext();
    void scheduleStart();
    void upgradeFinished(EncoderRun& upgrade);
    bool waitingForCanary() const;
    bool holdingAfterFailure();
    void hold();
    void checkRollout(const EncoderRun& ended);
    void skipRest();
    bool skippedAsDone(EncoderRun* upgrade);

    const FleetSettings& options;
    FleetSink& output;
    SendPacer sendPacer;
    QList<EncoderRun*> upgrades;
    HistoryVerdicts* history = nullptr;
    QJsonArray warnings; // host and stage of each encoder a second signal stopped mid-flash
    qsizetype nextToStart = 0;
    qsizetype inFlight = 0;
    qsizetype finishedCount = 0;
    qsizetype parallel = 0; // in flight at once: --max-parallel, or what the descriptors hold
    qsizetype failures = 0;
    // A failure holds new starts until those in flight have ended or FailureHold has passed.
    bool holding = false;
    QTimer holdBound;
    QTimer statusTimer;
    QElapsedTimer clock; // since start()
    // The first --canary encoders that will be contacted, by index.
    QList<qsizetype> canaries;
    QString stopWhy;
    int interruptions = 0;
    int firstSignal = 0;
    bool startScheduled = false;
};

// The failures that stop the rollout of `encoders`: --max-failures, a percentage of them
// rounded up (at least 1); 0: no bound.
qsizetype FailureLimit(const FleetSettings& options, qsizetype encoders);
