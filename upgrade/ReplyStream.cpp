#include "ReplyStream.h"

#include <algorithm>

void ReplyStream::feed(const char* bytes, qsizetype count, Clock::time_point arrival) {
    if (count <= 0)
        return;
    compact();
    buffer.append(bytes, count);
    lastArrival = arrival;
}

std::optional<QByteArray> ReplyStream::takeReply(bool moreWaiting, Clock::time_point now) {
    for (;;) {
        const qsizetype pending = pendingBytes();
        if (pending == 0)
            return std::nullopt;
        const qsizetype zero = buffer.indexOf('\0', head);
        if (zero == -1)
            return takeUnterminated(pending, moreWaiting, now);
        const qsizetype length = zero - head;
        if (length > MaxReplyLength)
            return take(MaxReplyLength, MaxReplyLength);
        sawZeroByte = true;
        if (length == 0) {
            ++head; // a lone zero byte: no reply
            continue;
        }
        return take(length, length + 1);
    }
}

std::optional<QByteArray> ReplyStream::takeUnterminated(qsizetype length, bool moreWaiting,
                                                        Clock::time_point now) {
    // Bytes after the held tail that bring no zero byte: the tail was a whole reply.
    const bool tailWasWhole = heldTail > 0 && heldTail < length;
    if (tailWasWhole && (!moreWaiting || length >= MaxReplyLength))
        return take(heldTail, heldTail);
    if (length >= MaxReplyLength)
        return take(MaxReplyLength, MaxReplyLength);
    if (moreWaiting || sawZeroByte)
        return std::nullopt;
    if (lastArrival + TailQuietTime <= now)
        return take(length, length);
    heldTail = length;
    return std::nullopt;
}

std::optional<ReplyStream::Clock::time_point> ReplyStream::tailDue() const {
    if (heldTail == 0)
        return std::nullopt;
    return lastArrival + TailQuietTime;
}

QList<QByteArray> ReplyStream::flushAtClose() {
    QList<QByteArray> replies;
    while (auto reply = takeReply(true, lastArrival))
        replies.append(*reply);
    if (heldTail > 0 && heldTail < pendingBytes())
        replies.append(take(heldTail, heldTail));
    while (pendingBytes() > 0) {
        const qsizetype length = std::min(pendingBytes(), MaxReplyLength);
        replies.append(take(length, length));
    }
    return replies;
}

QByteArray ReplyStream::take(qsizetype count, qsizetype consumed) {
    QByteArray reply = buffer.mid(head, count);
    head += consumed;
    heldTail = std::max<qsizetype>(0, heldTail - consumed);
    if (head == buffer.size()) {
        buffer.clear();
        head = 0;
    }
    return reply;
}

// Drops the bytes already taken, so the buffer holds only what is still pending.
void ReplyStream::compact() {
    if (head == 0)
        return;
    buffer.remove(0, head);
    head = 0;
}
