#pragma once

#include "CliOptions.h"
#include "Reporter.h"

#include <QList>
#include <QObject>

class EncoderUpgrade;
struct FirmwareImageBuffer;

// Every encoder of the command line upgraded at the same time, from this one thread.
class BatchUpgrade : public QObject {
    Q_OBJECT
public:
    BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image, Reporter& reporter,
                 QObject* parent = nullptr);

    // Starts every upgrade; done() comes once all have ended.
    void start();
    // Ends every upgrade still running and closes its connection (Ctrl-C).
    void interrupt(const QString& signalName);

signals:
    void done(int exitCode);

private:
    void upgradeFinished();

    Reporter& reporter;
    QList<EncoderUpgrade*> upgrades;
    QList<FlashWarning> warnings;
    qsizetype finishedCount = 0;
    bool interrupted = false;
};
