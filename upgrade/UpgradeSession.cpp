#include "UpgradeSession.h"

#include "AcknowledgedSender.h"
#include "FirmwareImage.h"
#include "HostLookup.h"
#include "TcpClientChannel.h"
#include "UpgradeHeader.h"

#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>

namespace {

// Replies held while the image goes out; past this the encoder waits, as it would for a
// client that does not read.
constexpr qsizetype HeldReplyLimit = 1 << 20;
// The pause starts once the encoder has acknowledged the header, so it has the header by
// then; the margin only keeps the encoder's own clock from reading a hair under the pause.
constexpr std::chrono::milliseconds PauseMargin{2};
// What a failed send still reads of what the encoder said, should it never stop talking.
constexpr int MaxPumpsAfterFailedSend = 100;

} // namespace

UpgradeSession::UpgradeSession(TcpClientChannel& channel, const FirmwareImageBuffer& image,
                               UpgradeView& view, QObject* parent)
    : QObject(parent), channel(channel), image(image), view(view),
      replies(channel, view, image.length) {
    // Precise: a coarse timer may fire 5 % early, and the encoder needs the whole pause, as a
    // bound must pass no earlier than it says.
    for (QTimer* timer : timers()) {
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
    }
    pumpSoon.setInterval(0);
    connect(&connectBound, &QTimer::timeout, this, &UpgradeSession::continueConnect);
    connect(&pause, &QTimer::timeout, this, &UpgradeSession::pauseOver);
    connect(&silence, &QTimer::timeout, this, &UpgradeSession::silenceReached);
    connect(&whole, &QTimer::timeout, this, &UpgradeSession::wholeBoundReached);
    connect(&pumpSoon, &QTimer::timeout, this, &UpgradeSession::pump);
    connect(&tailQuiet, &QTimer::timeout, this, &UpgradeSession::pump);
}

UpgradeSession::~UpgradeSession() = default;

void UpgradeSession::setSilenceBound(std::optional<std::chrono::milliseconds> bound) {
    silenceBound = bound;
}

void UpgradeSession::setWholeBound(std::optional<std::chrono::milliseconds> bound,
                                   std::chrono::milliseconds spent) {
    wholeBound = bound;
    wholeSpent = spent;
}

std::int64_t UpgradeSession::imageBytesAcknowledged() const {
    return imageAcknowledged;
}

void UpgradeSession::enter(UpgradeStep step) {
    current = step;
    reached = step;
    view.stepEntered(step);
}

void UpgradeSession::start() {
    if (current != UpgradeStep::Idle)
        return;
    // Throws before the session has begun: the front end may try again. A host name is looked
    // up off the event loop, within the connect's bound.
    const bool lookUp = HostLookup::MayWait(channel.RemoteHost()) &&
                        TcpClientChannel::LookupPort(channel.RemotePort()) != 0;
    const ConnectProgress progress = lookUp ? ConnectProgress::InProgress : channel.StartConnect();
    connectStart = std::chrono::steady_clock::now();
    // The header describes the image as it stands now; the image is sent at that length.
    header = UpgradeHeader(image.length, image.checksum);
    if (wholeBound)
        whole.start(std::max(*wholeBound - wholeSpent, std::chrono::milliseconds::zero()));
    enter(UpgradeStep::Connecting);
    if (lookUp)
        lookUpHost();
    else
        connectProgressed(progress);
}

void UpgradeSession::connectProgressed(ConnectProgress progress) {
    if (progress == ConnectProgress::Connected) {
        connectionStands();
    } else if (progress == ConnectProgress::Failed) {
        connectFailed();
    } else {
        watchConnect();
        connectBound.start(channel.ConnectTimeLeft() + std::chrono::milliseconds(1));
    }
}

void UpgradeSession::lookUpHost() {
    hostLookup = new HostLookup(this);
    connect(hostLookup, &HostLookup::found, this, &UpgradeSession::hostFound);
    hostLookup->start(channel.RemoteHost());
    connectBound.start(TcpChannelBounds().connect + std::chrono::milliseconds(1));
}

void UpgradeSession::hostFound(const QByteArray& dotted) {
    if (current != UpgradeStep::Connecting || !hostLookup)
        return;
    hostLookup->deleteLater();
    hostLookup = nullptr;
    connectBound.stop();
    connectProgressed(channel.StartConnect(dotted, connectStart));
}

void UpgradeSession::watchConnect() {
    connectWritable = new QSocketNotifier(channel.descriptor(), QSocketNotifier::Write, this);
    connect(connectWritable, &QSocketNotifier::activated, this, &UpgradeSession::continueConnect);
}

void UpgradeSession::continueConnect() {
    if (current != UpgradeStep::Connecting)
        return;
    if (hostLookup) {
        view.connectionSettled(false);
        endWithoutConnection({UpgradeEndKind::NotReachable,
                              QStringLiteral("no answer to the name lookup within %1 s")
                                  .arg(SecondsText(TcpChannelBounds().connect))});
        return;
    }
    const ConnectProgress progress = channel.FinishConnect();
    if (progress == ConnectProgress::Connected) {
        connectBound.stop();
        connectionStands();
    } else if (progress == ConnectProgress::Failed) {
        connectFailed();
    } else if (!connectBound.isActive()) {
        connectBound.start(channel.ConnectTimeLeft() + std::chrono::milliseconds(1));
    }
}

// Nothing was sent; nothing more can be done on this connection.
void UpgradeSession::connectFailed() {
    view.connectionSettled(false);
    endWithoutConnection({UpgradeEndKind::NotReachable, connectFailureText()});
}

QString UpgradeSession::connectFailureText() const {
    const int error = channel.ConnectError();
    if (error == TcpClientChannel::ConnectBoundError)
        return QStringLiteral("no connection within %1 s")
            .arg(SecondsText(TcpChannelBounds().connect));
    if (error == ETIMEDOUT) {
        const std::chrono::duration<double> waited =
            std::chrono::steady_clock::now() - connectStart;
        return QStringLiteral("%1: the system gave up after %2 s")
            .arg(TcpClientChannel::ErrorText(error), QString::number(waited.count(), 'f', 0));
    }
    if (error == TcpClientChannel::LoopbackGuardError && TcpClientChannel::LoopbackOnly())
        return QStringLiteral("%1 is set: only loopback addresses (127.0.0.0/8) may be reached")
            .arg(QLatin1String(LoopbackOnlyVariable));
    return TcpClientChannel::ErrorText(error);
}

void UpgradeSession::connectionStands() {
    dropNotifier(connectWritable);
    readable = new QSocketNotifier(channel.descriptor(), QSocketNotifier::Read, this);
    readable->setEnabled(false);
    connect(readable, &QSocketNotifier::activated, this, &UpgradeSession::encoderReadable);
    sender = new AcknowledgedSender(channel, this);
    sender->setPacer(sendPacer);
    connect(sender, &AcknowledgedSender::progressed, this, &UpgradeSession::imageProgressed);
    connect(sender, &AcknowledgedSender::complete, this, &UpgradeSession::sendComplete);
    connect(sender, &AcknowledgedSender::failed, this, &UpgradeSession::endSending);
    view.connectionSettled(true);
    if (ended())
        return; // the front end stopped it on seeing the connection
    view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::SendHeader));
    enter(UpgradeStep::SendingHeader);
    sender->send(header.data(), UpgradeHeaderSize, "header", AcknowledgedSender::Start::Queued);
}

void UpgradeSession::imageProgressed(std::int64_t acknowledged) {
    if (current != UpgradeStep::SendingImage)
        return;
    imageAcknowledged = acknowledged;
    view.imageSent(acknowledged, replies.imageLength()); // the front end may stop it here
}

void UpgradeSession::sendComplete() {
    if (current == UpgradeStep::SendingHeader) {
        enter(UpgradeStep::Pausing);
        if (ended())
            return;
        readable->setEnabled(true);
        pauseEnd = std::chrono::steady_clock::now() + HeaderToImagePause + PauseMargin;
        pause.start(HeaderToImagePause + PauseMargin);
    } else {
        startFollowing();
    }
}

// What the encoder said before the send ended (often why it stopped taking the image) is still
// followed, only what has already come; its closed connection is then this end, told once.
void UpgradeSession::endSending(const UpgradeEnd& end) {
    readable->setEnabled(false);
    replies.setLossCause(end);
    followWhatCame();
    if (!replies.ended()) {
        view.appendUpgradeLog(QString::fromLatin1(UpgradeMonitor::LossLine(end)));
        replies.stopWith(end);
    }
    finishIfEnded();
}

void UpgradeSession::followWhatCame() {
    for (int pumps = 0; pumps < MaxPumpsAfterFailedSend && !replies.ended(); ++pumps) {
        if (replies.pump() != PumpResult::MorePending)
            break;
    }
}

void UpgradeSession::pauseOver() {
    if (current != UpgradeStep::Pausing)
        return;
    // A timer may fire a little early; the encoder needs the whole pause.
    const auto left = pauseEnd - std::chrono::steady_clock::now();
    if (left > std::chrono::steady_clock::duration::zero()) {
        pause.start(std::chrono::ceil<std::chrono::milliseconds>(left));
        return;
    }
    view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::SendProgram));
    enter(UpgradeStep::SendingImage);
    if (ended())
        return;
    // The encoder times the pause to the image's first byte.
    sender->send(image.data.data(), replies.imageLength(), "image",
                 AcknowledgedSender::Start::Prompt);
}

void UpgradeSession::startFollowing() {
    imageAcknowledged = replies.imageLength();
    enter(UpgradeStep::Following);
    if (ended())
        return;
    if (silenceBound)
        silence.start(*silenceBound);
    readable->setEnabled(true);
    pump();
}

// Before the image has gone, the encoder's bytes are only held, so that an encoder which
// answers while it receives cannot stall both sides.
void UpgradeSession::holdReplies() {
    if (!replies.holdWaitingBytes(HeldReplyLimit))
        readable->setEnabled(false); // closed, or enough held: the rest waits in the socket
}

void UpgradeSession::encoderReadable() {
    if (current == UpgradeStep::Following) {
        if (silence.isActive())
            silence.start();
        pump();
    } else if (current == UpgradeStep::Pausing || current == UpgradeStep::SendingImage) {
        holdReplies();
    }
}

// The notifier rests while the replies are handled: a notice box opened meanwhile runs an
// event loop of its own, in which a readable socket would wake it again and again.
void UpgradeSession::pump() {
    if (pumping || current != UpgradeStep::Following || !readable)
        return;
    pumping = true;
    readable->setEnabled(false);
    const PumpResult result = replies.pump();
    pumping = false;
    if (replies.ended()) {
        finishIfEnded();
        return;
    }
    if (readable)
        readable->setEnabled(true);
    if (result == PumpResult::MorePending)
        schedulePump();
    else if (result == PumpResult::TailWaiting)
        pumpWhenTailDue();
    else
        tailQuiet.stop();
}

// Replies already received wait in the monitor, where no socket notification will come for
// them; the next pump runs once the event loop has turned.
void UpgradeSession::schedulePump() {
    if (!pumpSoon.isActive())
        pumpSoon.start();
}

// A tail held for want of its zero byte counts as a reply once the encoder has been quiet
// long enough; no socket notification comes for that. Bytes that come first pump earlier.
void UpgradeSession::pumpWhenTailDue() {
    const auto due = replies.tailDue();
    if (!due)
        return;
    const auto left = *due - ReplyStream::Clock::now();
    tailQuiet.start(std::max(std::chrono::ceil<std::chrono::milliseconds>(left),
                             std::chrono::milliseconds::zero()));
}

void UpgradeSession::silenceReached() {
    if (current != UpgradeStep::Following || !silenceBound)
        return;
    const QString seconds = SecondsText(*silenceBound);
    view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::NoReplyFor).arg(seconds));
    stop({UpgradeEndKind::NoAnswer,
          QStringLiteral("no reply from the encoder for %1 s").arg(seconds)});
}

void UpgradeSession::wholeBoundReached() {
    if (ended() || !wholeBound)
        return;
    const QString seconds = SecondsText(*wholeBound);
    if (current != UpgradeStep::Connecting)
        view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::TookTooLong).arg(seconds));
    stop({UpgradeEndKind::TimedOut, QStringLiteral("not done within %1 s").arg(seconds)});
}

void UpgradeSession::stop(const UpgradeEnd& end) {
    switch (current) {
    case UpgradeStep::Ended:
        return;
    case UpgradeStep::Idle:
    case UpgradeStep::Connecting:
        endWithoutConnection(end);
        return;
    default:
        replies.stopWith(end);
        finishIfEnded();
        return;
    }
}

void UpgradeSession::endWithoutConnection(const UpgradeEnd& end) {
    cause = end;
    finish();
    channel.Close();
    view.upgradeEnded(cause);
    emit finished();
}

void UpgradeSession::finishIfEnded() {
    if (!replies.ended() || ended())
        return;
    cause = replies.endCause();
    finish();
    emit finished();
}

// Switched off at once, and deleted once the event loop has them back: this may run inside
// one of their own signals.
void UpgradeSession::finish() {
    current = UpgradeStep::Ended;
    for (QTimer* timer : timers())
        timer->stop();
    dropNotifier(readable);
    dropNotifier(connectWritable);
    if (sender) {
        sender->stop();
        sender->deleteLater();
        sender = nullptr;
    }
}

void UpgradeSession::dropNotifier(QSocketNotifier*& notifier) {
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
}

UpgradeProgress UpgradeSession::progress() const {
    UpgradeProgress now;
    now.step = current;
    now.phase = replies.phase();
    now.bytesAcknowledged = imageBytesSent();
    now.imageLength = replies.imageLength();
    now.percent = now.phase
                      ? PhasePercent(*now.phase, replies.phasePosition(*now.phase), now.imageLength)
                      : PercentOf(now.bytesAcknowledged, 0, now.imageLength);
    now.writingFlash = replies.writingFlash();
    if (current == UpgradeStep::SendingImage && sender->sending()) { // not the header's rate
        const auto at = std::chrono::steady_clock::now();
        now.bytesPerSecond = sender->rate().bytesPerSecond(at);
        now.timeLeft = sender->rate().timeLeft(at, now.imageLength);
    }
    return now;
}

QString UpgradeSession::stage() const {
    switch (reached) {
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
    switch (replies.state().UpgradeStage) {
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

QString UpgradeSession::endDescription() const {
    switch (cause.kind) {
    case UpgradeEndKind::Success:
        return QString::fromLatin1(EncoderReply::VerifyDone);
    case UpgradeEndKind::ProgramFail:
        return QString::fromLatin1(EncoderReply::ProgramFail);
    case UpgradeEndKind::EncoderError:
        return QString::fromLatin1(EncoderReply::Error) + QLatin1Char(' ') +
               (cause.text.isEmpty() ? QStringLiteral("(the encoder closed the connection "
                                                      "before its error text)")
                                     : cause.text);
    case UpgradeEndKind::ConnectionLost:
        return QStringLiteral("connection to encoder lost while %1").arg(stage());
    case UpgradeEndKind::SendFailed:
        return QStringLiteral("send to encoder failed (%1)").arg(cause.text);
    case UpgradeEndKind::NotReachable:
        return QStringLiteral("SERVER NOT READY (%1)").arg(cause.text);
    case UpgradeEndKind::NoAnswer:
    case UpgradeEndKind::TimedOut:
        return QStringLiteral("%1 while %2").arg(cause.text, stage());
    case UpgradeEndKind::Interrupted:
        break;
    }
    return cause.text;
}
