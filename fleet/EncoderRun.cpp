#include "EncoderRun.h"

#include <algorithm>

#include "FirmwareImage.h"
#include "FleetEvent.h"
#include "FleetSettings.h"
#include "ProgramError.h"
#include "UpgradeMonitor.h"

#include <chrono>
#include <cmath>

namespace {

std::chrono::milliseconds milliseconds(double seconds) {
    return std::chrono::milliseconds(std::llround(seconds * 1000.0));
}

// The short names scripts read for the stages that show progress: the image going out (no
// phase yet), then the encoder's stages by the phase that follows each.
constexpr const char* StageNames[] = {"transfer", "sending", "erasing", "programming"};
std::size_t stageIndex(std::optional<UpgradePhase> phase) {
    return phase ? static_cast<std::size_t>(*phase) + 1 : 0;
}

} // namespace

QString EncoderOutcome::result() const {
    return skipped   ? QStringLiteral("skipped")
           : success ? QStringLiteral("success")
                     : QStringLiteral("failure");
}

QStringList EndCauseNames() {
    QStringList causes;
    for (int kind = 0; kind <= static_cast<int>(UpgradeEndKind::Interrupted); ++kind)
        causes << UpgradeEndKindName(static_cast<UpgradeEndKind>(kind));
    return causes;
}

QJsonObject OutcomeFields(const EncoderOutcome& outcome) {
    return {{"host", outcome.host},
            {"address", outcome.address},
            {"port", outcome.port},
            {"result", outcome.result()},
            {"cause", outcome.cause},
            {"reason", outcome.reason},
            {"stage", outcome.stage},
            {"attempts", outcome.attempts},
            {"durationMs", outcome.durationMs}};
}

EncoderRun::EncoderRun(int index, const FleetSettings& options, const FirmwareImageBuffer& image,
                       FleetSink& output, SendPacer* sendPacer, QObject* parent)
    : QObject(parent), index(index), options(options), address(options.encoders[index]),
      image(image), output(output), sendPacer(sendPacer),
      channel(address.address, QByteArray::number(address.port)) {
    retryDelay.setSingleShot(true);
    connect(&retryDelay, &QTimer::timeout, this, &EncoderRun::startAttempt);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &EncoderRun::deadlineReached);
    result.host = address.label;
    result.address = QString::fromLatin1(address.address);
    result.port = address.port;
}

bool EncoderRun::takeLock() {
    QString why;
    const EncoderLock::Taken taken =
        lock.take(options.lockFolder, result.address, result.port, why);
    if (taken != EncoderLock::Taken::Yes)
        skip(QLatin1String(taken == EncoderLock::Taken::Busy ? BusyCause : LockFailedCause), why,
             false);
    return taken == EncoderLock::Taken::Yes;
}

void EncoderRun::start() {
    if (attempts > 0 || finishedAll)
        return; // started already, or interrupted before it began
    clock.start();
    if (options.timeoutSeconds)
        deadline.start(milliseconds(*options.timeoutSeconds));
    startAttempt();
}

// A new session for each attempt: a session runs once.
void EncoderRun::startAttempt() {
    ++attempts;
    session = std::make_unique<UpgradeSession>(channel, image, static_cast<UpgradeView&>(*this));
    session->setSendPacer(sendPacer);
    if (options.silenceSeconds)
        session->setSilenceBound(milliseconds(*options.silenceSeconds));
    if (options.timeoutSeconds)
        session->setWholeBound(milliseconds(*options.timeoutSeconds),
                               std::chrono::milliseconds(clock.elapsed()));
    connect(session.get(), &UpgradeSession::finished, this, &EncoderRun::sessionFinished);
    tell(RunEventKind::Connect,
         {{"address", result.address}, {"port", result.port}, {"attempt", attempts}});
    try {
        session->start();
    } catch (const ProgramError& error) {
        session->stop({UpgradeEndKind::NotReachable, error.message()});
    }
}

UpgradeProgress EncoderRun::progress() const {
    return session ? session->progress() : UpgradeProgress{};
}

QString EncoderRun::stage() const {
    return session ? session->stage() : QStringLiteral("connecting");
}

std::optional<QString> EncoderRun::flashStage() const {
    if (finishedAll || !progress().writingFlash)
        return std::nullopt;
    return stage();
}

std::optional<QString> EncoderRun::stopWarning() const {
    const UpgradeProgress now = progress();
    if (!finishedAll && !now.writingFlash && now.step == UpgradeStep::Following)
        return QStringLiteral("possibly erasing flash (it had the whole image)");
    return flashStage();
}

void EncoderRun::interrupt() {
    if (finishedAll)
        return;
    const QString text = attempts == 0 ? QStringLiteral("interrupted before connecting")
                                       : QStringLiteral("interrupted while %1").arg(stage());
    retryDelay.stop();
    deadline.stop();
    if (session && !session->ended())
        session->stop({UpgradeEndKind::Interrupted, text});
    else
        end(UpgradeEndKind::Interrupted, text);
}

void EncoderRun::skip(const QString& cause, const QString& reason, bool done) {
    if (attempts > 0 || finishedAll)
        return;
    finishedAll = true;
    lock.release();
    result.success = done;
    result.skipped = true;
    result.cause = cause;
    result.reason = reason;
    result.stage = QStringLiteral("not started");
    tell(RunEventKind::End, OutcomeFields(result));
    emit finished();
}

// A session that runs ends itself at the same moment, by its own whole bound.
void EncoderRun::deadlineReached() {
    if (!retryDelay.isActive())
        return;
    retryDelay.stop();
    end(UpgradeEndKind::TimedOut,
        QStringLiteral("not done within %1 s while waiting to connect again")
            .arg(*options.timeoutSeconds));
}

// Only a connect that failed before anything was sent is tried again: once a byte of the
// header has gone, the encoder is never sent anything more in this run.
void EncoderRun::sessionFinished() {
    const UpgradeEndKind kind = session->endCause().kind;
    if (kind == UpgradeEndKind::NotReachable && attempts <= options.retries) {
        tell(RunEventKind::Retry, {{"attempt", attempts},
                                   {"attempts", options.retries + 1},
                                   {"reason", session->endDescription()},
                                   {"delay", options.retryDelaySeconds}});
        retryDelay.start(milliseconds(options.retryDelaySeconds));
        return;
    }
    end(kind, session->endDescription());
}

void EncoderRun::end(UpgradeEndKind kind, const QString& reason) {
    if (finishedAll)
        return;
    finishedAll = true;
    deadline.stop();
    if (unshownDeviceLines > 0)
        appendUpgradeLog(QStringLiteral("%1 more replies of the encoder were not shown")
                             .arg(unshownDeviceLines));
    result.success = kind == UpgradeEndKind::Success;
    result.cause = UpgradeEndKindName(kind);
    result.reason = reason;
    result.stage = result.success ? QStringLiteral("done") : stage();
    result.attempts = attempts;
    result.durationMs = clock.isValid() ? clock.elapsed() : 0;
    tell(RunEventKind::End, OutcomeFields(result));
    emit finished();
}

void EncoderRun::tell(RunEventKind kind, QJsonObject fields) {
    fields.insert("host", address.label);
    output.write({kind, index, fields});
}

void EncoderRun::connectionSettled(bool connected) {
    if (!connected)
        return; // the end says why
    result.contacted = true;
    tell(RunEventKind::Connected,
         {{"remoteHost", QString::fromLocal8Bit(address.host)},
          {"remotePort", address.port},
          {"localHostName", QString::fromLocal8Bit(TcpClientChannel::LocalHostName())},
          {"localAddress", QString::fromLatin1(channel.LocalAddress())}});
}

void EncoderRun::imageSent(std::int64_t, std::int64_t) {
    // The replies are only held while the image goes out: no phase yet.
    const UpgradeProgress now = session->progress();
    progressed(std::nullopt, now.bytesAcknowledged, now.percent);
}

void EncoderRun::setPhaseText(UpgradePhase phase, const QString& text) {
    latestStageText = text;
    tell(RunEventKind::Stage,
         {{"stage", QLatin1String(StageNames[stageIndex(phase)])}, {"text", text}});
}

void EncoderRun::setPhasePosition(UpgradePhase phase, std::int32_t position) {
    progressed(phase, position, PhasePercent(phase, position, image.length));
}

// Told only when the percentage enters another of the output's steps.
void EncoderRun::progressed(std::optional<UpgradePhase> phase, std::int64_t position, int percent) {
    const std::size_t stage = stageIndex(phase);
    const int step = std::max(1, output.progressStep());
    if (lastStep[stage] == percent / step)
        return;
    lastStep[stage] = percent / step;
    tell(RunEventKind::Progress, {{"stage", QLatin1String(StageNames[stage])},
                                  {"position", qint64(position)},
                                  {"percent", percent}});
}

// An encoder that chatters is shown up to a point, then only counted; the stage texts are
// always shown.
void EncoderRun::appendDeviceLog(const QString& line) {
    constexpr int MostShownReplies = 200;
    if (deviceLines >= MostShownReplies && !IsEncoderStageText(line)) {
        if (unshownDeviceLines++ == 0)
            appendUpgradeLog(QStringLiteral("the encoder sends more than %1 replies to show; the "
                                            "rest are counted")
                                 .arg(MostShownReplies));
        return;
    }
    ++deviceLines;
    tell(RunEventKind::Log, {{"log", "device"}, {"text", line}});
}

void EncoderRun::appendUpgradeLog(const QString& line) {
    tell(RunEventKind::Log, {{"log", "upgrade"}, {"text", line}});
}

void EncoderRun::showSuccess(const QString& text) {
    tell(RunEventKind::Log, {{"log", "notice"}, {"text", text}});
}
