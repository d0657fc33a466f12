#include "EncoderSession.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr int HeaderSize = 12;
constexpr std::size_t ReceiveChunk = 64 * 1024;
// The pause inside a split reply, long enough for a prompt client to read the halves apart.
constexpr int MinSplitPauseMs = 20;

const QByteArray StartReply = "start receiving image file";
const QByteArray EraseReply = "erase flash program...";
const QByteArray ProgramReply = "flash program...";
const QByteArray VerifyReply = "verify flash program...done";
const QByteArray FailReply = "flash program fail";
const QByteArray ErrorReply = "*** ERROR ***";

std::uint32_t littleEndianWord(const unsigned char* bytes) {
    return std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 |
           std::uint32_t{bytes[3]} << 24;
}

double msBetween(std::chrono::system_clock::time_point from,
                 std::chrono::system_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The sum of the bytes, eight at a time: each step adds a word's bytes, two per 16-bit lane,
// and 128 steps of at most 2 x 255 still fit a lane. A thousand connections each send a whole
// image, and a byte-by-byte sum was the simulator's largest cost.
std::uint32_t byteSum(const unsigned char* data, std::size_t size) {
    constexpr std::uint64_t LowBytes = 0x00FF00FF00FF00FF;
    constexpr std::uint64_t LowLanes = 0x0000FFFF0000FFFF;
    constexpr std::size_t MostSteps = 128;
    std::uint32_t sum = 0;
    while (size >= 8) {
        const std::size_t steps = std::min(size / 8, MostSteps);
        std::uint64_t lanes = 0;
        for (std::size_t i = 0; i < steps; ++i) {
            std::uint64_t word = 0;
            std::memcpy(&word, data + 8 * i, 8);
            lanes += (word & LowBytes) + ((word >> 8) & LowBytes);
        }
        lanes = (lanes & LowLanes) + ((lanes >> 16) & LowLanes);
        sum += static_cast<std::uint32_t>(lanes) + static_cast<std::uint32_t>(lanes >> 32);
        data += 8 * steps;
        size -= 8 * steps;
    }
    for (std::size_t i = 0; i < size; ++i)
        sum += data[i];
    return sum;
}

QByteArray longReplyText(int size) {
    const QByteArray pattern = "long reply ";
    QByteArray text;
    text.reserve(size);
    while (text.size() < size)
        text.append(pattern);
    text.truncate(size);
    return text;
}

// Control bytes and bytes above 0x7F, but no zero byte: that would end the reply.
QByteArray garbageText() {
    QByteArray bytes;
    for (int b = 0x01; b < 0x20; ++b)
        bytes.append(static_cast<char>(b));
    for (int b = 0x7F; b <= 0xFF; ++b)
        bytes.append(static_cast<char>(b));
    return bytes;
}

const char* faultName(FaultKind kind) {
    switch (kind) {
    case FaultKind::Fail:
        return "fail";
    case FaultKind::Error:
        return "error";
    case FaultKind::Close:
        return "close";
    case FaultKind::Reset:
        return "reset";
    case FaultKind::Silent:
        return "silent";
    case FaultKind::None:
        break;
    }
    return "none";
}

} // namespace

std::vector<std::uint32_t> steppedCounts(std::uint32_t total, std::uint32_t step) {
    std::vector<std::uint32_t> counts;
    for (std::uint64_t n = step; n < total; n += step)
        counts.push_back(static_cast<std::uint32_t>(n));
    counts.push_back(total);
    return counts;
}

std::vector<std::uint32_t> eraseAddresses(std::uint32_t step) {
    std::vector<std::uint32_t> addresses;
    for (std::uint64_t address = FlashFirst; address < FlashEnd; address += step)
        addresses.push_back(static_cast<std::uint32_t>(address));
    addresses.push_back(FlashEnd);
    return addresses;
}

EncoderSession::EncoderSession(int fd, const SimOptions& options)
    : fd_(fd), options_(options), buffer_(ReceiveChunk) {}

SessionReport EncoderSession::run() {
    report_.peer = peerAddressText(fd_);
    try {
        play();
        report_.complete = !pauseTooShort();
        finish({Closing::Linger, QStringLiteral("complete")});
    } catch (const SessionEnd& end) {
        finish(end);
    }
    return report_;
}

// The encoder was still getting ready when the image began: whatever it did next, the
// upgrade is broken.
bool EncoderSession::pauseTooShort() const {
    return report_.headerToImageMs && *report_.headerToImageMs < options_.minPauseMs;
}

QString EncoderSession::verdict(const QString& end) const {
    if (!pauseTooShort())
        return end;
    const QString broken =
        QStringLiteral("broken upgrade: the image came %1 ms after the header, under %2 ms")
            .arg(*report_.headerToImageMs, 0, 'f', 1)
            .arg(options_.minPauseMs);
    return end == QLatin1String("complete") ? broken : end + QStringLiteral("; ") + broken;
}

void EncoderSession::play() {
    readHeader();
    checkReplyBudget();
    rejectBadHeader();
    if (repliesWaitForImage(options_))
        receiveImageUpTo(readLimit());
    faultAt(Stage::Header);
    sendOpeningReplies();
    faultAt(Stage::Receive);
    receiveStage();
    checkImage();
    eraseStage();
    programStage();
    verifyStage();
}

void EncoderSession::readHeader() {
    unsigned char header[HeaderSize] = {};
    std::size_t got = 0;
    Clock::time_point lastArrival;
    while (got < HeaderSize) {
        const Received received = receiveSome(fd_, reinterpret_cast<char*>(header) + got,
                                              HeaderSize - got, options_.idleTimeoutMs);
        if (received.status != ReceiveStatus::Data)
            endOnReceive(received.status, got == 0 ? "before the header" : "in the header");
        got += received.count;
        lastArrival = received.arrival;
    }
    headerArrived_ = lastArrival;
    report_.headerReceived = true;
    report_.reserved = littleEndianWord(header);
    report_.length = littleEndianWord(header + 4);
    report_.checksum = littleEndianWord(header + 8);
    imageWanted_ = report_.length;
}

// A header that is not ours is answered at once, whatever the reply mode.
void EncoderSession::rejectBadHeader() {
    if (report_.reserved == 0 && report_.length <= MaxImageLength)
        return;
    imageWanted_ = 0;
    if (report_.reserved != 0)
        sendError("reserved word not zero", QStringLiteral("reserved word not zero"));
    sendError("image too long", QStringLiteral("image too long"));
}

void EncoderSession::sendOpeningReplies() {
    if (options_.longReply > 0)
        reply(longReplyText(options_.longReply));
    if (options_.garbage)
        reply(garbageText());
    const ReplyShape shape = options_.mergeReplies   ? ReplyShape::HeldForMerge
                             : options_.splitReplies ? ReplyShape::Split
                                                     : ReplyShape::Whole;
    reply(StartReply, shape);
}

void EncoderSession::receiveStage() {
    const std::uint32_t limit = readLimit();
    if (repliesWaitForImage(options_)) {
        for (const std::uint32_t count : steppedCounts(limit, options_.receiveStep))
            replyNumber(count);
    } else {
        receiveImageWithCounts(limit);
    }
    if (limit < report_.length)
        throw SessionEnd{
            Closing::Stall,
            QStringLiteral("stopped reading after %1 bytes").arg(report_.bytesReceived)};
}

// Reads exactly up to each step boundary, so the counts do not depend on how the client's
// bytes happen to be cut into segments.
void EncoderSession::receiveImageWithCounts(std::uint32_t limit) {
    if (limit == 0)
        replyNumber(0);
    while (report_.bytesReceived < limit) {
        const std::uint64_t nextStep =
            (std::uint64_t{report_.bytesReceived} / options_.receiveStep + 1) *
            options_.receiveStep;
        receiveImageUpTo(static_cast<std::uint32_t>(std::min<std::uint64_t>(limit, nextStep)));
        replyNumber(report_.bytesReceived);
    }
}

void EncoderSession::receiveImageUpTo(std::uint32_t target) {
    while (report_.bytesReceived < target) {
        const Received received =
            receiveSome(fd_, buffer_.data(), receiveSize(target - report_.bytesReceived),
                        options_.idleTimeoutMs);
        if (received.status != ReceiveStatus::Data)
            endOnReceive(received.status, "during the image");
        takeImageBytes(buffer_.data(), received);
        keepReadRate();
    }
}

// A slow encoder: the next receive waits until the bytes so far fit the rate.
void EncoderSession::keepReadRate() const {
    if (!options_.readRate || report_.bytesReceived == 0)
        return;
    const auto due =
        firstImageByte_ + std::chrono::microseconds(std::uint64_t{report_.bytesReceived} *
                                                    1'000'000 / *options_.readRate);
    std::this_thread::sleep_until(due);
}

// The first image byte is read alone: a receive carries the arrival time of its last byte,
// and the report wants the first one's.
std::size_t EncoderSession::receiveSize(std::size_t wanted) const {
    const bool firstImageByte = report_.bytesReceived == 0 && imageWanted_ > 0;
    return firstImageByte ? 1 : std::min(buffer_.size(), wanted);
}

// Bytes beyond the announced length are read and dropped.
void EncoderSession::takeImageBytes(const char* data, const Received& received) {
    const std::size_t accepted =
        std::min<std::size_t>(received.count, imageWanted_ - report_.bytesReceived);
    if (accepted == 0)
        return;
    const Clock::time_point now = received.arrival;
    if (report_.bytesReceived == 0) {
        firstImageByte_ = now;
        report_.headerToImageMs = msBetween(headerArrived_, now);
    }
    imageSum_ += byteSum(reinterpret_cast<const unsigned char*>(data), accepted);
    report_.bytesReceived += static_cast<std::uint32_t>(accepted);
    report_.imageChecksum = 0u - imageSum_;
    if (report_.bytesReceived == imageWanted_) {
        report_.imageMs = msBetween(firstImageByte_, now);
        report_.checksumValid = report_.imageChecksum == report_.checksum;
    }
}

std::uint32_t EncoderSession::readLimit() const {
    return std::min(report_.length, options_.stopReadingAfter.value_or(report_.length));
}

void EncoderSession::checkImage() {
    report_.checksumValid = imageSum_ + report_.checksum == 0;
    if (!report_.checksumValid)
        sendError("checksum error", QStringLiteral("checksum error"));
}

void EncoderSession::eraseStage() {
    reply(EraseReply);
    faultAt(Stage::Erase);
    for (const std::uint32_t address : eraseAddresses(options_.eraseStep))
        replyNumber(address);
}

void EncoderSession::programStage() {
    reply(ProgramReply);
    faultAt(Stage::Program);
    for (const std::uint32_t count : steppedCounts(report_.length, options_.programStep))
        replyNumber(count);
}

void EncoderSession::verifyStage() {
    faultAt(Stage::Verify);
    reply(VerifyReply);
}

void EncoderSession::faultAt(Stage stage) {
    const StageFault& fault = options_.fault;
    if (fault.kind == FaultKind::None || fault.stage != stage)
        return;
    const QString why =
        QStringLiteral("%1 at %2").arg(QLatin1String(faultName(fault.kind)), stageName(stage));
    switch (fault.kind) {
    case FaultKind::Fail:
        reply(FailReply);
        throw SessionEnd{Closing::Linger, why};
    case FaultKind::Error:
        sendError(options_.errorText, why);
    case FaultKind::Close:
        throw SessionEnd{Closing::Linger, why};
    case FaultKind::Reset:
        throw SessionEnd{Closing::Reset, why};
    case FaultKind::Silent:
        throw SessionEnd{Closing::Silent, why};
    case FaultKind::None:
        break;
    }
}

void EncoderSession::sendError(const QByteArray& text, const QString& why) {
    reply(ErrorReply);
    reply(text);
    throw SessionEnd{Closing::Linger, why};
}

void EncoderSession::reply(const QByteArray& text, ReplyShape shape) {
    QByteArray wire = text;
    if (!options_.noZero)
        wire.append('\0');
    held_.append(wire);
    heldTexts_.append(text);
    if (shape == ReplyShape::HeldForMerge)
        return;
    pauseBeforeReply();
    const bool sent = shape == ReplyShape::Split ? sendSplit(held_) : sendPacket(held_);
    if (!sent)
        throw SessionEnd{Closing::Drop, QStringLiteral("client gone while replying")};
    report_.replies.append(heldTexts_);
    held_.clear();
    heldTexts_.clear();
    checkReplyBudget();
}

void EncoderSession::replyNumber(std::uint32_t number) {
    reply(QByteArray::number(number));
}

bool EncoderSession::sendPacket(const QByteArray& packet) {
    anySent_ = true;
    return sendAll(fd_, packet.constData(), static_cast<std::size_t>(packet.size()),
                   [this](long sent) { report_.sends.append(sent); });
}

bool EncoderSession::sendSplit(const QByteArray& packet) {
    const qsizetype half = packet.size() / 2;
    if (!sendPacket(packet.first(half)))
        return false;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(std::max(options_.gapMs, MinSplitPauseMs)));
    return sendPacket(packet.sliced(half));
}

void EncoderSession::pauseBeforeReply() {
    if (anySent_ && options_.gapMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options_.gapMs));
}

void EncoderSession::checkReplyBudget() {
    const std::optional<int>& budget = options_.closeAfterReplies;
    if (budget && report_.replies.size() >= *budget)
        throw SessionEnd{Closing::Linger,
                         QStringLiteral("closed after %1 replies").arg(report_.replies.size())};
}

// A reply held back for merging still goes out before the connection ends.
void EncoderSession::flushHeldReplies() {
    if (held_.isEmpty())
        return;
    pauseBeforeReply();
    if (sendPacket(held_))
        report_.replies.append(heldTexts_);
    held_.clear();
    heldTexts_.clear();
}

void EncoderSession::finish(const SessionEnd& end) {
    report_.end = verdict(end.why);
    if (end.closing != Closing::Drop)
        flushHeldReplies();
    switch (end.closing) {
    case Closing::Reset:
        resetConnection(fd_);
        return;
    case Closing::Linger:
        shutdown(fd_, SHUT_WR);
        drainUntilClientCloses();
        break;
    case Closing::Silent:
        drainUntilClientCloses();
        break;
    case Closing::Stall:
        waitForClientToGo(fd_, options_.idleTimeoutMs);
        break;
    case Closing::Drop:
        break;
    }
    report_.end = verdict(end.why); // an image may have begun while the client was drained
    close(fd_);
}

// Closing with unread bytes would reset the connection and could cost the client the replies
// still on their way, so whatever the client still sends is read first.
void EncoderSession::drainUntilClientCloses() {
    for (;;) {
        const Received received =
            receiveSome(fd_, buffer_.data(), receiveSize(buffer_.size()), options_.idleTimeoutMs);
        if (received.status != ReceiveStatus::Data)
            return;
        takeImageBytes(buffer_.data(), received);
    }
}

void EncoderSession::endOnReceive(ReceiveStatus status, const char* during) {
    const char* what = "connection failed";
    switch (status) {
    case ReceiveStatus::Closed:
        what = "client closed";
        break;
    case ReceiveStatus::TimedOut:
        what = "client idle too long";
        break;
    default:
        break;
    }
    throw SessionEnd{Closing::Drop,
                     QStringLiteral("%1 %2").arg(QLatin1String(what), QLatin1String(during))};
}
