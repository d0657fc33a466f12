#include "RunOutput.h"

#include "CliOptions.h"
#include "EncoderRun.h"
#include "Rollout.h"

#include <QElapsedTimer>
#include <QTimer>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {

QByteArray linesBytes(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toLocal8Bit() + '\n';
    return bytes;
}

// Redrawing at most this often keeps the cost of fast progress numbers low.
constexpr int RedrawIntervalMs = 50;

winsize terminalSize() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        size.ws_col = 80;
        size.ws_row = 24;
    }
    return size;
}

QString rateText(double bytesPerSecond) {
    if (bytesPerSecond >= 1e6)
        return QStringLiteral("%1 MB/s").arg(bytesPerSecond / 1e6, 0, 'f', 1);
    return QStringLiteral("%1 kB/s").arg(bytesPerSecond / 1e3, 0, 'f', 0);
}

// While the image goes out: the rate the encoder takes it at and the time the rest will take.
QString transferText(const UpgradeProgress& progress) {
    if (progress.step != UpgradeStep::SendingImage || progress.percent >= 100 ||
        !progress.bytesPerSecond || !progress.timeLeft)
        return {};
    const double left = std::chrono::duration<double>(*progress.timeLeft).count();
    return QStringLiteral("  %1, %2 s left")
        .arg(rateText(*progress.bytesPerSecond))
        .arg(std::ceil(left), 0, 'f', 0);
}

// On a terminal: log lines scroll as plain lines (no connect or progress lines), and below
// them a panel of one line per encoder (its stage and percentage; while the image goes out,
// its rate and the time left) and a line counting the encoders done, failed and in flight,
// redrawn in place from where each encoder stands, in at most a third of the rows. With more
// encoders than that, the failed ones stay listed above the line that counts the rest.
class TerminalOutput : public PlainOutput {
public:
    TerminalOutput(OutputChannel& out, OutputChannel& err);

    void write(const RunEvent& event) override;
    void follow(const Rollout& batch) override { run = &batch; }
    int progressStep() const override { return 1; } // the panel redraws as it moves

protected:
    void print(const QStringList& lines, OutputChannel::Kind kind) override;

private:
    void draw();
    void erase();
    QString encoderLine(const EncoderRun& encoder, int width) const;
    QList<int> shownEncoders(int rows) const;
    QString overallLine() const;

    const Rollout* run = nullptr;
    qsizetype labelWidth = 0;
    int drawnRows = 0;
    QTimer redraw;
};

} // namespace

void PlainOutput::write(const RunEvent& event) {
    switch (event.kind) {
    case RunEventKind::Fleet:
        return; // for scripts
    case RunEventKind::Progress:
        if (reachesNextQuarter(event))
            print(EventText(event), OutputChannel::Kind::Droppable);
        return;
    case RunEventKind::Error:
        err.write(linesBytes(EventText(event)));
        return;
    case RunEventKind::Summary: {
        const QStringList lines = EventText(event);
        print(lines, OutputChannel::Kind::Kept);
        // What failed must reach the operator even when the output goes to a file.
        if (!out.isTerminal() && lines.size() > 1)
            err.write(linesBytes(lines));
        return;
    }
    default:
        print(EventText(event), OutputChannel::Kind::Kept);
    }
}

void PlainOutput::print(const QStringList& lines, OutputChannel::Kind kind) {
    out.write(linesBytes(lines), kind);
}

// Plain lines are for logs: a line at each quarter is enough.
bool PlainOutput::reachesNextQuarter(const RunEvent& progress) {
    const int percent = progress.fields.value("percent").toInt();
    int& printed = quarterPrinted[{progress.encoder, progress.fields.value("stage").toString()}];
    const int quarter = percent / 25;
    if (quarter <= printed || percent >= 100) {
        printed = std::min(printed, quarter);
        return false;
    }
    printed = quarter;
    return true;
}

void JsonOutput::write(const RunEvent& event) {
    if (event.kind == RunEventKind::Image)
        clock.start();
    const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
    out.write(EventJson(event, ms, runId), event.kind == RunEventKind::Progress
                                               ? OutputChannel::Kind::Droppable
                                               : OutputChannel::Kind::Kept);
    if (event.kind == RunEventKind::Warning)
        err.write(event.fields.value("text").toString().toLocal8Bit() + '\n');
    else if (event.kind == RunEventKind::Error)
        err.write(linesBytes(EventText(event)));
}

TerminalOutput::TerminalOutput(OutputChannel& out, OutputChannel& err) : PlainOutput(out, err) {
    redraw.setSingleShot(true);
    redraw.setInterval(RedrawIntervalMs);
    QObject::connect(&redraw, &QTimer::timeout, [this] { draw(); });
}

void TerminalOutput::write(const RunEvent& event) {
    switch (event.kind) {
    case RunEventKind::Image:
        for (const EncoderRun* encoder : run->encoders())
            labelWidth = std::max(labelWidth, encoder->outcome().host.size());
        PlainOutput::write(event);
        draw();
        return;
    case RunEventKind::Fleet:
        return; // the panel counts the same
    case RunEventKind::Connect:
    case RunEventKind::Connected:
    case RunEventKind::Progress:
        break;                // the panel shows them
    case RunEventKind::Error: // a record that cannot be written: above the panel's last state
        erase();
        PlainOutput::write(event);
        return;
    case RunEventKind::Summary:
        redraw.stop();
        draw();
        drawnRows = 0; // the final state of each line stays above the summary
        PlainOutput::write(event);
        return;
    default:
        PlainOutput::write(event);
    }
    if (!redraw.isActive())
        redraw.start();
}

void TerminalOutput::print(const QStringList& lines, OutputChannel::Kind kind) {
    const bool wasDrawn = drawnRows > 0;
    erase();
    PlainOutput::print(lines, kind);
    if (wasDrawn)
        draw();
}

void TerminalOutput::draw() {
    const winsize size = terminalSize();
    QStringList lines;
    // Lines that scrolled off the screen cannot be redrawn in place: past the screen's
    // height the rest are counted on one line.
    // At most a third of the rows, the rest for the log.
    const int fit = std::max(2, int(size.ws_row) / 3 - 1);
    const QList<EncoderRun*>& encoders = run->encoders();
    const QList<int> shown = shownEncoders(fit);
    for (const int i : shown)
        lines << encoderLine(*encoders[i], size.ws_col);
    if (shown.size() < encoders.size())
        lines << QStringLiteral("... and %1 more encoders").arg(encoders.size() - shown.size());
    lines << overallLine().left(std::max(1, int(size.ws_col) - 1));
    QByteArray bytes;
    if (drawnRows > 0)
        bytes += "\r\x1b[" + QByteArray::number(drawnRows) + 'A';
    for (const QString& line : lines)
        bytes += "\x1b[2K" + line.toLocal8Bit() + '\n';
    drawnRows = static_cast<int>(lines.size());
    out.write(bytes);
}

void TerminalOutput::erase() {
    if (drawnRows == 0)
        return;
    out.write("\r\x1b[" + QByteArray::number(drawnRows) + "A\x1b[J");
    drawnRows = 0;
}

// Cut to the terminal's width: a wrapped line would throw the in-place redraw off.
QString TerminalOutput::encoderLine(const EncoderRun& encoder, int width) const {
    const EncoderOutcome& outcome = encoder.outcome();
    QString line = outcome.host.leftJustified(labelWidth) + QStringLiteral("  ");
    if (encoder.hasEnded()) {
        line += outcome.skipped   ? QStringLiteral("skipped: ") + Printable(outcome.reason)
                : outcome.success ? QStringLiteral("upgrade succeeded")
                                  : QStringLiteral("FAILED: ") + Printable(outcome.reason);
    } else if (!encoder.hasStarted()) {
        line +=
            run->holds(encoder) ? QStringLiteral("held (a failure)") : QStringLiteral("waiting");
    } else {
        const UpgradeProgress progress = encoder.progress();
        line += encoder.stageText().isEmpty() ? encoder.stage() : encoder.stageText();
        if (progress.phase || progress.step == UpgradeStep::SendingImage)
            line += QStringLiteral("  %1%").arg(progress.percent, 3);
        line += transferText(progress);
    }
    return line.left(std::max(1, width - 1));
}

// All when they fit; otherwise one row less (for the line counting the rest), the failed ones
// first, then those in flight, then the rest, each in the order given.
QList<int> TerminalOutput::shownEncoders(int rows) const {
    const QList<EncoderRun*>& encoders = run->encoders();
    QList<int> order(encoders.size());
    std::iota(order.begin(), order.end(), 0);
    if (encoders.size() <= rows)
        return order;
    const auto rank = [&encoders](int index) {
        const EncoderRun* encoder = encoders[index];
        if (!encoder->hasStarted())
            return 2;
        if (!encoder->hasEnded())
            return 1;
        const EncoderOutcome& outcome = encoder->outcome();
        return outcome.success || outcome.skipped ? 2 : 0;
    };
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return rank(a) < rank(b); });
    order.resize(std::max(0, rows - 1));
    std::sort(order.begin(), order.end());
    return order;
}

QString TerminalOutput::overallLine() const {
    const FleetStatus now = run->status();
    return QStringLiteral("%1 of %2 done, %3 failed, %4 in flight")
               .arg(now.done)
               .arg(now.total)
               .arg(now.failed)
               .arg(now.inFlight) +
           (now.skipped > 0 ? QStringLiteral(", %1 skipped").arg(now.skipped) : QString()) +
           (now.held > 0 ? QStringLiteral(", %1 held").arg(now.held) : QString()) +
           (now.secondsLeft ? QStringLiteral(", about %1 s left").arg(*now.secondsLeft, 0, 'f', 0)
                            : QString());
}

std::unique_ptr<RunOutput> MakeOutput(OutputMode mode, OutputChannel& out, OutputChannel& err,
                                      const QString& runId) {
    if (mode == OutputMode::Json)
        return std::make_unique<JsonOutput>(out, err, runId);
    if (mode == OutputMode::Auto && out.isTerminal() &&
        qEnvironmentVariable("TERM") != QLatin1String("dumb"))
        return std::make_unique<TerminalOutput>(out, err);
    return std::make_unique<PlainOutput>(out, err);
}
