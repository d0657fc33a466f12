#include "EncoderUpgrade.h"

#include "EncoderProtocol.h"
#include "FirmwareImage.h"
#include "ProgramError.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

ProgressStage progressStage(UpgradePhase phase) {
    switch (phase) {
    case UpgradePhase::Sending:
        return ProgressStage::Sending;
    case UpgradePhase::Erasing:
        return ProgressStage::Erasing;
    case UpgradePhase::Programming:
        return ProgressStage::Programming;
    }
    return ProgressStage::Sending;
}

} // namespace

EncoderUpgrade::EncoderUpgrade(int index, EncoderAddress address, const FirmwareImageBuffer& image,
                               Reporter& reporter, const EncoderRules& rules, QObject* parent)
    : QObject(parent), index(index), address(std::move(address)), image(image), reporter(reporter),
      rules(rules), channel(this->address.address, QByteArray::number(this->address.port)) {
    retryDelay.setSingleShot(true);
    connect(&retryDelay, &QTimer::timeout, this, &EncoderUpgrade::startAttempt);
    result.host = this->address.label;
    result.address = QString::fromLatin1(this->address.address);
    result.port = this->address.port;
    result.stage = QStringLiteral("waiting to connect");
}

void EncoderUpgrade::start() {
    if (attempts > 0 || finishedAll)
        return; // started already, or interrupted before it began
    clock.start();
    startAttempt();
}

// A new session for each attempt: a session runs once.
void EncoderUpgrade::startAttempt() {
    ++attempts;
    lastStep = UpgradeStep::Idle;
    session = std::make_unique<UpgradeSession>(channel, image, static_cast<UpgradeView&>(*this));
    session->setSendPacer(rules.sendPacer);
    if (rules.silenceSeconds)
        session->setSilenceBound(
            std::chrono::milliseconds(std::llround(*rules.silenceSeconds * 1000.0)));
    if (rules.timeoutSeconds)
        session->setWholeBound(
            std::chrono::milliseconds(std::llround(*rules.timeoutSeconds * 1000.0)));
    connect(session.get(), &UpgradeSession::finished, this, &EncoderUpgrade::sessionFinished);
    reporter.connecting(index, address.address, address.port, attempts);
    try {
        session->start();
    } catch (const ProgramError& error) {
        session->stop({UpgradeEndKind::NotReachable, error.message()});
    }
}

std::optional<QString> EncoderUpgrade::flashStage() const {
    if (finishedAll || !session || session->monitor().state().UpgradeStage < 2)
        return std::nullopt;
    return stageName();
}

std::optional<QString> EncoderUpgrade::stopWarning() const {
    if (finishedAll)
        return std::nullopt;
    if (const std::optional<QString> flash = flashStage())
        return flash;
    if (lastStep == UpgradeStep::Following)
        return QStringLiteral("possibly erasing flash (it had the whole image)");
    return std::nullopt;
}

void EncoderUpgrade::interrupt() {
    if (finishedAll)
        return;
    const UpgradeEnd interrupted{UpgradeEndKind::Interrupted,
                                 attempts == 0
                                     ? QStringLiteral("interrupted before connecting")
                                     : QStringLiteral("interrupted while %1").arg(stageName())};
    retryDelay.stop();
    if (session && !session->ended())
        session->stop(interrupted);
    else
        end(interrupted);
}

// Only a connect that failed before anything was sent is tried again: once a byte of the
// header has gone, the encoder is never sent anything more in this run.
void EncoderUpgrade::sessionFinished() {
    const UpgradeEnd& cause = session->endCause();
    if (cause.kind == UpgradeEndKind::NotReachable && attempts <= rules.retries) {
        reporter.retrying(index, attempts, rules.retries + 1, endReason(cause),
                          rules.retryDelaySeconds);
        retryDelay.start(std::chrono::milliseconds(std::llround(rules.retryDelaySeconds * 1000)));
        return;
    }
    end(cause);
}

void EncoderUpgrade::end(const UpgradeEnd& cause) {
    if (finishedAll)
        return;
    finishedAll = true;
    if (unshownDeviceLines > 0)
        reporter.log(index, LogKind::Upgrade,
                     QStringLiteral("%1 more replies of the encoder were not shown")
                         .arg(unshownDeviceLines));
    result.success = cause.kind == UpgradeEndKind::Success;
    result.cause = UpgradeEndKindName(cause.kind);
    result.reason = endReason(cause);
    result.stage = result.success ? QStringLiteral("done") : stageName();
    result.attempts = attempts;
    result.durationMs = clock.isValid() ? clock.elapsed() : 0;
    reporter.ended(index, result);
    emit finished();
}

QString EncoderUpgrade::endReason(const UpgradeEnd& end) const {
    switch (end.kind) {
    case UpgradeEndKind::Success:
        return QString::fromLatin1(EncoderReply::VerifyDone);
    case UpgradeEndKind::ProgramFail:
        return QString::fromLatin1(EncoderReply::ProgramFail);
    case UpgradeEndKind::EncoderError:
        return QString::fromLatin1(EncoderReply::Error) + QLatin1Char(' ') +
               (end.text.isEmpty() ? QStringLiteral("(the encoder closed the connection before "
                                                    "its error text)")
                                   : end.text);
    case UpgradeEndKind::ConnectionLost:
        return QStringLiteral("connection to encoder lost while %1").arg(stageName());
    case UpgradeEndKind::SendFailed:
        return QStringLiteral("send to encoder failed (%1)").arg(end.text);
    case UpgradeEndKind::NotReachable:
        return QStringLiteral("SERVER NOT READY (%1)").arg(end.text);
    case UpgradeEndKind::NoAnswer:
    case UpgradeEndKind::TimedOut:
        return QStringLiteral("%1 while %2").arg(end.text, stageName());
    case UpgradeEndKind::Interrupted:
        return end.text;
    }
    return end.text;
}

QString EncoderUpgrade::stageName() const {
    switch (lastStep) {
    case UpgradeStep::Idle:
    case UpgradeStep::Connecting:
        return QStringLiteral("connecting");
    case UpgradeStep::SendingHeader:
        return QStringLiteral("sending the header");
    case UpgradeStep::Pausing:
        return QStringLiteral("pausing before the image");
    case UpgradeStep::SendingImage:
        return QStringLiteral("sending the image");
    case UpgradeStep::Following:
    case UpgradeStep::Ended:
        break;
    }
    if (!session)
        return QStringLiteral("connecting");
    switch (session->monitor().state().UpgradeStage) {
    case 0:
        return QStringLiteral("waiting for the encoder to receive the image");
    case 1:
        return QStringLiteral("receiving the image");
    case 2:
        return QStringLiteral("erasing flash");
    default:
        return QStringLiteral("programming flash");
    }
}

void EncoderUpgrade::connectionSettled(bool connected) {
    if (!connected)
        return; // the end says why
    ConnectedDetails details;
    details.remoteHost = QString::fromLocal8Bit(address.host);
    details.remotePort = address.port;
    details.localHostName = QString::fromLocal8Bit(TcpClientChannel::LocalHostName());
    details.localAddress = QString::fromLatin1(channel.LocalAddress());
    reporter.connected(index, details);
}

void EncoderUpgrade::stepEntered(UpgradeStep step) {
    lastStep = step;
    result.stage = stageName();
    switch (step) {
    case UpgradeStep::SendingHeader:
        reporter.status(index, QString::fromLatin1(UpgradeLog::SendHeader));
        break;
    case UpgradeStep::Pausing:
        reporter.status(index, QStringLiteral("pause %1 ms").arg(HeaderToImagePause.count()));
        break;
    case UpgradeStep::SendingImage:
        reporter.status(index, QString::fromLatin1(UpgradeLog::SendProgram));
        break;
    case UpgradeStep::Following:
        reporter.status(index, QStringLiteral("waiting for the encoder"));
        break;
    default:
        break;
    }
}

void EncoderUpgrade::imageSent(std::int64_t sent, std::int64_t total) {
    reportProgress(ProgressStage::Transfer, sent, 0, total);
}

void EncoderUpgrade::setPhaseText(UpgradePhase phase, const QString& text) {
    reporter.stage(index, progressStage(phase), text);
}

void EncoderUpgrade::setPhasePosition(UpgradePhase phase, std::int32_t position) {
    const PhaseBarRange range = PhaseRange(phase, image.length);
    reportProgress(progressStage(phase), position, range.minimum, range.maximum);
}

void EncoderUpgrade::reportProgress(ProgressStage stage, std::int64_t position, std::int64_t first,
                                    std::int64_t last) {
    const int percent = last > first ? static_cast<int>(std::clamp<std::int64_t>(
                                           (position - first) * 100 / (last - first), 0, 100))
                                     : 100;
    int& previous = lastPercent[static_cast<std::size_t>(stage)];
    if (percent == previous)
        return;
    previous = percent;
    reporter.progress(index, stage, position, percent);
}

// An encoder that chatters is shown up to a point, then only counted; the stage texts are
// always shown.
void EncoderUpgrade::appendDeviceLog(const QString& line) {
    constexpr int MostShownReplies = 200;
    static const QStringList stageTexts{QString::fromLatin1(EncoderReply::StartReceiving),
                                        QString::fromLatin1(EncoderReply::EraseFlash),
                                        QString::fromLatin1(EncoderReply::ProgramFlash),
                                        QString::fromLatin1(EncoderReply::VerifyDone),
                                        QString::fromLatin1(EncoderReply::ProgramFail)};
    if (deviceLines >= MostShownReplies && !stageTexts.contains(line)) {
        if (unshownDeviceLines++ == 0)
            reporter.log(index, LogKind::Upgrade,
                         QStringLiteral("the encoder sends more than %1 replies to show; the rest "
                                        "are counted")
                             .arg(MostShownReplies));
        return;
    }
    ++deviceLines;
    reporter.log(index, LogKind::Device, line);
}

void EncoderUpgrade::appendUpgradeLog(const QString& line) {
    reporter.log(index, LogKind::Upgrade, line);
}

void EncoderUpgrade::showSuccess(const QString& text) {
    reporter.log(index, LogKind::Notice, text);
}

EncoderOutcome EncoderUpgrade::outcome() const {
    return result;
}
