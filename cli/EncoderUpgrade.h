#pragma once

#include "CliOptions.h"
#include "Reporter.h"
#include "TcpClientChannel.h"
#include "UpgradeHeader.h"
#include "UpgradeMonitor.h"
#include "UpgradeView.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <optional>

class QSocketNotifier;
struct FirmwareImageBuffer;

// The pause between the header and the image that the encoder needs to get ready.
inline constexpr int HeaderToImagePauseMs = 1000;

// One encoder's upgrade, driven by the event loop and never waiting: connect, "send data
// header", the header, the 1,000 ms pause, "send program", the image, and then the encoder's
// replies through the same reply handling as the window.
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

    bool hasEnded() const { return step == Step::Ended; }
    EncoderOutcome outcome() const;

signals:
    // The upgrade has ended and its end has been reported; emitted once.
    void finished();

private:
    enum class Step { Idle, Connecting, SendingHeader, Pausing, SendingImage, Following, Ended };
    // Why the program itself ended the upgrade, when it did.
    enum class OwnCause { None, SendFailed, Silence, Interrupted };

    void watchSocket();
    void dropSocketWatch();
    void continueConnect();
    void connectFailed();
    void connectionStands();
    void beginSend(const std::uint8_t* bytes, std::int64_t count);
    void sendMore();
    void sendFailed(const QString& why);
    void sendComplete();
    void pauseOver();
    void startFollowing();
    void pumpReplies();
    void schedulePump();
    void silenceReached();
    void stopOwnUpgrade(OwnCause cause, const QString& reason);
    void end(bool success, const QString& reason);
    QString endReason() const;
    QString stageName() const;
    void reportProgress(ProgressStage stage, std::int64_t position, std::int64_t first,
                        std::int64_t last);

    // UpgradeView
    void showPhaseRow(UpgradePhase) override {}
    void setPhaseText(UpgradePhase phase, const QString& text) override;
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override;
    void appendDeviceLog(const QString& line) override;
    void appendUpgradeLog(const QString& line) override;
    void showErrorText(const QString& text) override;
    void showSuccess(const QString& text) override;
    void upgradeEnded() override;

    const int index;
    const EncoderAddress address;
    const FirmwareImageBuffer& image;
    Reporter& reporter;
    const std::optional<double> silenceSeconds;

    TcpClientChannel channel;
    UpgradeMonitor monitor;
    // Children of this upgrade; dropped (switched off, deleted later) before the socket closes.
    QSocketNotifier* readable = nullptr;
    QSocketNotifier* writable = nullptr;
    QTimer connectBound;
    QTimer pause;
    QTimer sendStall;
    QTimer silence;

    Step step = Step::Idle;
    std::array<std::uint8_t, UpgradeHeaderSize> header{};
    const std::uint8_t* sendBytes = nullptr;
    std::int64_t sendCount = 0;
    std::int64_t sent = 0;
    bool pumpScheduled = false;
    std::array<int, 4> lastPercent{-1, -1, -1, -1};

    OwnCause ownCause = OwnCause::None;
    QString ownReason;
    bool successShown = false;
    bool connectionLost = false;
    std::optional<QString> errorText;
    bool success = false;
    QString reason;
};
