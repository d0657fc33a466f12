#pragma once

#include "CliOptions.h"
#include "Reporter.h"
#include "SendPacer.h"

#include <QList>
#include <QObject>

class EncoderUpgrade;
struct FirmwareImageBuffer;

// Every encoder of the run upgraded from this one thread, at most --max-parallel at once, the
// rest waiting their turn in the order given.
class BatchUpgrade : public QObject {
    Q_OBJECT
public:
    BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image, Reporter& reporter,
                 QObject* parent = nullptr);

    // Starts the first encoders; done() comes once all have ended.
    void start();
    // The first signal starts no new connection and stops every encoder that has not begun to
    // erase its flash; those that have are left to finish. A second one stops them all.
    void interrupt(int signalNumber);
    QList<EncoderOutcome> outcomes() const;

signals:
    void done(int exitCode);

private:
    void startNext();
    void scheduleStart();
    void upgradeFinished();
    QString rerunCommand(const QList<EncoderOutcome>& outcomes) const;

    const CliOptions& options;
    Reporter& reporter;
    SendPacer sendPacer;
    QList<EncoderUpgrade*> upgrades;
    QList<FlashWarning> warnings;
    qsizetype nextToStart = 0;
    qsizetype inFlight = 0;
    qsizetype finishedCount = 0;
    int interruptions = 0;
    int firstSignal = 0;
    bool startScheduled = false;
};

// A signal's name as the summary gives it ("SIGINT"), and the exit status it leaves with
// (128 + its number: 130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP).
QString SignalName(int signalNumber);
