#pragma once

#include "EncoderProtocol.h"

#include <QString>

#include <cstdint>

// The three rows of the progress group, one per phase of the encoder's work.
enum class UpgradePhase { Sending, Erasing, Programming };

struct PhaseBarRange {
    std::int32_t minimum;
    std::int32_t maximum;
};
// Sending and programming count image bytes (0 to the image length); erasing counts flash
// addresses (FlashFirst to FlashEnd).
inline PhaseBarRange PhaseRange(UpgradePhase phase, std::int32_t imageLength) {
    if (phase == UpgradePhase::Erasing)
        return {FlashFirst, FlashEnd};
    return {0, imageLength};
}

// How far `position` has come from `first` to `last`, in whole percent (100 for an empty range).
inline int PercentOf(std::int64_t position, std::int64_t first, std::int64_t last) {
    if (last <= first)
        return 100;
    const std::int64_t percent = (position - first) * 100 / (last - first);
    return static_cast<int>(percent < 0 ? 0 : percent > 100 ? 100 : percent);
}

inline int PhasePercent(UpgradePhase phase, std::int32_t position, std::int32_t imageLength) {
    const PhaseBarRange range = PhaseRange(phase, imageLength);
    return PercentOf(position, range.minimum, range.maximum);
}

// Why an upgrade ended. Front ends learn it from here, never from their own log lines.
enum class UpgradeEndKind {
    Success,        // "verify flash program...done"
    ProgramFail,    // "flash program fail"
    EncoderError,   // "*** ERROR ***" and its error text (empty when none came)
    ConnectionLost, // the encoder closed the connection, it failed, or TCP gave up on a vanished
                    // encoder, before the end
    SendFailed,     // the header or the image could not be sent whole
    NotReachable,   // refused, unreachable, no address, the system gave up, or no connection
                    // within the bound
    NoAnswer,       // the encoder sent nothing for longer than the front end allows
    TimedOut,       // the whole upgrade took longer than the front end allows
    Interrupted,    // the front end ended it (a signal, the operator)
};

// The cause as scripts read it: "success", "program-fail", "encoder-error", ...
inline QString UpgradeEndKindName(UpgradeEndKind kind) {
    switch (kind) {
    case UpgradeEndKind::Success:
        return QStringLiteral("success");
    case UpgradeEndKind::ProgramFail:
        return QStringLiteral("program-fail");
    case UpgradeEndKind::EncoderError:
        return QStringLiteral("encoder-error");
    case UpgradeEndKind::ConnectionLost:
        return QStringLiteral("connection-lost");
    case UpgradeEndKind::SendFailed:
        return QStringLiteral("send-failed");
    case UpgradeEndKind::NotReachable:
        return QStringLiteral("not-reachable");
    case UpgradeEndKind::NoAnswer:
        return QStringLiteral("no-answer");
    case UpgradeEndKind::TimedOut:
        return QStringLiteral("timed-out");
    case UpgradeEndKind::Interrupted:
        return QStringLiteral("interrupted");
    }
    return {};
}

struct UpgradeEnd {
    UpgradeEndKind kind = UpgradeEndKind::Interrupted;
    // The encoder's error text, or the platform's words for a failed connect or send.
    QString text;
};

// Where one upgrade stands before the encoder's replies are followed.
enum class UpgradeStep {
    Idle,
    Connecting,
    SendingHeader, // "send data header" is logged; the header goes out
    Pausing,       // the header has gone; the encoder gets ready for the image
    SendingImage,  // "send program" is logged; the image goes out
    Following,     // the whole image has gone; the replies are followed
    Ended,
};

// What the reply handling needs of a front end: the window implements it with its progress
// rows, logs and notice boxes; a terminal front end prints. Texts from the encoder arrive
// already converted from 8-bit text; show them as plain text.
class UpgradeView {
public:
    virtual ~UpgradeView() = default;

    // Shows the row's "0%" label, bar, "100%" label and stage label.
    virtual void showPhaseRow(UpgradePhase phase) = 0;
    virtual void setPhaseText(UpgradePhase phase, const QString& text) = 0;
    // Always within PhaseRange(phase, imageLength).
    virtual void setPhasePosition(UpgradePhase phase, std::int32_t position) = 0;
    // A line of the device log (the encoder's replies).
    virtual void appendDeviceLog(const QString& line) = 0;
    // A line of the upgrade log (the program's own).
    virtual void appendUpgradeLog(const QString& line) = 0;
    // Modal: returns once the operator has closed the notice box with the encoder's error text.
    virtual void showErrorText(const QString& text) = 0;
    // Modal: the success notice, its top-left corner at screen position (600, 500).
    virtual void showSuccess(const QString& text) = 0;
    // The upgrade has ended (the connection is closed); called once: after the first abort
    // line once a connection stood, or without one when none came about.
    virtual void upgradeEnded(const UpgradeEnd& end) = 0;

    // How the session's own steps go; by default a front end shows nothing of them.
    // The connect has settled, before anything is sent; nothing follows when it failed.
    virtual void connectionSettled(bool /*connected*/) {}
    virtual void stepEntered(UpgradeStep /*step*/) {}
    // Image bytes the encoder has acknowledged so far.
    virtual void imageSent(std::int64_t /*sent*/, std::int64_t /*total*/) {}
};
