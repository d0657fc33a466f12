#pragma once

#include "CliOptions.h"
#include "Reporter.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"
#include "UpgradeView.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

struct FirmwareImageBuffer;
class SendPacer;

// How each encoder is upgraded, from the command line.
struct EncoderRules {
    std::optional<double> silenceSeconds;
    std::optional<double> timeoutSeconds;
    int retries = 0; // further connects when one fails before anything was sent
    double retryDelaySeconds = 5;
    SendPacer* sendPacer = nullptr; // shared by the encoders of one run
};

// One encoder of the command line: its connection and an UpgradeSession per attempt, shown
// through the reporter. The session does the upgrade; this only retries a connect that
// failed before anything was sent and words the rest for the terminal or a script.
class EncoderUpgrade : public QObject, private UpgradeView {
    Q_OBJECT
public:
    EncoderUpgrade(int index, EncoderAddress address, const FirmwareImageBuffer& image,
                   Reporter& reporter, const EncoderRules& rules, QObject* parent = nullptr);

    void start();
    bool hasStarted() const { return attempts > 0; }
    bool hasEnded() const { return finishedAll; }
    // The encoder has begun to rewrite its flash ("erase flash program..." came), so stopping
    // it now would leave it without firmware: the stage it is in; nothing otherwise.
    std::optional<QString> flashStage() const;
    // What the encoder may be doing to its flash, should it be stopped now; nothing when it
    // does not touch its flash yet.
    std::optional<QString> stopWarning() const;
    // Ends the upgrade at once (the run was interrupted) and closes the connection.
    void interrupt();

    EncoderOutcome outcome() const;

signals:
    // The upgrade has ended and its end has been reported; emitted once.
    void finished();

private:
    void startAttempt();
    void sessionFinished();
    void end(const UpgradeEnd& end);
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

    const EncoderRules rules;

    TcpClientChannel channel;
    std::unique_ptr<UpgradeSession> session;
    QTimer retryDelay;
    QElapsedTimer clock;
    int attempts = 0;
    UpgradeStep lastStep = UpgradeStep::Idle;
    std::array<int, 4> lastPercent{-1, -1, -1, -1};
    // The encoder's replies shown so far, and those only counted once too many came.
    int deviceLines = 0;
    int unshownDeviceLines = 0;
    bool finishedAll = false;
    EncoderOutcome result;
};
