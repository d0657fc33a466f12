#include "AcknowledgedSender.h"

#include "SendPacer.h"
#include "TcpClientChannel.h"

#include <QSocketNotifier>
#include <QTimerEvent>

#include <algorithm>
#include <cerrno>

namespace {

// One send hands the socket at most this much (about a millisecond's work); the socket often
// takes less. Larger sends cost both ends less per byte: with 256 encoders at once on one
// machine, 1 MiB instead of 64 KiB cut the processor time of the transfer by a third. A fleet
// shares the event loop through a SendPacer.
constexpr std::int64_t SendChunk = 1024 * 1024;
// A prompt send's first piece goes past a pacer's queue of senders (a fleet's queue held the
// image's first byte up to 250 ms); only this much, so that many pauses ending in one turn
// still cost the loop little.
constexpr std::int64_t PromptChunk = 64 * 1024;
// Once everything has been handed over, the send queue is looked at soon and then less often
// (on loopback the header's acknowledgement is there at once, and it starts the pause); while
// the socket still takes more, every hand-over looks too, and the poller only shows progress on
// a slow link between them.
constexpr std::chrono::milliseconds FirstCheck{1};
constexpr std::chrono::milliseconds LongestCheck{16};
constexpr std::chrono::milliseconds ProgressCheck{250};
// A sender looked at may end its send and set its session's next steps going; a thousand of
// them in one turn held the event loop for 40 ms. Past this, the rest wait for the next turn.
constexpr std::chrono::microseconds PollerTurn{2000};

QString tookNoByteText(std::chrono::milliseconds bound) {
    return QStringLiteral("the encoder took no byte for %1 s").arg(SecondsText(bound));
}

} // namespace

AcknowledgedSender::AcknowledgedSender(TcpClientChannel& channel, QObject* parent)
    : QObject(parent), channel(channel),
      writable(new QSocketNotifier(channel.descriptor(), QSocketNotifier::Write, this)),
      poller(AcknowledgementPoller::forThisThread()) {
    writable->setEnabled(false);
    connect(writable, &QSocketNotifier::activated, this, &AcknowledgedSender::sendMore);
}

AcknowledgedSender::~AcknowledgedSender() {
    poller->cancel(this);
}

void AcknowledgedSender::send(const std::uint8_t* from, std::int64_t length, const char* name,
                              Start start) {
    bytes = from;
    count = length;
    what = name;
    prompt = start == Start::Prompt;
    receiveRate.start(Clock::now());
    sent = 0;
    acknowledgedCount = 0;
    active = true;
    nextWait = FirstCheck;
    stallDue = Clock::now() + TcpChannelBounds().sendStall;
    sendMore();
}

void AcknowledgedSender::stop() {
    active = false;
    writable->setEnabled(false);
    poller->cancel(this);
}

std::int64_t AcknowledgedSender::received() const {
    return std::min(sent, acknowledgedCount + channel.SelectivelyAcknowledgedBytes());
}

// One send per call, of as much as the platform takes now, then a look at what the encoder
// has acknowledged. The event loop turns between two sends: the sender waits for the socket
// to take more or, when a pacer shares the loop among many senders, for its next turn.
void AcknowledgedSender::sendMore() {
    if (!active)
        return;
    if (sent < count && !handOver())
        return;
    followAcknowledgements();
}

// False when the send failed, or waits for the pacer's next turn.
bool AcknowledgedSender::handOver() {
    const bool promptStart = prompt && sent == 0;
    if (pacer && !promptStart && !pacer->admit(this, [this] { sendMore(); })) {
        writable->setEnabled(false);
        return false;
    }
    const int chunk = static_cast<int>(
        std::min<std::int64_t>(count - sent, promptStart ? PromptChunk : SendChunk));
    const int n = channel.SendSome(bytes + sent, chunk);
    if (n < 0) {
        broke(errno);
        return false;
    }
    if (pacer)
        pacer->spent(n);
    sent += n;
    if (sent < count)
        waitToSendMore(n == chunk);
    else
        writable->setEnabled(false);
    return true;
}

// A socket that took a whole chunk most likely takes the next one too: with a pacer, the
// sender waits for its turn alone, and the socket is watched only once it is full.
void AcknowledgedSender::waitToSendMore(bool socketTookAll) {
    if (pacer && socketTookAll) {
        writable->setEnabled(false);
        pacer->wait(this, [this] { sendMore(); });
    } else {
        writable->setEnabled(true);
    }
}

// Every byte the encoder acknowledges holds off the stall bound; once it has acknowledged
// everything, the send is complete.
void AcknowledgedSender::followAcknowledgements() {
    const std::int64_t unacknowledged = channel.UnacknowledgedBytes();
    const Clock::time_point now = Clock::now();
    const bool moved = unacknowledged >= 0 && sent - unacknowledged > acknowledgedCount;
    if (moved)
        acknowledgedCount = sent - unacknowledged;
    receiveRate.record(now, received());
    if (moved) {
        stallDue = now + TcpChannelBounds().sendStall;
        emit progressed(acknowledgedCount);
        if (!active)
            return; // stopped on seeing the progress
    }
    if (acknowledgedCount == count) {
        stop();
        emit complete();
    } else if (unacknowledged < 0 || channel.ConnectionFailed()) {
        broke(channel.ConnectionError());
    } else {
        scheduleCheck();
    }
}

void AcknowledgedSender::scheduleCheck() {
    const Clock::time_point now = Clock::now();
    if (sent < count) {
        if (!polled)
            poller->schedule(this, std::min(now + ProgressCheck, stallDue));
        return;
    }
    poller->schedule(this, std::min(now + nextWait, stallDue));
    nextWait = std::min(nextWait * 2, LongestCheck);
}

void AcknowledgedSender::checkDue() {
    if (!active)
        return;
    followAcknowledgements();
    if (active && Clock::now() >= stallDue)
        stalled();
}

// No byte acknowledged for the bound: an encoder whose TCP still answers but takes nothing
// more fails the send; one that answers nothing at all has vanished.
void AcknowledgedSender::stalled() {
    if (channel.EncoderSilent())
        fail(UpgradeEndKind::ConnectionLost, {});
    else
        fail(UpgradeEndKind::SendFailed, tookNoByteText(TcpChannelBounds().sendStall));
}

// The connection failed under a send. TCP gives up on an encoder that answers nothing (it
// has vanished), and on one that answers but takes nothing for the user timeout.
void AcknowledgedSender::broke(int error) {
    if (channel.EncoderSilent())
        fail(UpgradeEndKind::ConnectionLost, {});
    else if (error == ETIMEDOUT)
        fail(UpgradeEndKind::SendFailed, tookNoByteText(TcpChannelBounds().userTimeout));
    else
        fail(UpgradeEndKind::SendFailed, error != 0 ? TcpClientChannel::ErrorText(error)
                                                    : QStringLiteral("the connection failed"));
}

void AcknowledgedSender::fail(UpgradeEndKind kind, const QString& why) {
    stop();
    if (kind == UpgradeEndKind::ConnectionLost)
        emit failed({kind, QStringLiteral("the encoder stopped answering")});
    else
        emit failed({kind, QStringLiteral("the %1: %2").arg(QLatin1String(what), why)});
}

std::shared_ptr<AcknowledgementPoller> AcknowledgementPoller::forThisThread() {
    thread_local std::weak_ptr<AcknowledgementPoller> current;
    std::shared_ptr<AcknowledgementPoller> poller = current.lock();
    if (!poller) {
        poller.reset(new AcknowledgementPoller);
        current = poller;
    }
    return poller;
}

AcknowledgementPoller::~AcknowledgementPoller() {
    if (timerId != 0)
        killTimer(timerId);
}

void AcknowledgementPoller::schedule(AcknowledgedSender* sender, Clock::time_point at) {
    cancel(sender);
    sender->pollEntry = due.emplace(at, sender);
    sender->polled = true;
    if (!polling && (timerId == 0 || at < armedFor))
        rearm(); // while polling, the turn's end arms the timer once
}

void AcknowledgementPoller::cancel(AcknowledgedSender* sender) {
    if (!sender->polled)
        return;
    due.erase(sender->pollEntry);
    sender->polled = false;
}

// Precise: a coarse timer may fire 5 % early, and a stall bound must pass no earlier than
// it says. A sender may stop, or start, others while it is looked at.
void AcknowledgementPoller::timerEvent(QTimerEvent* event) {
    if (event->timerId() != timerId)
        return;
    const std::shared_ptr<AcknowledgementPoller> keep = shared_from_this();
    killTimer(timerId);
    timerId = 0;
    polling = true;
    const bool overran = lookAtDue();
    polling = false;
    if (overran) {
        timerId = startTimer(std::chrono::milliseconds::zero(), Qt::PreciseTimer);
        armedFor = Clock::now();
    } else if (!due.empty()) {
        rearm();
    }
}

// True when the turn's time ran out with senders still due.
bool AcknowledgementPoller::lookAtDue() {
    const Clock::time_point now = Clock::now();
    const Clock::time_point turnEnd = now + PollerTurn;
    while (!due.empty() && due.begin()->first <= now) {
        if (Clock::now() >= turnEnd)
            return true;
        AcknowledgedSender* sender = due.begin()->second;
        cancel(sender);
        sender->checkDue();
    }
    return false;
}

void AcknowledgementPoller::rearm() {
    if (timerId != 0)
        killTimer(timerId);
    armedFor = due.begin()->first;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(armedFor - Clock::now());
    timerId = startTimer(std::max(wait, std::chrono::milliseconds::zero()), Qt::PreciseTimer);
}
