#pragma once

#include "TransferRate.h"
#include "UpgradeView.h"

#include <QObject>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>

class AcknowledgementPoller;
class QSocketNotifier;
class SendPacer;
class TcpClientChannel;

// Sends bytes to the encoder without waiting on the event loop, and counts them by what the
// encoder's TCP acknowledged, not by what the local socket took: on a slow or lossy network
// the two differ by seconds. A send of which the encoder acknowledges no byte for the channel's
// send-stall bound fails; so does one the connection gives up under. Nothing tells when the
// encoder acknowledges bytes, so the socket's send queue is looked at: after each hand-over,
// and by one poller for every sender of the thread.
class AcknowledgedSender : public QObject {
    Q_OBJECT
public:
    // The channel must outlive the sender and be connected.
    explicit AcknowledgedSender(TcpClientChannel& channel, QObject* parent = nullptr);
    ~AcknowledgedSender() override;
    AcknowledgedSender(const AcknowledgedSender&) = delete;
    AcknowledgedSender& operator=(const AcknowledgedSender&) = delete;

    // Shares the event loop with other senders; none by default.
    void setPacer(SendPacer* sendPacer) { pacer = sendPacer; }

    // Starts sending `count` bytes (which must outlive the send), called `what` in a failure
    // ("header", "image"). A Prompt send hands its first piece over at once, past a pacer's
    // queue: the encoder times the pause to the image's first byte.
    enum class Start { Queued, Prompt };
    void send(const std::uint8_t* bytes, std::int64_t count, const char* what, Start start);
    // Stops the send; no signal follows.
    void stop();
    bool sending() const { return active; }

    // The rate at which the encoder receives this send, by what it holds past a lost segment
    // too (its selective acknowledgements): the cumulative acknowledgement stands still until
    // the loss is repaired, then leaps.
    const TransferRate& rate() const { return receiveRate; }

signals:
    // The encoder acknowledged more; a slot may stop the send.
    void progressed(std::int64_t acknowledged);
    // The encoder has acknowledged every byte, even should the connection have failed since.
    void complete();
    // The send failed: the encoder vanished, took nothing for the bound, or the connection broke.
    void failed(const UpgradeEnd& end);

private:
    friend class AcknowledgementPoller;
    using Clock = std::chrono::steady_clock;

    void sendMore();
    bool handOver();
    void waitToSendMore(bool socketTookAll);
    void followAcknowledgements();
    void scheduleCheck();
    void checkDue();
    void stalled();
    void broke(int error);
    void fail(UpgradeEndKind kind, const QString& why);
    std::int64_t received() const;

    TcpClientChannel& channel;
    SendPacer* pacer = nullptr;
    QSocketNotifier* writable = nullptr;
    std::shared_ptr<AcknowledgementPoller> poller;
    std::multimap<Clock::time_point, AcknowledgedSender*>::iterator pollEntry;
    bool polled = false; // pollEntry is the poller's

    const std::uint8_t* bytes = nullptr;
    std::int64_t count = 0;
    std::int64_t sent = 0; // handed to the socket
    std::int64_t acknowledgedCount = 0;
    const char* what = "";
    bool prompt = false;
    bool active = false;
    TransferRate receiveRate;
    Clock::time_point stallDue;
    std::chrono::milliseconds nextWait{0};
};

// One timer for every sender of a thread: each sender is looked at when its next check (or its
// stall bound) is due. A thousand sessions had two timers each, restarted on every
// acknowledgement.
class AcknowledgementPoller : public QObject,
                              public std::enable_shared_from_this<AcknowledgementPoller> {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    // The thread's poller, made when its first sender needs it and gone with its last.
    static std::shared_ptr<AcknowledgementPoller> forThisThread();
    ~AcknowledgementPoller() override;

    void schedule(AcknowledgedSender* sender, Clock::time_point due);
    void cancel(AcknowledgedSender* sender);

private:
    AcknowledgementPoller() = default;
    void timerEvent(QTimerEvent* event) override;
    bool lookAtDue();
    void rearm();

    std::multimap<Clock::time_point, AcknowledgedSender*> due;
    int timerId = 0;
    Clock::time_point armedFor;
    bool polling = false; // looking at the senders due: the timer is armed once, after
};
