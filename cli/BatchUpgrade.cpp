#include "BatchUpgrade.h"

#include "EncoderUpgrade.h"

BatchUpgrade::BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image,
                           Reporter& reporter, QObject* parent)
    : QObject(parent), reporter(reporter) {
    int index = 0;
    for (const EncoderAddress& address : options.encoders) {
        auto* upgrade =
            new EncoderUpgrade(index++, address, image, reporter, options.silenceSeconds, this);
        connect(upgrade, &EncoderUpgrade::finished, this, &BatchUpgrade::upgradeFinished);
        upgrades.append(upgrade);
    }
}

void BatchUpgrade::start() {
    for (EncoderUpgrade* upgrade : upgrades)
        upgrade->start();
}

void BatchUpgrade::interrupt(const QString& signalName) {
    if (interrupted)
        return;
    interrupted = true;
    reporter.interrupted(signalName);
    for (EncoderUpgrade* upgrade : upgrades) {
        if (const std::optional<QString> flash = upgrade->interrupt())
            warnings.append({upgrade->outcome().host, *flash});
    }
}

void BatchUpgrade::upgradeFinished() {
    if (++finishedCount < upgrades.size())
        return;
    QList<EncoderOutcome> outcomes;
    bool allSucceeded = true;
    for (const EncoderUpgrade* upgrade : upgrades) {
        outcomes.append(upgrade->outcome());
        allSucceeded = allSucceeded && outcomes.last().success;
    }
    const int exitCode = allSucceeded && !interrupted ? 0 : 1;
    reporter.finish(outcomes, warnings, exitCode);
    emit done(exitCode);
}
