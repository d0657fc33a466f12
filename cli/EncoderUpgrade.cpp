#include "EncoderUpgrade.h"

#include "EncoderProtocol.h"
#include "FirmwareImage.h"
#include "ProgramError.h"

#include <algorithm>
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
                               Reporter& reporter, std::optional<double> silenceSeconds,
                               QObject* parent)
    : QObject(parent), index(index), address(std::move(address)), image(image), reporter(reporter),
      channel(this->address.address, QByteArray::number(this->address.port)),
      session(channel, image, *this) {
    if (silenceSeconds)
        session.setSilenceBound(
            std::chrono::milliseconds(std::llround(*silenceSeconds * 1000.0)));
    connect(&session, &UpgradeSession::finished, this, &EncoderUpgrade::sessionFinished);
}

void EncoderUpgrade::start() {
    if (session.step() != UpgradeStep::Idle)
        return; // interrupted before it began
    reporter.connecting(index, address.address, address.port);
    try {
        session.start();
    } catch (const ProgramError& error) {
        session.stop({UpgradeEndKind::NotReachable, error.message()});
    }
}

std::optional<QString> EncoderUpgrade::interrupt() {
    if (session.ended())
        return std::nullopt;
    std::optional<QString> flash;
    if (session.monitor().state().UpgradeStage >= 2)
        flash = stageName();
    else if (lastStep == UpgradeStep::Following)
        flash = QStringLiteral("possibly erasing flash (it had the whole image)");
    const QString why = lastStep == UpgradeStep::Idle
                            ? QStringLiteral("interrupted before connecting")
                            : QStringLiteral("interrupted while %1").arg(stageName());
    session.stop({UpgradeEndKind::Interrupted, why});
    return flash;
}

void EncoderUpgrade::sessionFinished() {
    const UpgradeEnd& end = session.endCause();
    success = end.kind == UpgradeEndKind::Success;
    reason = endReason(end);
    reporter.ended(index, success, reason);
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
    switch (session.monitor().state().UpgradeStage) {
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
    details.remotePort = QString::number(address.port);
    details.localHostName = QString::fromLocal8Bit(TcpClientChannel::LocalHostName());
    details.localAddress = QString::fromLatin1(channel.LocalAddress());
    reporter.connected(index, details);
}

void EncoderUpgrade::stepEntered(UpgradeStep step) {
    lastStep = step;
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

void EncoderUpgrade::appendDeviceLog(const QString& line) {
    reporter.log(index, LogKind::Device, line);
}

void EncoderUpgrade::appendUpgradeLog(const QString& line) {
    reporter.log(index, LogKind::Upgrade, line);
}

void EncoderUpgrade::showSuccess(const QString& text) {
    reporter.log(index, LogKind::Notice, text);
}

EncoderOutcome EncoderUpgrade::outcome() const {
    return {address.label, success, reason};
}
