#pragma once

#include "CliOptions.h"
#include "EncoderUpgrade.h"
#include "SendPacer.h"

#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QObject>
#include <QStringList>

class RunOutput;
struct FirmwareImageBuffer;

// Every encoder of the run upgraded from this one thread, at most --max-parallel at once, the
// rest waiting their turn in the order given.
class BatchUpgrade : public QObject {
    Q_OBJECT
public:
    BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image, RunOutput& output,
                 QObject* parent = nullptr);

    // Encoders upgraded with this image already (by EncoderKey) are skipped at the start.
    void skipDone(const QHash<QString, bool>& done) { alreadyDone = done; }
    // Starts the first encoders; done() comes once all have ended.
    void start();
    // The first signal starts no new connection and stops every encoder that has not begun to
    // erase its flash; those that have are left to finish. A second one stops them all.
    void interrupt(int signalNumber);
    const QList<EncoderUpgrade*>& encoders() const { return upgrades; }
    QList<EncoderOutcome> outcomes() const;

signals:
    // One encoder has ended, its end told.
    void encoderEnded(const EncoderOutcome& outcome);
    void done(int exitCode);

private:
    void startNext();
    void scheduleStart();
    void upgradeFinished();
    void tellSummary(int exitCode);

    const CliOptions& options;
    RunOutput& output;
    SendPacer sendPacer;
    QList<EncoderUpgrade*> upgrades;
    QHash<QString, bool> alreadyDone;
    QJsonArray warnings; // host and stage of each encoder a second signal stopped mid-flash
    qsizetype nextToStart = 0;
    qsizetype inFlight = 0;
    qsizetype finishedCount = 0;
    int interruptions = 0;
    int firstSignal = 0;
    bool startScheduled = false;
};

// A signal's name as the summary gives it ("SIGINT").
QString SignalName(int signalNumber);
// A word as a POSIX shell reads it back.
QString ShellQuoted(const QString& word);
// The command that tries the failed encoders again with the same image and options: from the
// failed-hosts file when one is written, otherwise named one by one.
QString RerunCommand(const CliOptions& options, const QList<EncoderOutcome>& outcomes);
