#pragma once

#include "OutputChannel.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>

struct ImageSummary {
    QString path;
    std::int32_t length = 0;
    QString lengthText;
    int fillPercent = 0;
    QString fillText;
    QString checksumText;
};

struct ConnectedDetails {
    QString remoteHost; // as given
    std::uint16_t remotePort = 0;
    QString localHostName;
    QString localAddress; // the address and port this end of the connection uses
};

enum class LogKind {
    Upgrade, // the program's own log
    Device,  // the encoder's replies
    Notice,  // what the window shows in a notice box
};

// Where the encoder's work is followed: the program's own image transfer, then the encoder's
// three phases.
enum class ProgressStage { Transfer, Sending, Erasing, Programming };

// How one encoder's upgrade ended.
struct EncoderOutcome {
    QString host; // as given
    QString address;
    std::uint16_t port = 0;
    bool success = false;
    QString cause;  // the session's end cause, as scripts read it ("success", "send-failed", ...)
    QString reason; // in words
    QString stage;  // how far it got
    int attempts = 0;
    qint64 durationMs = 0;
};

// An encoder left in the middle of writing its flash by an interrupted run.
struct FlashWarning {
    QString host;
    QString stage; // e.g. "erasing flash"
};

QString ProgressStageName(ProgressStage stage);
// Control characters (C0, DEL, C1) escaped as \xNN: an encoder's text can neither break a
// line nor drive the terminal.
QString Printable(const QString& text);
// The same for JSON text already serialised: C1 and DEL as \u escapes.
QByteArray JsonPrintable(QByteArray json);
QString SummaryHeadline(const QList<EncoderOutcome>& outcomes);
QString WarningLine(const FlashWarning& warning);
// One error that ends the run with status 2, as a JSON object with schema and time.
QByteArray JsonErrorLine(const QString& message);

// Tells the operator (or a script) what happens. Encoders are named by their index in the
// list given to begin().
class Reporter {
public:
    virtual ~Reporter() = default;

    virtual void begin(const ImageSummary& image, const QStringList& hosts) = 0;
    virtual void connecting(int host, const QByteArray& address, std::uint16_t port,
                            int attempt) = 0;
    virtual void connected(int host, const ConnectedDetails& details) = 0;
    virtual void log(int host, LogKind kind, const QString& text) = 0;
    // A step of the program's own (connecting, the pause) for the progress line only.
    virtual void status(int host, const QString& text) = 0;
    virtual void stage(int host, ProgressStage stage, const QString& text) = 0;
    // Called only when the whole percentage changes.
    virtual void progress(int host, ProgressStage stage, std::int64_t position, int percent) = 0;
    // The connect failed before anything was sent; another attempt follows after the delay.
    virtual void retrying(int host, int attempt, int attempts, const QString& reason,
                          double delaySeconds) = 0;
    virtual void ended(int host, const EncoderOutcome& outcome) = 0;
    // The first signal stops what has not begun to write flash; `flashing` is left to finish.
    // The second ends everything at once.
    virtual void interrupted(const QString& signalName, bool immediately,
                             const QList<FlashWarning>& flashing) = 0;
    virtual void finish(const QList<EncoderOutcome>& outcomes,
                        const QList<FlashWarning>& warnings, int exitCode,
                        const QString& rerunCommand) = 0;
};

// Plain lines, one per event, each naming its encoder.
class PlainReporter : public Reporter {
public:
    explicit PlainReporter(OutputChannel& out = OutputChannel::standardOutput()) : out(out) {}

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port,
                    int attempt) override;
    void connected(int host, const ConnectedDetails& details) override;
    void log(int host, LogKind kind, const QString& text) override;
    void status(int, const QString&) override {}
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void retrying(int host, int attempt, int attempts, const QString& reason,
                  double delaySeconds) override;
    void ended(int host, const EncoderOutcome& outcome) override;
    void interrupted(const QString& signalName, bool immediately,
                     const QList<FlashWarning>& flashing) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode, const QString& rerunCommand) override;

protected:
    virtual void printLine(const QString& line, OutputChannel::Kind kind);
    void printLine(const QString& line) { printLine(line, OutputChannel::Kind::Kept); }
    void hostLine(int host, const QString& text,
                  OutputChannel::Kind kind = OutputChannel::Kind::Kept);
    const QStringList& hostNames() const { return hosts; }
    OutputChannel& output() { return out; }

private:
    OutputChannel& out;
    QStringList hosts;
    QHash<QPair<int, int>, int> quarterPrinted; // per encoder and stage
};

// One JSON object per line and event, for scripts.
class JsonReporter : public Reporter {
public:
    explicit JsonReporter(OutputChannel& out = OutputChannel::standardOutput()) : out(out) {
        clock.start();
    }

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port,
                    int attempt) override;
    void connected(int host, const ConnectedDetails& details) override;
    void log(int host, LogKind kind, const QString& text) override;
    void status(int, const QString&) override {}
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void retrying(int host, int attempt, int attempts, const QString& reason,
                  double delaySeconds) override;
    void ended(int host, const EncoderOutcome& outcome) override;
    void interrupted(const QString& signalName, bool immediately,
                     const QList<FlashWarning>& flashing) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode, const QString& rerunCommand) override;

private:
    void emitEvent(const char* event, QJsonObject fields,
                   OutputChannel::Kind kind = OutputChannel::Kind::Kept);
    QJsonObject forHost(int host) const;

    OutputChannel& out;
    QElapsedTimer clock;
    QStringList hosts;
};

// The reporter for the chosen output: JSON, plain lines, or progress lines on a terminal
// (not with TERM=dumb).
enum class OutputMode;
std::unique_ptr<Reporter> MakeReporter(OutputMode mode);
