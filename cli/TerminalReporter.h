#pragma once

#include "Reporter.h"

#include <QElapsedTimer>
#include <QTimer>

#include <optional>

// On a terminal: log lines scroll as plain lines, and below them one line per encoder shows
// its stage and percentage (while the image goes out, its rate and the time left), and a
// last line counts the encoders done, failed and in flight, all redrawn in place.
class TerminalReporter : public PlainReporter {
public:
    TerminalReporter();

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port,
                    int attempt) override;
    void connected(int, const ConnectedDetails&) override {}
    void status(int host, const QString& text) override;
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void ended(int host, const EncoderOutcome& outcome) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode, const QString& rerunCommand) override;

protected:
    void printLine(const QString& line, OutputChannel::Kind kind) override;

private:
    struct Row {
        QString text;
        ProgressStage stage = ProgressStage::Transfer;
        std::optional<int> percent;
        // The image transfer, for its rate and the time left.
        qint64 transferStartMs = -1;
        std::int64_t transferred = 0;
        std::int64_t transferTotal = 0;
        bool inFlight = false;
        bool ended = false;
        bool failed = false;
    };

    void changed();
    void draw();
    void erase();
    QString rowLine(int index, int width) const;
    QString overallLine() const;
    QString transferText(const Row& row) const;

    QList<Row> rows;
    qsizetype labelWidth = 0;
    int drawnRows = 0;
    QTimer redraw;
    QElapsedTimer clock;
};
