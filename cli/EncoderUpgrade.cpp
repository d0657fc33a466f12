#include "EncoderUpgrade.h"

#include "FirmwareImage.h"
#include "ProgramError.h"
#include "UpgradeTexts.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

namespace {

// The program's own line when --silence ends an upgrade.
QString silenceLine(double seconds) {
    return QStringLiteral("!!! NO REPLY FROM ENCODER FOR %1 S !!!").arg(seconds);
}

QString errnoText(int error) {
    QString text = QString::fromLocal8Bit(std::strerror(error));
    if (!text.isEmpty())
        text[0] = text[0].toLower();
    return text;
}

QString localAddressOf(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return {};
    char dotted[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
    return QStringLiteral("%1:%2").arg(QLatin1String(dotted)).arg(ntohs(local.sin_port));
}

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

std::chrono::milliseconds secondsToMs(double seconds) {
    return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000.0 + 0.5));
}

} // namespace

EncoderUpgrade::EncoderUpgrade(int index, EncoderAddress address, const FirmwareImageBuffer& image,
                               Reporter& reporter, std::optional<double> silenceSeconds,
                               QObject* parent)
    : QObject(parent), index(index), address(std::move(address)), image(image), reporter(reporter),
      silenceSeconds(silenceSeconds),
      channel(this->address.address, QByteArray::number(this->address.port)),
      monitor(channel, *this, image.length) {
    for (QTimer* timer : {&connectBound, &pause, &sendStall, &silence})
        timer->setSingleShot(true);
    // A coarse timer may fire early; the encoder needs the whole pause.
    pause.setTimerType(Qt::PreciseTimer);
    connect(&connectBound, &QTimer::timeout, this, &EncoderUpgrade::continueConnect);
    connect(&pause, &QTimer::timeout, this, &EncoderUpgrade::pauseOver);
    connect(&sendStall, &QTimer::timeout, this, [this] {
        sendFailed(QStringLiteral("the encoder took no byte for %1 s")
                       .arg(TcpChannelBounds().sendStall.count() / 1000.0));
    });
    connect(&silence, &QTimer::timeout, this, &EncoderUpgrade::silenceReached);
}

void EncoderUpgrade::start() {
    if (step != Step::Idle)
        return; // interrupted before it began
    step = Step::Connecting;
    reporter.connecting(index, address.address, address.port);
    ConnectProgress progress;
    try {
        progress = channel.StartConnect();
    } catch (const ProgramError& error) {
        end(false, error.message());
        return;
    }
    if (progress == ConnectProgress::Connected) {
        connectionStands();
    } else if (progress == ConnectProgress::Failed) {
        connectFailed();
    } else {
        watchSocket();
        writable->setEnabled(true);
        connectBound.start(channel.ConnectTimeLeft() + std::chrono::milliseconds(1));
    }
}

void EncoderUpgrade::watchSocket() {
    readable = new QSocketNotifier(channel.descriptor(), QSocketNotifier::Read, this);
    writable = new QSocketNotifier(channel.descriptor(), QSocketNotifier::Write, this);
    readable->setEnabled(false);
    writable->setEnabled(false);
    connect(readable, &QSocketNotifier::activated, this, [this] {
        if (silence.isActive())
            silence.start();
        pumpReplies();
    });
    connect(writable, &QSocketNotifier::activated, this, [this] {
        if (step == Step::Connecting)
            continueConnect();
        else
            sendMore();
    });
}

// Called before the socket closes, and possibly from inside a notifier's own signal: the
// notifiers are switched off at once and deleted once the event loop has them back.
void EncoderUpgrade::dropSocketWatch() {
    for (QSocketNotifier** notifier : {&readable, &writable}) {
        if (*notifier) {
            (*notifier)->setEnabled(false);
            (*notifier)->deleteLater();
            *notifier = nullptr;
        }
    }
}

void EncoderUpgrade::continueConnect() {
    if (step != Step::Connecting)
        return;
    const ConnectProgress progress = channel.FinishConnect();
    if (progress == ConnectProgress::Connected) {
        connectBound.stop();
        writable->setEnabled(false);
        connectionStands();
    } else if (progress == ConnectProgress::Failed) {
        connectFailed();
    } else if (!connectBound.isActive()) {
        connectBound.start(channel.ConnectTimeLeft() + std::chrono::milliseconds(1));
    }
}

// The window's "SERVER NOT READY...PRESS OK": nothing was sent, nothing more can be done.
void EncoderUpgrade::connectFailed() {
    connectBound.stop();
    const int error = channel.ConnectError();
    dropSocketWatch();
    channel.Close();
    const QString why = error == ETIMEDOUT ? QStringLiteral("no connection within %1 s")
                                                 .arg(TcpChannelBounds().connect.count() / 1000.0)
                                           : errnoText(error);
    end(false, QStringLiteral("SERVER NOT READY (%1)").arg(why));
}

void EncoderUpgrade::connectionStands() {
    if (!writable)
        watchSocket();
    ConnectedDetails details;
    details.remoteHost = QString::fromLocal8Bit(address.host);
    details.remotePort = QString::number(address.port);
    details.localHostName = QString::fromLocal8Bit(TcpClientChannel::LocalHostName());
    details.localAddress = localAddressOf(channel.descriptor());
    reporter.connected(index, details);

    step = Step::SendingHeader;
    reporter.status(index, QString::fromLatin1(UpgradeLog::SendHeader));
    appendUpgradeLog(QString::fromLatin1(UpgradeLog::SendHeader));
    header = UpgradeHeader(image.length, image.checksum);
    beginSend(header.data(), UpgradeHeaderSize);
}

void EncoderUpgrade::beginSend(const std::uint8_t* bytes, std::int64_t count) {
    sendBytes = bytes;
    sendCount = count;
    sent = 0;
    sendStall.start(TcpChannelBounds().sendStall);
    sendMore();
}

// One send per call, of as much as the platform takes: the other encoders get their turn
// between two calls.
void EncoderUpgrade::sendMore() {
    if (step != Step::SendingHeader && step != Step::SendingImage)
        return;
    if (sent < sendCount) {
        const int chunk = static_cast<int>(std::min<std::int64_t>(sendCount - sent, 1 << 30));
        const int n = channel.SendSome(sendBytes + sent, chunk);
        if (n < 0) {
            sendFailed(errnoText(errno));
            return;
        }
        if (n > 0) {
            sent += n;
            sendStall.start();
            if (step == Step::SendingImage)
                reportProgress(ProgressStage::Transfer, sent, 0, sendCount);
        }
    }
    if (sent < sendCount) {
        writable->setEnabled(true);
        return;
    }
    writable->setEnabled(false);
    sendStall.stop();
    sendComplete();
}

void EncoderUpgrade::sendFailed(const QString& why) {
    const QString what =
        step == Step::SendingHeader ? QStringLiteral("the header") : QStringLiteral("the image");
    appendUpgradeLog(QString::fromLatin1(UpgradeLog::SendFailed));
    stopOwnUpgrade(OwnCause::SendFailed,
                   QStringLiteral("send to encoder failed (%1: %2)").arg(what, why));
}

void EncoderUpgrade::sendComplete() {
    if (step == Step::SendingHeader) {
        step = Step::Pausing;
        reporter.status(index, QStringLiteral("pause %1 ms").arg(HeaderToImagePauseMs));
        pause.start(HeaderToImagePauseMs);
    } else {
        startFollowing();
    }
}

void EncoderUpgrade::pauseOver() {
    if (step != Step::Pausing)
        return;
    step = Step::SendingImage;
    reporter.status(index, QString::fromLatin1(UpgradeLog::SendProgram));
    appendUpgradeLog(QString::fromLatin1(UpgradeLog::SendProgram));
    beginSend(image.data.data(), image.length);
}

// The encoder's replies are read only now that the whole image has gone, as the window does.
void EncoderUpgrade::startFollowing() {
    step = Step::Following;
    reporter.status(index, QStringLiteral("waiting for the encoder"));
    if (silenceSeconds)
        silence.start(secondsToMs(*silenceSeconds));
    readable->setEnabled(true);
    pumpReplies();
}

void EncoderUpgrade::pumpReplies() {
    pumpScheduled = false;
    if (step != Step::Following)
        return;
    if (monitor.pump() == PumpResult::MorePending)
        schedulePump();
}

// Replies already received wait in the monitor, where no socket notification will come for
// them; the next pump runs once the other encoders have had their turn.
void EncoderUpgrade::schedulePump() {
    if (pumpScheduled)
        return;
    pumpScheduled = true;
    QTimer::singleShot(0, this, &EncoderUpgrade::pumpReplies);
}

void EncoderUpgrade::silenceReached() {
    if (step != Step::Following)
        return;
    appendUpgradeLog(silenceLine(*silenceSeconds));
    stopOwnUpgrade(OwnCause::Silence, QStringLiteral("no reply from the encoder for %1 s while %2")
                                          .arg(*silenceSeconds)
                                          .arg(stageName()));
}

std::optional<QString> EncoderUpgrade::interrupt() {
    if (step == Step::Ended)
        return std::nullopt;
    if (step == Step::Idle) {
        end(false, QStringLiteral("interrupted before connecting"));
        return std::nullopt;
    }
    std::optional<QString> flash;
    const std::int32_t stage = monitor.state().UpgradeStage;
    if (stage >= 2)
        flash = stageName();
    else if (step == Step::Following)
        flash = QStringLiteral("possibly erasing flash (it had the whole image)");
    const QString reason = QStringLiteral("interrupted while %1").arg(stageName());
    if (step == Step::Connecting) {
        dropSocketWatch();
        channel.Close();
        end(false, reason);
    } else {
        stopOwnUpgrade(OwnCause::Interrupted, reason);
    }
    return flash;
}

void EncoderUpgrade::stopOwnUpgrade(OwnCause cause, const QString& why) {
    ownCause = cause;
    ownReason = why;
    monitor.StopUpgrade();
}

QString EncoderUpgrade::stageName() const {
    switch (step) {
    case Step::Idle:
    case Step::Connecting:
        return QStringLiteral("connecting");
    case Step::SendingHeader:
        return QStringLiteral("sending the header");
    case Step::Pausing:
        return QStringLiteral("pausing before the image");
    case Step::SendingImage:
        return QStringLiteral("sending the image");
    case Step::Following:
    case Step::Ended:
        break;
    }
    switch (monitor.state().UpgradeStage) {
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
    if (line == QLatin1String(UpgradeLog::ConnectionLost))
        connectionLost = true;
    reporter.log(index, LogKind::Upgrade, line);
}

// The error text also reaches the upgrade log, right after this.
void EncoderUpgrade::showErrorText(const QString& text) {
    errorText = text;
}

void EncoderUpgrade::showSuccess(const QString& text) {
    if (step == Step::Ended || monitor.ended())
        return;
    successShown = true;
    reporter.log(index, LogKind::Notice, text);
}

// The reply that ended the upgrade may still be logged and followed after this; the end is
// reported once that is done.
void EncoderUpgrade::upgradeEnded() {
    const bool succeeded = successShown && ownCause == OwnCause::None;
    const QString why = endReason();
    dropSocketWatch();
    for (QTimer* timer : {&connectBound, &pause, &sendStall, &silence})
        timer->stop();
    step = Step::Ended;
    QTimer::singleShot(0, this, [this, succeeded, why] { end(succeeded, why); });
}

QString EncoderUpgrade::endReason() const {
    if (ownCause != OwnCause::None)
        return ownReason;
    if (successShown)
        return QString::fromLatin1(EncoderReply::VerifyDone);
    if (errorText)
        return QString::fromLatin1(EncoderReply::Error) + QLatin1Char(' ') + *errorText;
    if (connectionLost)
        return QStringLiteral("connection to encoder lost while %1").arg(stageName());
    if (monitor.replyText() == EncoderReply::ProgramFail)
        return QString::fromLatin1(EncoderReply::ProgramFail);
    return QStringLiteral("upgrade aborted");
}

void EncoderUpgrade::end(bool succeeded, const QString& why) {
    step = Step::Ended;
    success = succeeded;
    reason = why;
    reporter.ended(index, succeeded, why);
    emit finished();
}

EncoderOutcome EncoderUpgrade::outcome() const {
    return {address.label, success, reason};
}
