#pragma once

#include "EncoderLock.h"
#include "FleetEvent.h"
#include "TcpClientChannel.h"
#include "UpgradeSession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <array>
#include <memory>
#include <optional>

struct FleetSettings;
struct EncoderAddress;
struct FirmwareImageBuffer;
class FleetSink;
class SendPacer;

// How one encoder's upgrade ended, for the summary, the report and the failed-hosts list.
struct EncoderOutcome {
    QString host; // as given
    QString address;
    std::uint16_t port = 0;
    // Counts as done: upgraded, or skipped as already upgraded; neither fails the run nor is
    // tried again.
    bool success = false;
    // Not contacted; the cause says why. Its result is "skipped".
    bool skipped = false;
    // A connection to it was made: what it holds may have changed.
    bool contacted = false;
    QString cause;  // the session's end cause, as scripts read it ("success", "send-failed", ...)
    QString reason; // in words
    QString stage;  // the stage it reached, in words
    int attempts = 0;
    qint64 durationMs = 0;

    // "success", "failure" or "skipped".
    QString result() const;
};
// As the end event and the report write it.
QJsonObject OutcomeFields(const EncoderOutcome& outcome);
// Every cause an upgrade ends with, as scripts read it, in its order.
QStringList EndCauseNames();
// The cause of an encoder not started because the rollout stopped.
inline constexpr char RolloutStoppedCause[] = "rollout-stopped";
// The causes of one not started because another run on this host holds it, or because its
// lock could not be taken.
inline constexpr char BusyCause[] = "busy";
inline constexpr char LockFailedCause[] = "lock-failed";

// Encoder `index` of the command line: its connection and an UpgradeSession per attempt. The
// session does the upgrade; this only retries a connect that failed before anything was sent
// and tells the run's output what happens.
class EncoderRun : public QObject, private UpgradeView {
    Q_OBJECT
public:
    EncoderRun(int index, const FleetSettings& options, const FirmwareImageBuffer& image,
               FleetSink& output, SendPacer* sendPacer, QObject* parent = nullptr);

    // Takes the encoder's lock for the run, before its connect. Without it the upgrade has
    // ended at once, skipped (busy: another run holds it; or lock-failed), and false comes.
    bool takeLock();
    void start();
    bool hasStarted() const { return attempts > 0; }
    // Once its end is in the history: a run waiting for the lock then finds the end there.
    void releaseLock() { lock.release(); }
    bool hasEnded() const { return finishedAll; }
    UpgradeProgress progress() const;
    // Where its upgrade stands, in words ("connecting", "erasing flash", ...).
    QString stage() const;
    // The latest stage text, as the window's stage label shows it; empty before the first.
    const QString& stageText() const { return latestStageText; }
    // The encoder has begun to rewrite its flash, so stopping it now would leave it without
    // firmware: the stage it is in; nothing otherwise.
    std::optional<QString> flashStage() const;
    // What the encoder may be doing to its flash, should it be stopped now; nothing when it
    // does not touch its flash yet.
    std::optional<QString> stopWarning() const;
    // Ends the upgrade at once (the run was interrupted) and closes the connection.
    void interrupt();
    // Ends it without contacting the encoder, as "skipped" with this cause, unless it has
    // started or ended; `done`: it counts as upgraded.
    void skip(const QString& cause, const QString& reason, bool done);

    const EncoderOutcome& outcome() const { return result; }

signals:
    // The upgrade has ended and its end has been written; emitted once.
    void finished();

private:
    void startAttempt();
    void sessionFinished();
    void deadlineReached();
    void end(UpgradeEndKind kind, const QString& reason);
    void tell(RunEventKind kind, QJsonObject fields);
    void progressed(std::optional<UpgradePhase> phase, std::int64_t position, int percent);

    // UpgradeView
    void showPhaseRow(UpgradePhase) override {}
    void setPhaseText(UpgradePhase phase, const QString& text) override;
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override;
    void appendDeviceLog(const QString& line) override;
    void appendUpgradeLog(const QString& line) override;
    void showErrorText(const QString&) override {} // the text reaches the upgrade log too
    void showSuccess(const QString& text) override;
    void upgradeEnded(const UpgradeEnd&) override {} // told once the session has finished
    void connectionSettled(bool connected) override;
    void imageSent(std::int64_t sent, std::int64_t total) override;

    const int index;
    const FleetSettings& options;
    const EncoderAddress& address;
    const FirmwareImageBuffer& image;
    FleetSink& output;
    SendPacer* const sendPacer; // shared by the encoders of one run

    EncoderLock lock;
    TcpClientChannel channel;
    std::unique_ptr<UpgradeSession> session;
    QTimer retryDelay;
    QTimer deadline; // --timeout, over every attempt and retry delay
    QElapsedTimer clock;
    int attempts = 0;
    QString latestStageText;
    // The last percentage told of the image transfer and of each phase.
    std::array<int, 4> lastStep{-1, -1, -1, -1}; // of the output's progress steps, per stage
    // The encoder's replies shown so far, and those only counted once too many came.
    int deviceLines = 0;
    int unshownDeviceLines = 0;
    bool finishedAll = false;
    EncoderOutcome result;
};
