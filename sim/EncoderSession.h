#pragma once

#include "SessionReport.h"
#include "SimOptions.h"
#include "SimSocket.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <chrono>
#include <cstdint>
#include <vector>

// The counts an encoder reports for `total` bytes: every `step` bytes, then `total` itself
// (a lone 0 for nothing).
std::vector<std::uint32_t> steppedCounts(std::uint32_t total, std::uint32_t step);
// The flash addresses reported while erasing: FlashFirst, then every `step`, up to FlashEnd.
std::vector<std::uint32_t> eraseAddresses(std::uint32_t step);

// Plays the encoder's side of one upgrade on an accepted connection, then closes it.
class EncoderSession {
public:
    EncoderSession(int fd, const SimOptions& options);
    EncoderSession(const EncoderSession&) = delete;
    EncoderSession& operator=(const EncoderSession&) = delete;

    // Never throws; the connection is closed when it returns.
    SessionReport run();

private:
    using Clock = std::chrono::system_clock;

    // How the connection is left once the upgrade has ended.
    enum class Closing {
        Drop,   // close at once: the client has gone or gone quiet
        Linger, // FIN, then read on until the client closes
        Silent, // send nothing, read on until the client closes
        Stall,  // send and read nothing until the client goes
        Reset,  // RST
    };
    struct SessionEnd {
        Closing closing;
        QString why;
    };
    enum class ReplyShape { Whole, HeldForMerge, Split };

    void play();
    void readHeader();
    void rejectBadHeader();
    void sendOpeningReplies();
    void receiveStage();
    void receiveImageWithCounts(std::uint32_t limit);
    void receiveImageUpTo(std::uint32_t target);
    void keepReadRate() const;
    std::size_t receiveSize(std::size_t wanted) const;
    void takeImageBytes(const char* data, const Received& received);
    std::uint32_t readLimit() const;
    void checkImage();
    void eraseStage();
    void programStage();
    void verifyStage();
    void faultAt(Stage stage);
    [[noreturn]] void sendError(const QByteArray& text, const QString& why);

    void reply(const QByteArray& text, ReplyShape shape = ReplyShape::Whole);
    void replyNumber(std::uint32_t number);
    bool sendPacket(const QByteArray& packet);
    bool sendSplit(const QByteArray& packet);
    void pauseBeforeReply();
    void checkReplyBudget();
    void flushHeldReplies();

    bool pauseTooShort() const;
    QString verdict(const QString& end) const;
    void finish(const SessionEnd& end);
    void drainUntilClientCloses();
    [[noreturn]] void endOnReceive(ReceiveStatus status, const char* during);

    int fd_;
    const SimOptions& options_;
    SessionReport report_;
    std::vector<char> buffer_;
    std::uint32_t imageWanted_ = 0;
    std::uint32_t imageSum_ = 0;
    Clock::time_point headerArrived_;
    Clock::time_point firstImageByte_;
    QByteArray held_;
    QList<QByteArray> heldTexts_;
    bool anySent_ = false;
};
