#include "BatchUpgrade.h"

#include "EncoderUpgrade.h"

#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <csignal>

namespace {

// What all encoders together hand their sockets in one turn of the event loop: a few ms of
// sending, then the loop's timers and signals get their turn.
constexpr std::int64_t SendBytesPerTurn = 4 * 1024 * 1024;

// A word as a POSIX shell reads it back.
QString shellQuoted(const QString& word) {
    static const QString plain =
        QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_./:=+,@%");
    bool needsQuotes = word.isEmpty();
    for (const QChar c : word)
        needsQuotes = needsQuotes || !plain.contains(c);
    if (!needsQuotes)
        return word;
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

QString SignalName(int signalNumber) {
    switch (signalNumber) {
    case SIGINT:
        return QStringLiteral("SIGINT");
    case SIGTERM:
        return QStringLiteral("SIGTERM");
    case SIGHUP:
        return QStringLiteral("SIGHUP");
    default:
        return QStringLiteral("signal %1").arg(signalNumber);
    }
}

BatchUpgrade::BatchUpgrade(const CliOptions& options, const FirmwareImageBuffer& image,
                           Reporter& reporter, QObject* parent)
    : QObject(parent), options(options), reporter(reporter), sendPacer(SendBytesPerTurn) {
    const EncoderRules rules{options.silenceSeconds, options.timeoutSeconds, options.retries,
                             options.retryDelaySeconds, &sendPacer};
    int index = 0;
    for (const EncoderAddress& address : options.encoders) {
        auto* upgrade = new EncoderUpgrade(index++, address, image, reporter, rules, this);
        connect(upgrade, &EncoderUpgrade::finished, this, &BatchUpgrade::upgradeFinished);
        upgrades.append(upgrade);
    }
}

void BatchUpgrade::start() {
    startNext();
}

// Runs from the event loop, never from inside an encoder's end: a long list of encoders that
// all fail at once does not nest one start inside the other. A fleet starts a slice at a time,
// so that the event loop turns between slices and their later steps (the pause, the image)
// spread out rather than all falling due in one turn.
void BatchUpgrade::startNext() {
    constexpr int StartsPerTurn = 16;
    startScheduled = false;
    const qsizetype limit = options.maxParallel > 0 ? options.maxParallel : upgrades.size();
    for (int started = 0; interruptions == 0 && inFlight < limit && nextToStart < upgrades.size();
         ++started) {
        if (started == StartsPerTurn) {
            scheduleStart();
            return;
        }
        ++inFlight;
        upgrades[nextToStart++]->start();
    }
}

void BatchUpgrade::scheduleStart() {
    if (startScheduled)
        return;
    startScheduled = true;
    QTimer::singleShot(0, this, &BatchUpgrade::startNext);
}

void BatchUpgrade::interrupt(int signalNumber) {
    ++interruptions;
    if (interruptions == 1) {
        firstSignal = signalNumber;
        QList<FlashWarning> flashing;
        for (EncoderUpgrade* upgrade : upgrades) {
            if (const std::optional<QString> stage = upgrade->flashStage())
                flashing.append({upgrade->outcome().host, *stage});
        }
        reporter.interrupted(SignalName(signalNumber), false, flashing);
        for (EncoderUpgrade* upgrade : upgrades) {
            if (!upgrade->flashStage())
                upgrade->interrupt();
        }
        return;
    }
    reporter.interrupted(SignalName(signalNumber), true, {});
    // Every warning first: the last upgrade to end reports the run's end.
    for (EncoderUpgrade* upgrade : upgrades) {
        if (const std::optional<QString> flash = upgrade->stopWarning())
            warnings.append({upgrade->outcome().host, *flash});
    }
    for (EncoderUpgrade* upgrade : upgrades)
        upgrade->interrupt();
}

void BatchUpgrade::upgradeFinished() {
    auto* upgrade = qobject_cast<EncoderUpgrade*>(sender());
    if (upgrade && upgrade->hasStarted())
        --inFlight;
    if (++finishedCount < upgrades.size()) {
        scheduleStart();
        return;
    }
    const QList<EncoderOutcome> all = outcomes();
    bool allSucceeded = true;
    for (const EncoderOutcome& outcome : all)
        allSucceeded = allSucceeded && outcome.success;
    const int exitCode = firstSignal != 0 ? 128 + firstSignal : allSucceeded ? 0 : 1;
    reporter.finish(all, warnings, exitCode, allSucceeded ? QString() : rerunCommand(all));
    emit done(exitCode);
}

QList<EncoderOutcome> BatchUpgrade::outcomes() const {
    QList<EncoderOutcome> all;
    for (const EncoderUpgrade* upgrade : upgrades)
        all.append(upgrade->outcome());
    return all;
}

// The same image and options, for the failed encoders only: from the failed-hosts file when
// one is written, otherwise named one by one.
QString BatchUpgrade::rerunCommand(const QList<EncoderOutcome>& outcomes) const {
    QStringList words{QLatin1String(CliName)};
    for (const QString& option : options.rerunOptions)
        words << shellQuoted(option);
    if (!options.failedHostsFile.isEmpty()) {
        words << QStringLiteral("--hosts-file") << shellQuoted(options.failedHostsFile);
        words << shellQuoted(options.imagePath);
        return words.join(QLatin1Char(' '));
    }
    words << shellQuoted(options.imagePath);
    for (const EncoderOutcome& outcome : outcomes) {
        if (!outcome.success)
            words << shellQuoted(outcome.host);
    }
    return words.join(QLatin1Char(' '));
}
