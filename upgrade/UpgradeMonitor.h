#pragma once

#include "ReplyStream.h"
#include "UpgradeView.h"

#include <QByteArray>
#include <QByteArrayView>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

class TcpClientChannel;

inline constexpr int ReplyBufferSize = 256;

// A progress number as the encoder writes it, read the way strtol reads decimal text: leading
// white space (space, \t, \n, \v, \f, \r), an optional sign, then digits up to the first
// non-digit; no digits read as 0. The value wraps modulo 2^32 into a signed 32-bit integer.
std::int32_t ReadProgressNumber(const char* text);

// Whether an encoder reply is one of the texts that move the upgrade on (or end it): a front end
// that shows only some of the encoder's replies always shows these.
bool IsEncoderStageText(const QString& reply);

// Where the encoder is in its work, as its replies have told so far.
struct UpgradeState {
    // The current reply: its text, then zero bytes up to the end.
    std::array<char, ReplyBufferSize> ReplyBuffer{};
    // 0 before the encoder's first stage text, then 1 (receiving the image), 2 (erasing
    // flash), 3 (programming flash). Only ever rises by one.
    std::int32_t UpgradeStage = 0;
    // A stage text sets a phase flag and the number that completes the phase clears it;
    // while a flag is set, every reply is read as that phase's progress.
    bool SendingPhase = false;
    bool ErasingPhase = false;
    bool ProgrammingPhase = false;
    // A phase ended on the current reply, which is therefore not logged.
    bool PhaseJustEnded = false;
};

// How much one pump may do before it hands control back to the event loop.
struct PumpBudget {
    int replies = 200;
    std::chrono::microseconds time{5'000};
};

enum class PumpResult {
    Idle,        // nothing more to do until the encoder sends again
    MorePending, // the budget ran out with replies still waiting: pump again soon
    TailWaiting, // a tail without its zero byte is held: pump again at tailDue()
};

// Follows the encoder's replies through receiving, erasing and programming, and shows them
// through an UpgradeView. One monitor per connection; it never blocks on the socket.
class UpgradeMonitor {
public:
    UpgradeMonitor(TcpClientChannel& channel, UpgradeView& view, std::int32_t imageLength);
    UpgradeMonitor(const UpgradeMonitor&) = delete;
    UpgradeMonitor& operator=(const UpgradeMonitor&) = delete;

    // Reads what the encoder has sent, without waiting for more, and handles every complete
    // reply in order, within the budget. Does nothing while the channel is not connected,
    // after the upgrade has ended, or when called again from inside a notice box that the
    // reply handling has opened. When the encoder closes the connection (or a receive
    // fails), the replies still held are handled, then the connection is logged as lost and
    // the upgrade stopped. A tail the encoder may still be sending is held: TailWaiting.
    PumpResult pump();

    // Reads what the encoder has sent into the reply stream without acting on it, at most
    // until `limit` bytes are held: while the image goes out, an encoder that answers must
    // not fill its send queue and stall both sides. A close seen here is acted on by the
    // pump that follows the held replies. Returns whether the encoder may still send more.
    bool holdWaitingBytes(qsizetype limit);

    // One reply of the encoder: progress, device log and stage texts. Only the first
    // ReplyBufferSize - 1 bytes up to the first zero byte count; an empty reply is none.
    void handleReply(QByteArrayView reply);

    // Ends the upgrade: clears the programming phase, disconnects and logs the abort line.
    // Runs again (and logs again) when called again. The first end's cause stays.
    void StopUpgrade();
    // StopUpgrade with the reason, when the upgrade has not ended yet.
    void stopWith(const UpgradeEnd& end);

    // What a lost connection ends as, when the front end knows better (a send had failed).
    void setLossCause(const UpgradeEnd& end) { lossCause = end; }
    // The upgrade log's line for a connection that ended so.
    static const char* LossLine(const UpgradeEnd& loss);

    bool ended() const { return stopped; }
    // From the encoder's "erase flash" until the upgrade ends: cutting the connection now may
    // leave the encoder without a working program.
    bool writingFlash() const { return !stopped && current.UpgradeStage >= 2; }
    const UpgradeEnd& endCause() const { return cause; }
    // "*** ERROR ***" has come: the next reply is the encoder's error text.
    bool awaitingErrorText() const { return errorAnnounced; }
    const UpgradeState& state() const { return current; }
    // The phase of the latest stage text, none before the first.
    std::optional<UpgradePhase> phase() const;
    // The phase's bar position as last shown (its range's minimum before any progress number).
    std::int32_t phasePosition(UpgradePhase phase) const {
        return positions[static_cast<std::size_t>(phase)];
    }
    QByteArray replyText() const { return QByteArray(current.ReplyBuffer.data(), replyLength); }
    std::int32_t imageLength() const { return length; }
    // Bytes received and not yet handled as replies.
    qsizetype pendingBytes() const { return stream.pendingBytes(); }
    // When a held tail becomes a reply unless more bytes come first.
    std::optional<ReplyStream::Clock::time_point> tailDue() const { return stream.tailDue(); }
    void setPumpBudget(PumpBudget budget) { pumpBudget = budget; }

private:
    enum class ReceiveResult { Received, Closed };

    ReceiveResult receiveWaitingBytes();
    void handleConnectionLoss();
    void loadReplyBuffer(QByteArrayView reply);
    bool replyIs(const char* text) const;
    QString replyString() const;
    void showErrorTextAndStop();
    void followProgress();
    void logUnlessInPhase();
    void followStageTexts();
    void completePhase(UpgradePhase phase, bool& flag, const char* doneText);
    void moveBar(UpgradePhase phase, std::int32_t position);
    void beginPhase(UpgradePhase phase, bool& flag, const char* inProgressText);

    TcpClientChannel& channel;
    UpgradeView& view;
    const std::int32_t length;
    UpgradeState current;
    std::array<std::int32_t, 3> positions{0, FlashFirst, 0};
    qsizetype replyLength = 0;
    ReplyStream stream;
    PumpBudget pumpBudget;
    bool errorAnnounced = false;
    bool peerClosed = false; // seen while bytes were only held
    bool stopped = false;
    UpgradeEnd cause;
    std::optional<UpgradeEnd> lossCause;
    bool pumping = false;
};
