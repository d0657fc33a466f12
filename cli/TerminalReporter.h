#pragma once

#include "Reporter.h"

#include <QTimer>

#include <optional>

// On a terminal: log lines scroll as plain lines, and below them one line per encoder shows
// its stage and percentage, redrawn in place.
class TerminalReporter : public PlainReporter {
public:
    TerminalReporter();

    void begin(const ImageSummary& image, const QStringList& hosts) override;
    void connecting(int host, const QByteArray& address, std::uint16_t port) override;
    void connected(int, const ConnectedDetails&) override {}
    void status(int host, const QString& text) override;
    void stage(int host, ProgressStage stage, const QString& text) override;
    void progress(int host, ProgressStage stage, std::int64_t position, int percent) override;
    void ended(int host, bool success, const QString& reason) override;
    void finish(const QList<EncoderOutcome>& outcomes, const QList<FlashWarning>& warnings,
                int exitCode) override;

protected:
    void printLine(const QString& line) override;

private:
    struct Row {
        QString text;
        ProgressStage stage = ProgressStage::Transfer;
        std::optional<int> percent;
    };

    void changed();
    void draw();
    void erase();
    QString rowLine(int index, int width) const;

    QList<Row> rows;
    qsizetype labelWidth = 0;
    int drawnRows = 0;
    QTimer redraw;
};
