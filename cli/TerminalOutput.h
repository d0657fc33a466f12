#pragma once

#include "RunOutput.h"

#include <QElapsedTimer>
#include <QTimer>

class EncoderUpgrade;

// On a terminal: log lines scroll as plain lines (no connect or progress lines), and below
// them a panel of one line per encoder (its stage and percentage; while the image goes out,
// its rate and the time left) and a line counting the encoders done, failed and in flight,
// redrawn in place from where each encoder stands. With more encoders than the screen has
// rows, the failed ones stay listed above the line that counts the rest.
class TerminalOutput : public PlainOutput {
public:
    TerminalOutput(OutputChannel& out, OutputChannel& err);

    void write(const RunEvent& event) override;
    void follow(const BatchUpgrade& batch) override { run = &batch; }

protected:
    void print(const QStringList& lines, OutputChannel::Kind kind) override;

private:
    void changed();
    void draw();
    void erase();
    QString encoderLine(const EncoderUpgrade& encoder, int width) const;
    QList<int> shownEncoders(int rows) const;
    QString overallLine() const;
    QString timeLeftText() const;

    const BatchUpgrade* run = nullptr;
    qsizetype labelWidth = 0;
    int drawnRows = 0;
    QElapsedTimer clock; // since the image event
    QTimer redraw;
};
