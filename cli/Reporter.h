#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <memory>

struct ImageSummary {
    QString path;
    std::int32_t length = 0;
    QString lengthText;
    QString fillText;
    QString checksumText;
};

struct ConnectedDetails {
    QString remoteHost; // as typed
    QString remotePort;
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

struct EncoderOutcome {
    QString host;
    bool success = false;
    QString reason;
};

// An encoder left in the middle of writing its flash by an interrupted run.
struct FlashWarning {
    QString host;
    QString stage; // e.g. "erasing flash"
};

QString ProgressStageName(ProgressStage stage);

// Tells the operator (or a script) what happens. Encoders are named by their index in the
// list given to begin().
class Reporter {
public:
    virtual ~Reporter() = default;

    virtual void begin(const ImageSummary& image, const QStringList& hosts) = 0;
    virtual void connecting(int host, const QByteArray& address, std::uint16_t port) = 0;
    virtual void connected(int host, const ConnectedDetails& details) = 0;
    virtual void log(int host, LogKind kind, const QString& text) = 0;
    // A step of the program's own (connecting, the pause) for the progress line only.
    virtual void status(int host, const QString& text) = 0;
    virtual void stage(int host, ProgressStage stage, const QString& text) = 0;
    // Called only when the whole percentage changes.
    virtual void progress(int host, ProgressStage stage, std::int64_t position, int percent) = 0;
    virtual void ended(int host, bool success, const QString& reason) = 0;
    virtual void interrupted(const QString& signalName) = 0;
    virtual void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                        int exitCode) = 0;
};

// Plain lines, one per event, each naming its encoder.
class PlainReporter : public Reporter {
public:
    explicit PlainReporter(std::FILE* out = stdout) : out(out) {}

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port) override;
    void connected(int host, const ConnectedDetails& details) override;
    void log(int host, LogKind kind, const QString& text) override;
    void status(int, const QString&) override {}
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void ended(int host, bool success, const QString& reason) override;
    void interrupted(const QString& signalName) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode) override;

protected:
    virtual void printLine(const QString& line);
    void hostLine(int host, const QString& text);
    const QStringList& hostNames() const { return hosts; }

private:
    std::FILE* out;
    QStringList hosts;
    QHash<QPair<int, int>, int> quarterPrinted; // per encoder and stage
};

// One JSON object per line and event, for scripts.
class JsonReporter : public Reporter {
public:
    explicit JsonReporter(std::FILE* out = stdout) : out(out) { clock.start(); }

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port) override;
    void connected(int host, const ConnectedDetails& details) override;
    void log(int host, LogKind kind, const QString& text) override;
    void status(int, const QString&) override {}
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void ended(int host, bool success, const QString& reason) override;
    void interrupted(const QString& signalName) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode) override;

private:
    void emitEvent(const char* event, QJsonObject fields);
    QJsonObject forHost(int host) const;

    std::FILE* out;
    QElapsedTimer clock;
    QStringList hosts;
};

// The reporter for the chosen output: JSON, plain lines, or progress lines on a terminal.
enum class OutputMode;
std::unique_ptr<Reporter> MakeReporter(OutputMode mode);
