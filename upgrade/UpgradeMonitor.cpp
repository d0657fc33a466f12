#include "UpgradeMonitor.h"

#include "EncoderProtocol.h"
#include "TcpClientChannel.h"

#include <QScopeGuard>

#include <algorithm>
#include <cstring>

std::int32_t ReadProgressNumber(const char* text) {
    const char* at = text;
    while (*at == ' ' || (*at >= '\t' && *at <= '\r'))
        ++at;
    const bool negative = *at == '-';
    if (*at == '-' || *at == '+')
        ++at;
    std::uint32_t value = 0;
    for (; *at >= '0' && *at <= '9'; ++at)
        value = value * 10u + static_cast<std::uint32_t>(*at - '0');
    if (negative)
        value = 0u - value;
    return static_cast<std::int32_t>(value);
}

bool IsEncoderStageText(const QString& reply) {
    for (const char* text :
         {EncoderReply::StartReceiving, EncoderReply::EraseFlash, EncoderReply::ProgramFlash,
          EncoderReply::VerifyDone, EncoderReply::ProgramFail}) {
        if (reply == QLatin1String(text))
            return true;
    }
    return false;
}

UpgradeMonitor::UpgradeMonitor(TcpClientChannel& channel, UpgradeView& view,
                               std::int32_t imageLength)
    : channel(channel), view(view), length(imageLength) {}

PumpResult UpgradeMonitor::pump() {
    // A notice box opened by the reply handling runs its own event loop; ticks and socket
    // notifications that come meanwhile must not read on.
    if (pumping || stopped || !channel.Connected())
        return PumpResult::Idle;
    pumping = true;
    const auto release = qScopeGuard([this] { pumping = false; });

    const auto deadline = std::chrono::steady_clock::now() + pumpBudget.time;
    int handled = 0;
    for (;;) {
        const auto now = ReplyStream::Clock::now();
        std::optional<QByteArray> reply = stream.takeReply(true, now);
        if (!reply) {
            if (peerClosed) {
                handleConnectionLoss();
                return PumpResult::Idle;
            }
            if (channel.ReplyWaiting()) {
                if (receiveWaitingBytes() == ReceiveResult::Closed) {
                    handleConnectionLoss();
                    return PumpResult::Idle;
                }
                continue;
            }
            reply = stream.takeReply(false, now);
            if (!reply)
                return stream.tailDue() ? PumpResult::TailWaiting : PumpResult::Idle;
        }
        handleReply(*reply);
        if (stopped)
            return PumpResult::Idle;
        if (++handled >= pumpBudget.replies || std::chrono::steady_clock::now() >= deadline)
            return PumpResult::MorePending;
    }
}

bool UpgradeMonitor::holdWaitingBytes(qsizetype limit) {
    if (stopped || peerClosed || !channel.Connected())
        return false;
    while (stream.pendingBytes() < limit && channel.ReplyWaiting()) {
        if (receiveWaitingBytes() == ReceiveResult::Closed) {
            peerClosed = true;
            return false;
        }
    }
    return true;
}

UpgradeMonitor::ReceiveResult UpgradeMonitor::receiveWaitingBytes() {
    char bytes[ReplyBufferSize];
    const int received = channel.ReceiveBuf(bytes, ReplyBufferSize, 0);
    if (received <= 0)
        return ReceiveResult::Closed;
    stream.feed(bytes, received, ReplyStream::Clock::now());
    return ReceiveResult::Received;
}

// Whatever the encoder sent before it closed is still followed; the bars keep their places.
// An error announced with no text after it is still the encoder's word: it is logged.
void UpgradeMonitor::handleConnectionLoss() {
    for (const QByteArray& reply : stream.flushAtClose()) {
        handleReply(reply);
        if (stopped)
            return;
    }
    if (errorAnnounced)
        view.appendDeviceLog(QString::fromLatin1(EncoderReply::Error));
    const UpgradeEnd loss = lossCause.value_or(UpgradeEnd{UpgradeEndKind::ConnectionLost, {}});
    view.appendUpgradeLog(QString::fromLatin1(LossLine(loss)));
    stopWith(errorAnnounced ? UpgradeEnd{UpgradeEndKind::EncoderError, {}} : loss);
}

const char* UpgradeMonitor::LossLine(const UpgradeEnd& loss) {
    return loss.kind == UpgradeEndKind::SendFailed ? UpgradeLog::SendFailed
                                                   : UpgradeLog::ConnectionLost;
}

void UpgradeMonitor::handleReply(QByteArrayView reply) {
    loadReplyBuffer(reply);
    if (replyLength == 0)
        return; // a lone zero byte is no reply
    if (errorAnnounced) {
        showErrorTextAndStop();
    } else if (replyIs(EncoderReply::Error)) {
        errorAnnounced = true;
        return;
    }
    // The error text, too, goes on through progress, log and stage texts.
    followProgress();
    logUnlessInPhase();
    current.PhaseJustEnded = false;
    followStageTexts();
}

void UpgradeMonitor::showErrorTextAndStop() {
    errorAnnounced = false;
    const QString text = replyString();
    view.showErrorText(text);
    view.appendUpgradeLog(text);
    stopWith({UpgradeEndKind::EncoderError, text});
}

void UpgradeMonitor::StopUpgrade() {
    current.ProgrammingPhase = false;
    channel.Disconnect();
    view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::Abort));
    if (!stopped) {
        stopped = true;
        view.upgradeEnded(cause);
    }
}

void UpgradeMonitor::stopWith(const UpgradeEnd& end) {
    if (!stopped)
        cause = end;
    StopUpgrade();
}

void UpgradeMonitor::loadReplyBuffer(QByteArrayView reply) {
    current.ReplyBuffer.fill('\0');
    const qsizetype fits = std::min<qsizetype>(reply.size(), ReplyBufferSize - 1);
    const auto* end = std::find(reply.data(), reply.data() + fits, '\0');
    replyLength = end - reply.data();
    std::memcpy(current.ReplyBuffer.data(), reply.data(), static_cast<std::size_t>(replyLength));
}

bool UpgradeMonitor::replyIs(const char* text) const {
    return QByteArrayView(current.ReplyBuffer.data(), replyLength) == QByteArrayView(text);
}

QString UpgradeMonitor::replyString() const {
    return QString::fromLocal8Bit(current.ReplyBuffer.data(), replyLength);
}

void UpgradeMonitor::followProgress() {
    if (!current.SendingPhase && !current.ErasingPhase && !current.ProgrammingPhase)
        return;
    const std::int32_t n = ReadProgressNumber(current.ReplyBuffer.data());
    if (current.SendingPhase) {
        if (n <= length)
            moveBar(UpgradePhase::Sending, n);
        if (n == length)
            completePhase(UpgradePhase::Sending, current.SendingPhase, UpgradeText::SendingDone);
    }
    if (current.ErasingPhase) {
        if (n <= FlashEnd)
            moveBar(UpgradePhase::Erasing, n);
        if (n >= FlashEnd)
            completePhase(UpgradePhase::Erasing, current.ErasingPhase, UpgradeText::ErasingDone);
    }
    if (current.ProgrammingPhase) {
        if (n <= length)
            moveBar(UpgradePhase::Programming, n);
        if (n >= length)
            completePhase(UpgradePhase::Programming, current.ProgrammingPhase,
                          UpgradeText::ProgrammingDone);
    }
}

std::optional<UpgradePhase> UpgradeMonitor::phase() const {
    if (current.UpgradeStage == 0)
        return std::nullopt;
    return static_cast<UpgradePhase>(std::min(current.UpgradeStage, 3) - 1);
}

// A position below the bar's range shows at its start.
void UpgradeMonitor::moveBar(UpgradePhase phase, std::int32_t position) {
    const PhaseBarRange range = PhaseRange(phase, length);
    std::int32_t& shown = positions[static_cast<std::size_t>(phase)];
    shown = std::clamp(position, range.minimum, range.maximum);
    view.setPhasePosition(phase, shown);
}

void UpgradeMonitor::completePhase(UpgradePhase phase, bool& flag, const char* doneText) {
    flag = false;
    view.setPhaseText(phase, QString::fromLatin1(doneText));
    current.PhaseJustEnded = true;
}

void UpgradeMonitor::logUnlessInPhase() {
    if (!current.SendingPhase && !current.ErasingPhase && !current.ProgrammingPhase &&
        !current.PhaseJustEnded)
        view.appendDeviceLog(replyString());
}

void UpgradeMonitor::followStageTexts() {
    if (current.UpgradeStage == 0 && replyIs(EncoderReply::StartReceiving)) {
        beginPhase(UpgradePhase::Sending, current.SendingPhase, UpgradeText::SendingInProgress);
    } else if (current.UpgradeStage == 1 && replyIs(EncoderReply::EraseFlash)) {
        beginPhase(UpgradePhase::Erasing, current.ErasingPhase, UpgradeText::ErasingInProgress);
        view.appendUpgradeLog(QString::fromLatin1(UpgradeLog::PowerWarning));
    } else if (current.UpgradeStage == 2 && replyIs(EncoderReply::ProgramFlash)) {
        beginPhase(UpgradePhase::Programming, current.ProgrammingPhase,
                   UpgradeText::ProgrammingInProgress);
    } else if (current.UpgradeStage == 3 && replyIs(EncoderReply::VerifyDone)) {
        view.showSuccess(QString::fromLatin1(UpgradeText::Success));
        stopWith({UpgradeEndKind::Success, {}});
    } else if (replyIs(EncoderReply::ProgramFail)) {
        stopWith({UpgradeEndKind::ProgramFail, QString::fromLatin1(EncoderReply::ProgramFail)});
    }
}

void UpgradeMonitor::beginPhase(UpgradePhase phase, bool& flag, const char* inProgressText) {
    flag = true;
    ++current.UpgradeStage;
    view.showPhaseRow(phase);
    view.setPhaseText(phase, QString::fromLatin1(inProgressText));
}
