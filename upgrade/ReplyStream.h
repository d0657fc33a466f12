#pragma once

#include <QByteArray>
#include <QList>

#include <optional>

// The encoder's replies as they come off one connection. The encoder ends each reply with a
// zero byte; several replies often wait together in the receive queue, and a receive may end
// in the middle of one, so the bytes are gathered here and cut at the zero bytes.
//
// - A zero byte ends a reply; the bytes after it belong to the next reply or replies.
// - A lone zero byte is no reply: it is skipped.
// - A reply longer than MaxReplyLength is taken in pieces of MaxReplyLength bytes, each one
//   reply, so that every reply fits the 256-byte reply buffer with its terminating zero.
// - Bytes with no zero byte after them form one reply once nothing more is waiting on the
//   socket, as long as no zero byte has come on this connection yet (older encoders send
//   none). Once one has, such bytes wait for the zero byte that ends them.
class ReplyStream {
public:
    static constexpr qsizetype MaxReplyLength = 255;

    void feed(const char* bytes, qsizetype count);

    // The next reply, or nothing while none is complete. `moreWaiting` tells whether more
    // bytes are waiting on the socket, which keeps unterminated bytes from being taken early.
    std::optional<QByteArray> takeReply(bool moreWaiting);

    // Everything still held, once the encoder has closed the connection: the complete
    // replies, then the unterminated rest in pieces of at most MaxReplyLength bytes.
    QList<QByteArray> flushAtClose();

    // Bytes received and not yet taken as replies.
    qsizetype pendingBytes() const { return buffer.size() - head; }
    // Whether a zero byte has come on this connection.
    bool zeroByteSeen() const { return sawZeroByte; }

private:
    QByteArray take(qsizetype count, qsizetype consumed);
    void compact();

    QByteArray buffer;
    qsizetype head = 0; // start of the bytes not yet taken
    bool sawZeroByte = false;
};
