#pragma once

#include "UpgradeMonitor.h"
#include "UpgradeView.h"

#include <QObject>
#include <QTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

// Where an upgrade stands, for a front end that shows it when it likes.
struct UpgradeProgress {
    UpgradeStep step = UpgradeStep::Idle;
    // The encoder's phase, once its first stage text has come.
    std::optional<UpgradePhase> phase;
    // Of the phase once there is one; before, of the image the encoder has acknowledged.
    int percent = 0;
    std::int64_t bytesAcknowledged = 0;
    std::int32_t imageLength = 0;
    // Erasing or programming: stopping the upgrade now would leave the encoder without firmware.
    bool writingFlash = false;
    // While the image goes out, once they can be told: the rate at which the encoder
    // acknowledges it, and the time the rest will take at that rate.
    std::optional<double> bytesPerSecond;
    std::optional<std::chrono::milliseconds> timeLeft;
};

class AcknowledgedSender;
class HostLookup;
enum class ConnectProgress;
class QSocketNotifier;
class SendPacer;
class TcpClientChannel;
struct FirmwareImageBuffer;

// One encoder's whole upgrade, driven by the event loop and never waiting in it: connect
// (within the channel's bound), "send data header" and the 12-byte header, the 1,000 ms
// pause once the encoder has acknowledged the whole header, "send program" and the image
// (failing when the encoder acknowledges no byte for the channel's send-stall bound), then,
// once the encoder has acknowledged the whole image, its replies through an UpgradeMonitor.
// Everything is timed by what the encoder's TCP acknowledged, not by what the local socket
// took: on a slow or lossy network the two differ by seconds. Nothing the encoder sends is
// acted on before it has the whole image; what comes meanwhile is only held. An encoder that
// vanishes is given up by TCP (the channel's keepalive and user timeout) and ends as a lost
// connection. Everything shows through the view, and the upgrade ends with a typed cause.
// The window and fwupgrade-cli both run it.
class UpgradeSession : public QObject {
    Q_OBJECT
public:
    // The channel, the image and the view must outlive the session.
    UpgradeSession(TcpClientChannel& channel, const FirmwareImageBuffer& image, UpgradeView& view,
                   QObject* parent = nullptr);
    ~UpgradeSession() override;
    UpgradeSession(const UpgradeSession&) = delete;
    UpgradeSession& operator=(const UpgradeSession&) = delete;

    // Bounds a front end may choose; none by default. Silence counts from the moment the
    // encoder has acknowledged the whole image and restarts whenever it sends; the whole
    // bound counts from start(), less what the front end already `spent` on this upgrade (an
    // earlier attempt).
    void setSilenceBound(std::optional<std::chrono::milliseconds> bound);
    void setWholeBound(std::optional<std::chrono::milliseconds> bound,
                       std::chrono::milliseconds spent = std::chrono::milliseconds::zero());
    void setPumpBudget(PumpBudget budget) { replies.setPumpBudget(budget); }
    // Shares the event loop with other sessions sending at the same time; none by default.
    void setSendPacer(SendPacer* pacer) { sendPacer = pacer; }

    // Starts connecting to the channel's host and port; the rest follows from the event loop.
    // Throws ProgramError, before anything is attempted, when the port text is no port.
    void start();
    // Follows what the encoder has sent (the window's tick); nothing before the image has gone.
    void pump();
    // Ends the upgrade now with `end` (a connection that stands is stopped as any other end).
    void stop(const UpgradeEnd& end);

    UpgradeStep step() const { return current; }
    bool ended() const { return current == UpgradeStep::Ended; }
    const UpgradeEnd& endCause() const { return cause; }
    const UpgradeMonitor& monitor() const { return replies; }
    // Image bytes the encoder has acknowledged: what a front end shows as sent.
    std::int64_t imageBytesAcknowledged() const;
    std::int64_t imageBytesSent() const { return imageBytesAcknowledged(); }
    UpgradeProgress progress() const;
    // Where the upgrade stands, or stood when it ended, in words: "sending the header",
    // "erasing flash", ...
    QString stage() const;
    // Why the upgrade ended, in words: "flash program fail", "SERVER NOT READY (...)", ...
    QString endDescription() const;

signals:
    // The upgrade has ended and the view has been told why; emitted once, after the reply
    // that ended it has been handled whole.
    void finished();

private:
    void enter(UpgradeStep step);
    void connectProgressed(ConnectProgress progress);
    void lookUpHost();
    void hostFound(const QByteArray& dotted);
    void watchConnect();
    void continueConnect();
    void connectFailed();
    QString connectFailureText() const;
    void connectionStands();
    void imageProgressed(std::int64_t acknowledged);
    void sendComplete();
    void endSending(const UpgradeEnd& end);
    void followWhatCame();
    void pauseOver();
    void startFollowing();
    void holdReplies();
    void encoderReadable();
    void schedulePump();
    void pumpWhenTailDue();
    void silenceReached();
    void wholeBoundReached();
    void endWithoutConnection(const UpgradeEnd& end);
    void finishIfEnded();
    void finish();
    static void dropNotifier(QSocketNotifier*& notifier);
    std::array<QTimer*, 6> timers() {
        return {&connectBound, &pause, &silence, &whole, &pumpSoon, &tailQuiet};
    }

    TcpClientChannel& channel;
    const FirmwareImageBuffer& image;
    UpgradeView& view;
    UpgradeMonitor replies;
    SendPacer* sendPacer = nullptr;

    UpgradeStep current = UpgradeStep::Idle;
    UpgradeStep reached = UpgradeStep::Idle; // the last step entered, kept once ended
    UpgradeEnd cause;
    std::optional<std::chrono::milliseconds> silenceBound;
    std::optional<std::chrono::milliseconds> wholeBound;
    std::chrono::milliseconds wholeSpent{0};

    // Children of the session, switched off and dropped before the connection closes.
    QSocketNotifier* connectWritable = nullptr; // while a connect is under way
    QSocketNotifier* readable = nullptr;        // once the connection stands
    AcknowledgedSender* sender = nullptr;       // once the connection stands
    QTimer connectBound;
    HostLookup* hostLookup = nullptr; // while the encoder's host name is looked up
    QTimer pause;
    QTimer silence;
    QTimer whole;
    QTimer pumpSoon;
    QTimer tailQuiet;

    std::array<std::uint8_t, UpgradeHeaderSize> header{};
    std::int64_t imageAcknowledged = 0;
    std::chrono::steady_clock::time_point connectStart;
    std::chrono::steady_clock::time_point pauseEnd;
    bool pumping = false;
};
