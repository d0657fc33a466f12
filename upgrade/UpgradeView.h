#pragma once

#include <QString>

#include <cstdint>

// The three rows of the progress group, one per phase of the encoder's work.
enum class UpgradePhase { Sending, Erasing, Programming };

// Flash addresses the encoder reports while erasing: the range of the erasing bar.
inline constexpr std::int32_t FlashFirst = 0x30000000;
inline constexpr std::int32_t FlashEnd = 0x303D0000;

struct PhaseBarRange {
    std::int32_t minimum;
    std::int32_t maximum;
};
// Sending and programming count image bytes (0 to the image length); erasing reports flash
// addresses (FlashFirst to FlashEnd).
inline PhaseBarRange PhaseRange(UpgradePhase phase, std::int32_t imageLength) {
    if (phase == UpgradePhase::Erasing)
        return {FlashFirst, FlashEnd};
    return {0, imageLength};
}

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
    // The upgrade has ended (the connection is closed); called once, after the first abort line.
    virtual void upgradeEnded() {}
};
