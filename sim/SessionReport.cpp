#include "SessionReport.h"

#include <QJsonArray>

namespace {

QJsonValue optionalMs(const std::optional<double>& ms) {
    return ms ? QJsonValue(*ms) : QJsonValue(QJsonValue::Null);
}

// Replies are 8-bit text; Latin-1 keeps each byte as the code point of the same value.
QJsonArray replyTexts(const QList<QByteArray>& replies) {
    QJsonArray texts;
    for (const QByteArray& reply : replies)
        texts.append(QString::fromLatin1(reply));
    return texts;
}

QJsonArray sendSizes(const QList<qint64>& sends) {
    QJsonArray sizes;
    for (const qint64 size : sends)
        sizes.append(size);
    return sizes;
}

} // namespace

QJsonObject SessionReport::toJson() const {
    return QJsonObject{
        {"peer", peer},
        {"headerReceived", headerReceived},
        {"reserved", static_cast<qint64>(reserved)},
        {"length", static_cast<qint64>(length)},
        {"checksum", static_cast<qint64>(checksum)},
        {"bytesReceived", static_cast<qint64>(bytesReceived)},
        {"imageChecksum", static_cast<qint64>(imageChecksum)},
        {"checksumValid", checksumValid},
        {"headerToImageMs", optionalMs(headerToImageMs)},
        {"imageMs", optionalMs(imageMs)},
        {"replies", replyTexts(replies)},
        {"replyCount", static_cast<qint64>(replies.size())},
        {"sends", sendSizes(sends)},
        {"complete", complete},
        {"end", end},
    };
}
