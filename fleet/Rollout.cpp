#include "Rollout.h"

#include "FleetEvent.h"
#include "RunRecords.h"

#include <QDir>
#include <QJsonArray>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// What all encoders together hand their sockets in one turn of the event loop: a few ms of
// sending, then the loop's timers and signals get their turn.
constexpr std::int64_t SendBytesPerTurn = 4 * 1024 * 1024;

QString warningText(const QString& host, const QString& stage) {
    return QStringLiteral("%1 %2 was %3 when the run was interrupted")
        .arg(QLatin1String(UpgradeLog::PowerWarning), host, stage);
}

// The connections the open-files limit leaves room for, besides what the program holds now
// and needs besides; nothing when there is no limit. Every encoder holds a socket: a fleet
// needs more descriptors than the usual soft limit, which is raised to the hard one first.
std::optional<qsizetype> descriptorRoom() {
    // The standard streams, the event loop's, a report or hosts file being written, and
    // room to spare.
    constexpr qsizetype Reserved = 16;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::nullopt;
    if (const rlimit raised{limit.rlim_max, limit.rlim_max};
        limit.rlim_cur < limit.rlim_max && ::setrlimit(RLIMIT_NOFILE, &raised) == 0)
        limit = raised;
    if (limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    const qsizetype open =
        QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
    return std::max<qsizetype>(0, qsizetype(limit.rlim_cur) - open - Reserved);
}

// A signal's name as the summary gives it ("SIGINT").
QString signalName(int signalNumber) {
    const char* name = ::sigabbrev_np(signalNumber);
    return name ? QStringLiteral("SIG") + QLatin1String(name)
                : QStringLiteral("signal %1").arg(signalNumber);
}

} // namespace

Rollout::Rollout(const FleetSettings& options, const FirmwareImageBuffer& image, FleetSink& output,
                 QObject* parent)
    : QObject(parent), options(options), output(output), sendPacer(SendBytesPerTurn) {
    for (int index = 0; index < options.encoders.size(); ++index) {
        auto* upgrade = new EncoderRun(index, options, image, output, &sendPacer, this);
        connect(upgrade, &EncoderRun::finished, this,
                [this, upgrade] { upgradeFinished(*upgrade); });
        upgrades.append(upgrade);
    }
    connect(&statusTimer, &QTimer::timeout, this, [this] {
        this->output.write({RunEventKind::Fleet, -1, status().fields()});
    });
    holdBound.setSingleShot(true);
    holdBound.setInterval(options.failureHold);
    connect(&holdBound, &QTimer::timeout, this, [this] {
        holding = false;
        scheduleStart();
    });
}

void Rollout::start() {
    clock.start();
    statusTimer.start(FleetStatusInterval);
    parallel = options.maxParallel > 0 ? options.maxParallel : upgrades.size();
    fitParallelToDescriptors();
    for (EncoderRun* upgrade : std::as_const(upgrades))
        skippedAsDone(upgrade);
    startNext();
}

bool Rollout::skippedAsDone(EncoderRun* upgrade) {
    const EncoderOutcome& outcome = upgrade->outcome();
    if (!history || !history->done(outcome.address, outcome.port))
        return false;
    upgrade->skip(QStringLiteral("already-upgraded"),
                  QStringLiteral("the history has it upgraded with this image"), true);
    return true;
}

// Each encoder in flight holds a socket and a lock. Past the descriptor limit its connect would
// fail as if the encoder could not be reached: fewer go at once instead, said once.
void Rollout::fitParallelToDescriptors() {
    // An encoder in flight holds its socket and its lock's file.
    const std::optional<qsizetype> room = descriptorRoom();
    if (!room || parallel <= *room / 2)
        return;
    const qsizetype asked = parallel;
    parallel = std::max<qsizetype>(1, *room / 2);
    output.write({RunEventKind::Notice,
                  -1,
                  {{"text", QStringLiteral("the open-files limit leaves room for %1 connections: "
                                           "upgrading at most %2 encoders at once instead of %3")
                                .arg(*room / 2)
                                .arg(parallel)
                                .arg(asked)}}});
}

// Runs from the event loop, never from inside an encoder's end: a long list of encoders that
// all fail at once does not nest one start inside the other. A fleet starts a slice at a time,
// so that the event loop turns between slices and their later steps (the pause, the image)
// spread out rather than all falling due in one turn.
void Rollout::startNext() {
    constexpr int StartsPerTurn = 16;
    startScheduled = false;
    if (!stopWhy.isEmpty() && interruptions == 0) {
        skipRest();
        return;
    }
    for (int started = 0;
         interruptions == 0 && inFlight < parallel && nextToStart < upgrades.size() &&
         !waitingForCanary() && !holdingAfterFailure();
         ++started) {
        if (started == StartsPerTurn) {
            scheduleStart();
            return;
        }
        EncoderRun* next = upgrades[nextToStart++];
        // Skipped before it began, held by another run, or upgraded by one meanwhile: it takes
        // no place in flight.
        if (next->hasEnded() || !next->takeLock() || skippedAsDone(next))
            continue;
        ++inFlight;
        next->start();
    }
}

// The rest wait until every canary has ended; one that failed stops the rollout. Those
// skipped as already upgraded are no canary: the canary is the first to be contacted.
bool Rollout::waitingForCanary() const {
    if (canaries.isEmpty() || nextToStart <= canaries.last())
        return false;
    return std::any_of(canaries.begin(), canaries.end(),
                       [this](qsizetype i) { return !upgrades[i]->hasEnded(); });
}

// With a failure bound, a failure holds new starts until those in flight have ended: failures
// that come together (a bad image) are counted together before anything more starts. One in
// flight that never ends holds them FailureHold at most.
bool Rollout::holdingAfterFailure() {
    if (holding && inFlight == 0) {
        holding = false;
        holdBound.stop();
    }
    return holding;
}

void Rollout::hold() {
    if (options.maxFailures == 0 || holding)
        return;
    holding = true;
    holdBound.start();
    const auto held = std::count_if(upgrades.begin(), upgrades.end(),
                                    [this](const EncoderRun* upgrade) { return holds(*upgrade); });
    if (held > 0)
        output.write({RunEventKind::Hold,
                      -1,
                      {{"held", qint64(held)},
                       {"inFlight", qint64(inFlight)},
                       {"boundSeconds", double(options.failureHold.count()) / 1000.0}}});
}

qsizetype FailureLimit(const FleetSettings& options, qsizetype encoders) {
    if (!options.maxFailuresPercent)
        return options.maxFailures;
    return std::max<qsizetype>(
        1, qsizetype(std::ceil(double(encoders) * options.maxFailures / 100.0)));
}

void Rollout::checkRollout(const EncoderRun& ended) {
    if (!stopWhy.isEmpty() || !ended.hasStarted() || ended.outcome().success)
        return;
    ++failures;
    hold();
    // Stopping matters only while some encoder is still to start (not one skipped already).
    const auto toStart = [](const EncoderRun* upgrade) { return !upgrade->hasEnded(); };
    if (interruptions > 0 || std::none_of(upgrades.begin() + nextToStart, upgrades.end(), toStart))
        return;
    if (canaries.contains(upgrades.indexOf(&ended))) {
        stopWhy = QStringLiteral("the canary %1 failed").arg(ended.outcome().host);
    } else if (options.maxFailures > 0 && failures >= FailureLimit(options, upgrades.size())) {
        stopWhy = QStringLiteral("%1 encoder%2 failed (--max-failures %3%4)")
                      .arg(failures)
                      .arg(failures == 1 ? "" : "s")
                      .arg(options.maxFailures)
                      .arg(options.maxFailuresPercent ? "%" : "");
    }
}

// Each not yet started ends at once, from the event loop (never inside another encoder's end).
void Rollout::skipRest() {
    for (EncoderRun* upgrade : std::as_const(upgrades))
        upgrade->skip(QLatin1String(RolloutStoppedCause),
                      QStringLiteral("not started: the rollout stopped (%1)").arg(stopWhy), false);
}

void Rollout::scheduleStart() {
    if (startScheduled)
        return;
    startScheduled = true;
    QTimer::singleShot(0, this, &Rollout::startNext);
}

void Rollout::interrupt(int signalNumber) {
    const bool immediately = ++interruptions > 1;
    if (!immediately)
        firstSignal = signalNumber;
    // The first signal leaves those writing their flash to finish; the second stops them, and
    // the summary warns of each (every warning first: the last upgrade to end tells the end).
    QJsonArray leftToFinish;
    for (EncoderRun* upgrade : upgrades) {
        const auto stage = immediately ? upgrade->stopWarning() : upgrade->flashStage();
        if (stage)
            (immediately ? warnings : leftToFinish)
                .append(QJsonObject{{"host", upgrade->outcome().host}, {"stage", *stage}});
    }
    output.write({RunEventKind::Interrupted,
                  -1,
                  {{"signal", signalName(signalNumber)},
                   {"immediately", immediately},
                   {"leftToFinish", leftToFinish}}});
    for (EncoderRun* upgrade : upgrades) {
        if (immediately || !upgrade->flashStage())
            upgrade->interrupt();
    }
}

void Rollout::upgradeFinished(EncoderRun& upgrade) {
    if (upgrade.hasStarted())
        --inFlight;
    emit encoderEnded(upgrade.outcome());
    upgrade.releaseLock();
    checkRollout(upgrade);
    if (++finishedCount < upgrades.size()) {
        scheduleStart();
        return;
    }
    statusTimer.stop();
    output.write({RunEventKind::Fleet, -1, status().fields()});
    const QList<EncoderOutcome> all = outcomes();
    const bool allDone = std::all_of(all.begin(), all.end(),
                                     [](const EncoderOutcome& outcome) { return outcome.success; });
    emit done(firstSignal != 0 ? 128 + firstSignal : allDone ? 0 : 1);
}

void Rollout::tellSummary(int exitCode, bool failedHostsWritten) {
    const QList<EncoderOutcome> all = outcomes();
    const bool allDone = std::all_of(all.begin(), all.end(),
                                     [](const EncoderOutcome& outcome) { return outcome.success; });
    QJsonArray warningTexts;
    for (const QJsonValue warning : warnings) {
        QJsonObject fields = warning.toObject();
        fields.insert("text", warningText(fields["host"].toString(), fields["stage"].toString()));
        warningTexts.append(fields["text"]);
        output.write({RunEventKind::Warning, -1, fields});
    }
    QJsonArray succeeded;
    QJsonArray skipped;
    QJsonArray failed;
    for (const EncoderOutcome& outcome : all) {
        if (outcome.skipped)
            skipped.append(QJsonObject{
                {"host", outcome.host}, {"cause", outcome.cause}, {"reason", outcome.reason}});
        else if (outcome.success)
            succeeded.append(outcome.host);
        else
            failed.append(QJsonObject{
                {"host", outcome.host}, {"cause", outcome.cause}, {"reason", outcome.reason}});
    }
    QJsonObject summary{{"exitCode", exitCode}, {"succeeded", succeeded},
                        {"skipped", skipped},   {"failed", failed},
                        {"rollout", rollout()}, {"warnings", warningTexts}};
    if (!allDone) {
        QStringList notDone;
        for (const EncoderOutcome& outcome : all) {
            if (!outcome.success)
                notDone << outcome.host;
        }
        // For the front end's command that tries them again.
        summary.insert("notDone", QJsonArray::fromStringList(notDone));
        summary.insert("failedHostsWritten", failedHostsWritten);
    }
    output.write({RunEventKind::Summary, -1, summary});
}

QList<EncoderOutcome> Rollout::outcomes() const {
    QList<EncoderOutcome> all;
    for (const EncoderRun* upgrade : upgrades)
        all.append(upgrade->outcome());
    return all;
}

// Each encoder's image, then its three stages, each a quarter of its work.
FleetStatus Rollout::status() const {
    FleetStatus now;
    now.total = int(upgrades.size());
    double workDone = 0;
    for (const EncoderRun* upgrade : upgrades) {
        const EncoderOutcome& outcome = upgrade->outcome();
        if (upgrade->hasEnded()) {
            ++now.done;
            now.skipped += outcome.skipped ? 1 : 0;
            now.failed += !outcome.success && !outcome.skipped ? 1 : 0;
            workDone += 1;
        } else if (upgrade->hasStarted()) {
            ++now.inFlight;
            const UpgradeProgress progress = upgrade->progress();
            const int quarter = progress.phase ? static_cast<int>(*progress.phase) + 1 : 0;
            workDone += (quarter + progress.percent / 100.0) / 4.0;
            if (progress.step == UpgradeStep::SendingImage)
                now.bytesPerSecond += progress.bytesPerSecond.value_or(0);
        } else {
            now.held += holds(*upgrade) ? 1 : 0;
        }
    }
    const double elapsed = clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0;
    if (elapsed >= 0.5 && workDone > 0 && workDone < now.total)
        now.secondsLeft = elapsed * (now.total - workDone) / workDone;
    return now;
}

QJsonObject FleetStatus::fields() const {
    QJsonObject fields{{"total", total},
                       {"done", done},
                       {"failed", failed},
                       {"skipped", skipped},
                       {"inFlight", inFlight},
                       {"held", held},
                       {"bytesPerSecond", std::round(bytesPerSecond)}};
    // null until it can be told
    fields.insert("secondsLeft", secondsLeft ? QJsonValue(std::ceil(*secondsLeft)) : QJsonValue());
    return fields;
}
