#pragma once

// The whole window against encoder-sim on loopback: the simulator as a process whose report
// is read while the window's event loop turns, and the window driven as the operator drives
// it, with every box answered by the fake dialog seam.

#include "TForm1.h"
#include "loop_probe.h"
#include "sim_process.h"
#include "test_image.h"
#include "window_fake_dialogs.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <memory>

// Keeps each notice box "open" for a while, as a real modal box does: its own event loop turns
// meanwhile, so ticks and socket notifications come while it is on screen.
class UpgradeWindowLingeringDialogs : public FakeDialogs {
public:
    explicit UpgradeWindowLingeringDialogs(int openMs) : openMs(openMs) {}
    void NoticeBox(const QString& text, std::optional<QPoint> topLeft) override;
    // The process's CPU time spent while boxes were open.
    qint64 cpuMsWhileOpen = 0;

private:
    int openMs;
};

// One window with an image loaded through "Select file".
class UpgradeWindowDriver {
public:
    // With boxOpenMs > 0 every notice box stays open that long, turning the event loop.
    explicit UpgradeWindowDriver(int boxOpenMs = 0);
    ~UpgradeWindowDriver();
    UpgradeWindowDriver(const UpgradeWindowDriver&) = delete;
    UpgradeWindowDriver& operator=(const UpgradeWindowDriver&) = delete;

    // Writes the image to a file and loads it as the operator does; false if not accepted.
    bool load(const QByteArray& image);
    // Lets the window settle, types the loopback host and the port, presses "Upgrade FW" and
    // turns the event loop until the connect has settled.
    void upgrade(const QString& portText);
    void settle();
    void press(const QString& portText);
    // Connects the window's channel ahead of the click with a send buffer of `bytes`, so that
    // an encoder that stops reading stalls the image send whatever this machine's buffers
    // would otherwise absorb. The click then finds the channel connected.
    bool connectWithSendBuffer(const QString& portText, int bytes);
    // Turns the event loop until the whole image has gone (or the upgrade has ended).
    bool waitUntilFollowing(int timeoutMs = 20000);
    // Turns the event loop until the upgrade has ended (the abort line is logged).
    bool waitUntilEnded(int timeoutMs = 20000);
    // Turns the event loop until the device log holds `line`.
    bool waitForDeviceLine(const QString& line, int timeoutMs = 20000);
    void closeWindow();

    bool ended() const;
    QStringList deviceLog() const;  // Memo4, one entry per line
    QStringList upgradeLog() const; // Memo5
    QStringList noticeTexts() const;
    QStringList errorTexts() const;

    TForm1& window() const { return *form; }
    FakeDialogs& dialogs() const { return *fake; }
    // The box CPU time of lingering dialogs (0 otherwise).
    qint64 cpuMsWhileBoxesOpen() const;

private:
    QTemporaryDir dir;
    std::unique_ptr<FakeDialogs> fake;
    std::unique_ptr<TForm1> form;
};

// How one upgrade against the simulator went, as the operator saw it.
struct UpgradeWindowOutcome {
    QString failure; // empty when the run itself went as planned
    bool ended = false;
    QStringList deviceLog;
    QStringList upgradeLog;
    QStringList notices;
    QStringList errors;
    // The stage labels of the sending, erasing and programming rows; "hidden" for a row not
    // shown.
    QStringList stageLabels;
    // ProgressBar4, ProgressBar5 and ProgressBar1 as the run left them.
    QList<int> bars;
    bool connected = false;
    // The event loop's longest pause after the click returned.
    qint64 longestStallMs = 0;
    QJsonObject report;
};

struct UpgradeWindowPlan {
    QStringList simArguments;
    int imageLength = 1000;
    // > 0: the channel connects ahead of the click with this send buffer.
    int sendBuffer = 0;
    // > 0: the encoder is expected to fall silent; the window is watched this long after its
    // last device log line `silentAfter` (or the click), then closed.
    int silentMs = 0;
    QString silentAfter;
};

// Runs one upgrade through the window against encoder-sim and collects what it showed.
UpgradeWindowOutcome UpgradeWindowRun(const UpgradeWindowPlan& plan);

// A reply as the device log shows it: in pieces of at most 255 bytes, each a line, line
// breaks inside a piece breaking the line.
QStringList UpgradeWindowShownLines(const QByteArray& reply);

// The log lines of a complete upgrade.
QStringList UpgradeWindowStageTexts();
QStringList UpgradeWindowCompleteUpgradeLog();

// The window program as main() runs it, its windows closed and its loop left should it still
// run after `ms`; `stuck` then says so, and the test fails instead of hanging.
int RunWindowProgramWithin(int ms, bool& stuck);
