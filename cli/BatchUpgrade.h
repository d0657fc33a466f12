#pragma once

#include "CliOptions.h"
#include "EncoderUpgrade.h"
#include "SendPacer.h"

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>

class HistoryVerdicts;

// How long a failure holds new starts at most: an encoder in flight that says nothing holds
// no fleet for longer.
inline constexpr std::chrono::milliseconds FailureHold{60'000};
class RunOutput;
struct FirmwareImageBuffer;

// Every encoder of the run upgraded from this one thread, at most --max-parallel at once, the
// rest waiting their turn in the order given. The rollout stops (no further encoder starts)
// when a canary fails or --max-failures is reached; those not started end skipped.
class BatchUpgrade : public QObject {
    Q_OBJECT
public:
    BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image, RunOutput& output,
                 QObject* parent = nullptr);
    // For a test that cannot wait FailureHold.
    void setFailureHold(std::chrono::milliseconds bound) { holdBound.setInterval(bound); }

    // Encoders the history has upgraded with this image are skipped at the start, and once
    // each one's lock is held (another run may have upgraded it meanwhile).
    void skipDone(HistoryVerdicts* verdicts) { history = verdicts; }
    // Starts the first encoders; done() comes once all have ended.
    void start();
    // The first signal starts no new connection and stops every encoder that has not begun to
    // erase its flash; those that have are left to finish. A second one stops them all.
    void interrupt(int signalNumber);
    const QList<EncoderUpgrade*>& encoders() const { return upgrades; }
    QList<EncoderOutcome> outcomes() const;
    // The summary, once the run's records are written: `exitCode` is the run's last word;
    // the rerun command reads the failed-hosts file only when it was written.
    void tellSummary(int exitCode, bool failedHostsWritten);
    // Not started while a failure holds new starts.
    bool holds(const EncoderUpgrade& upgrade) const {
        return holding && !upgrade.hasStarted() && !upgrade.hasEnded();
    }
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
    void upgradeFinished(EncoderUpgrade& upgrade);
    bool waitingForCanary() const;
    bool holdingAfterFailure();
    void hold();
    void checkRollout(const EncoderUpgrade& ended);
    void skipRest();
    bool skippedAsDone(EncoderUpgrade* upgrade);

    const CliOptions& options;
    RunOutput& output;
    SendPacer sendPacer;
    QList<EncoderUpgrade*> upgrades;
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
    // The first --canary encoders that will be contacted, by index.
    QList<qsizetype> canaries;
    QString stopWhy;
    int interruptions = 0;
    int firstSignal = 0;
    bool startScheduled = false;
};

// The failures that stop the rollout of `encoders`: --max-failures, a percentage of them
// rounded up (at least 1); 0: no bound.
qsizetype FailureLimit(const CliOptions& options, qsizetype encoders);
// The name of a record of the rerun: "-rerun" before the extension, or the next number.
QString RerunRecordName(const QString& path);
// A word as a POSIX shell reads it back.
QString ShellQuoted(const QString& word);
// The command that tries the failed encoders again with the same image and options but
// --canary (a canary still dead would hold back the repaired): from the failed-hosts file when
// one is written, otherwise named one by one; its records named by RerunRecordName.
QString RerunCommand(const CliOptions& options, const QList<EncoderOutcome>& outcomes,
                     bool failedHostsWritten = true);
