#pragma once

#include "CliOptions.h"
#include "Reporter.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "UpgradeView.h"

#include <QObject>

#include <array>
#include <optional>

struct FirmwareImageBuffer;

// One encoder of the command line: its connection and its UpgradeSession, shown through the
// reporter. The session does the upgrade; this only words it for the terminal or a script.
class EncoderUpgrade : public QObject, private UpgradeView {
    Q_OBJECT
public:
    EncoderUpgrade(int index, EncoderAddress address, const FirmwareImageBuffer& image,
                   Reporter& reporter, std::optional<double> silenceSeconds,
                   QObject* parent = nullptr);

    void start();
    // Ends the upgrade at once (the run was interrupted) and closes the connection. Returns
    // what the encoder may be doing to its flash, or nothing when it does not touch it yet.
    std::optional<QString> interrupt();

    bool hasEnded() const { return session.ended(); }
    EncoderOutcome outcome() const;

signals:
    // The upgrade has ended and its end has been reported; emitted once.
    void finished();

private:
    void sessionFinished();
    QString endReason(const UpgradeEnd& end) const;
    QString stageName() const;
    void reportProgress(ProgressStage stage, std::int64_t position, std::int64_t first,
                        std::int64_t last);

    // UpgradeView
    void showPhaseRow(UpgradePhase) override {}
    void setPhaseText(UpgradePhase phase, const QString& text) override;
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override;
    void appendDeviceLog(const QString& line) override;
    void appendUpgradeLog(const QString& line) override;
    void showErrorText(const QString&) override {} // the text reaches the upgrade log too
    void showSuccess(const QString& text) override;
    void upgradeEnded(const UpgradeEnd&) override {} // reported once the session has finished
    void connectionSettled(bool connected) override;
    void stepEntered(UpgradeStep step) override;
    void imageSent(std::int64_t sent, std::int64_t total) override;

    const int index;
    const EncoderAddress address;
    const FirmwareImageBuffer& image;
    Reporter& reporter;

    TcpClientChannel channel;
    UpgradeSession session;
    UpgradeStep lastStep = UpgradeStep::Idle;
    std::array<int, 4> lastPercent{-1, -1, -1, -1};
    bool success = false;
    QString reason;
};
