#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

// What the simulator saw and did on one connection.
struct SessionReport {
    QString peer;
    bool headerReceived = false;
    std::uint32_t reserved = 0;
    std::uint32_t length = 0;
    std::uint32_t checksum = 0;
    std::uint32_t bytesReceived = 0; // image bytes, never more than `length`
    std::uint32_t imageChecksum = 0; // two's complement of the sum of the received image bytes
    bool checksumValid = false;      // the whole image arrived and its sum matches the header
    std::optional<double> headerToImageMs; // header's last byte to the first image byte
    std::optional<double> imageMs;         // first to last image byte
    QList<QByteArray> replies;             // reply texts, without the zero byte
    QList<qint64> sends;                   // bytes taken by each send call, in order
    bool complete = false;                 // valid image and every reply of a normal upgrade sent
    QString end;                           // how the connection ended

    QJsonObject toJson() const;
};
