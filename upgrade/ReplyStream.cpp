#include "ReplyStream.h"

#include <algorithm>

void ReplyStream::feed(const char* bytes, qsizetype count) {
    if (count <= 0)
        return;
    compact();
    buffer.append(bytes, count);
}

std::optional<QByteArray> ReplyStream::takeReply(bool moreWaiting) {
    for (;;) {
        const qsizetype pending = pendingBytes();
        if (pending == 0)
            return std::nullopt;
        const qsizetype zero = buffer.indexOf('\0', head);
        const qsizetype length = zero == -1 ? pending : zero - head;
        if (zero != -1 && length <= MaxReplyLength) {
            sawZeroByte = true;
            if (length == 0) {
                ++head; // a lone zero byte: no reply
                continue;
            }
            return take(length, length + 1);
        }
        if (length >= MaxReplyLength)
            return take(MaxReplyLength, MaxReplyLength);
        if (!moreWaiting && !sawZeroByte)
            return take(length, length);
        return std::nullopt;
    }
}

QList<QByteArray> ReplyStream::flushAtClose() {
    QList<QByteArray> replies;
    while (auto reply = takeReply(true))
        replies.append(*reply);
    while (pendingBytes() > 0) {
        const qsizetype length = std::min(pendingBytes(), MaxReplyLength);
        replies.append(take(length, length));
    }
    return replies;
}

QByteArray ReplyStream::take(qsizetype count, qsizetype consumed) {
    QByteArray reply = buffer.mid(head, count);
    head += consumed;
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
