#pragma once

#include <QByteArray>
#include <QList>

#include <chrono>
#include <optional>

// The encoder's replies as they come off one connection. The encoder ends each reply with a
// zero byte; several replies often wait together in the receive queue, and a receive may end
// in the middle of one, so the bytes are gathered here and cut at the zero bytes.
//
// - A zero byte ends a reply; the bytes after it belong to the next reply or replies.
// - A lone zero byte is no reply: it is skipped.
// - A reply longer than MaxReplyLength is taken in pieces of MaxReplyLength bytes, each one
//   reply, so that every reply fits the 256-byte reply buffer with its terminating zero.
// - Once a zero byte has come on this connection, bytes with no zero byte after them wait
//   for the zero byte that ends them.
// - Before that (older encoders send none), bytes with no zero byte after them form a tail
//   once nothing more is waiting on the socket. The encoder may still be sending the rest of
//   that reply, so the tail is held: next bytes that bring a zero byte end it as one reply;
//   next bytes without one show it was a whole reply; and with no next bytes it is one reply
//   once TailQuietTime has passed since its last byte came.
class ReplyStream {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr qsizetype MaxReplyLength = 255;
    static constexpr std::chrono::milliseconds TailQuietTime{100};

    // Bytes of one receive, which the system took in at `arrival`.
    void feed(const char* bytes, qsizetype count, Clock::time_point arrival);

    // The next reply, or nothing while none is complete at `now`. `moreWaiting` tells whether
    // more bytes are waiting on the socket, which keeps unterminated bytes from being taken
    // early.
    std::optional<QByteArray> takeReply(bool moreWaiting, Clock::time_point now);

    // When the held tail becomes a reply unless more bytes come first; nothing while no tail
    // is held.
    std::optional<Clock::time_point> tailDue() const;

    // Everything still held, once the encoder has closed the connection: the complete
    // replies (a held tail with bytes after it among them), then the unterminated rest in
    // pieces of at most MaxReplyLength bytes.
    QList<QByteArray> flushAtClose();

    // Bytes received and not yet taken as replies.
    qsizetype pendingBytes() const { return buffer.size() - head; }
    // Whether a zero byte has come on this connection.
    bool zeroByteSeen() const { return sawZeroByte; }

private:
    std::optional<QByteArray> takeUnterminated(qsizetype length, bool moreWaiting,
                                               Clock::time_point now);
    QByteArray take(qsizetype count, qsizetype consumed);
    void compact();

    QByteArray buffer;
    qsizetype head = 0;     // start of the bytes not yet taken
    qsizetype heldTail = 0; // bytes from head held as a tail; 0 when none is
    Clock::time_point lastArrival;
    bool sawZeroByte = false;
};
