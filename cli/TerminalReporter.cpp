#include "TerminalReporter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace {

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

} // namespace

TerminalReporter::TerminalReporter() {
    clock.start();
    redraw.setSingleShot(true);
    redraw.setInterval(RedrawIntervalMs);
    QObject::connect(&redraw, &QTimer::timeout, [this] { draw(); });
}

void TerminalReporter::begin(const ImageSummary& image, const QStringList& hosts) {
    PlainReporter::begin(image, hosts);
    rows.resize(hosts.size());
    for (const QString& host : hosts)
        labelWidth = std::max(labelWidth, host.size());
    for (Row& row : rows)
        row.text = QStringLiteral("waiting");
    draw();
}

void TerminalReporter::connecting(int host, const QByteArray& address, std::uint16_t port,
                                  int attempt) {
    rows[host].inFlight = true;
    const QString attemptText =
        attempt > 1 ? QStringLiteral(" (attempt %1)").arg(attempt) : QString();
    status(host, QStringLiteral("connecting to %1:%2%3")
                     .arg(QLatin1String(address))
                     .arg(port)
                     .arg(attemptText));
}

void TerminalReporter::status(int host, const QString& text) {
    Row& row = rows[host];
    row.text = text;
    row.stage = ProgressStage::Transfer;
    row.percent.reset();
    changed();
}

void TerminalReporter::stage(int host, ProgressStage stage, const QString& text) {
    Row& row = rows[host];
    if (row.stage != stage)
        row.percent.reset();
    row.text = text;
    row.stage = stage;
    changed();
}

void TerminalReporter::progress(int host, ProgressStage stage, std::int64_t position,
                                int percent) {
    Row& row = rows[host];
    if (stage == ProgressStage::Transfer) {
        if (row.transferStartMs < 0)
            row.transferStartMs = clock.elapsed();
        row.transferred = position;
        row.transferTotal = percent > 0 ? position * 100 / percent : 0;
    }
    if (row.stage != stage)
        return; // an earlier phase still counting; the line shows the latest one
    row.percent = percent;
    changed();
}

void TerminalReporter::ended(int host, const EncoderOutcome& outcome) {
    PlainReporter::ended(host, outcome);
    Row& row = rows[host];
    row.text = outcome.success ? QStringLiteral("upgrade succeeded")
                               : QStringLiteral("FAILED: ") + outcome.reason;
    row.percent.reset();
    row.inFlight = false;
    row.ended = true;
    row.failed = !outcome.success;
    changed();
}

void TerminalReporter::finish(const QList<EncoderOutcome>& outcomes,
                              const QList<FlashWarning>& warnings, int exitCode,
                              const QString& rerunCommand) {
    redraw.stop();
    draw();
    drawnRows = 0; // the final state of each line stays above the summary
    PlainReporter::finish(outcomes, warnings, exitCode, rerunCommand);
}

void TerminalReporter::printLine(const QString& line, OutputChannel::Kind kind) {
    const bool wasDrawn = drawnRows > 0;
    erase();
    PlainReporter::printLine(line, kind);
    if (wasDrawn)
        draw();
}

void TerminalReporter::changed() {
    if (!redraw.isActive())
        redraw.start();
}

void TerminalReporter::draw() {
    const winsize size = terminalSize();
    QStringList lines;
    // Lines that scrolled off the screen cannot be redrawn in place: past the screen's
    // height the rest are counted on one line.
    const int fit = std::max(1, int(size.ws_row) - 3);
    const int shown = rows.size() <= fit ? int(rows.size()) : fit - 1;
    for (int i = 0; i < shown; ++i)
        lines << rowLine(i, size.ws_col);
    if (shown < rows.size())
        lines << QStringLiteral("... and %1 more encoders").arg(rows.size() - shown);
    lines << overallLine().left(std::max(1, int(size.ws_col) - 1));
    QByteArray bytes;
    if (drawnRows > 0)
        bytes += "\r\x1b[" + QByteArray::number(drawnRows) + 'A';
    for (const QString& line : lines)
        bytes += "\x1b[2K" + line.toLocal8Bit() + '\n';
    drawnRows = static_cast<int>(lines.size());
    output().write(bytes);
}

void TerminalReporter::erase() {
    if (drawnRows == 0)
        return;
    output().write("\r\x1b[" + QByteArray::number(drawnRows) + "A\x1b[J");
    drawnRows = 0;
}

// Cut to the terminal's width: a wrapped line would throw the in-place redraw off.
QString TerminalReporter::rowLine(int index, int width) const {
    const Row& row = rows[index];
    QString line = hostNames().value(index).leftJustified(labelWidth) + QStringLiteral("  ");
    line += Printable(row.text);
    if (row.percent)
        line += QStringLiteral("  %1%").arg(*row.percent, 3);
    if (row.stage == ProgressStage::Transfer && row.percent && *row.percent < 100)
        line += transferText(row);
    return line.left(std::max(1, width - 1));
}

QString TerminalReporter::transferText(const Row& row) const {
    const double seconds = double(clock.elapsed() - row.transferStartMs) / 1000.0;
    if (row.transferStartMs < 0 || seconds <= 0.2 || row.transferred <= 0)
        return {};
    const double rate = double(row.transferred) / seconds;
    const double left = double(row.transferTotal - row.transferred) / rate;
    return QStringLiteral("  %1, %2 s left").arg(rateText(rate)).arg(std::ceil(left), 0, 'f', 0);
}

QString TerminalReporter::overallLine() const {
    int done = 0;
    int failed = 0;
    int inFlight = 0;
    for (const Row& row : rows) {
        done += row.ended ? 1 : 0;
        failed += row.failed ? 1 : 0;
        inFlight += row.inFlight ? 1 : 0;
    }
    return QStringLiteral("%1 of %2 done, %3 failed, %4 in flight")
        .arg(done)
        .arg(rows.size())
        .arg(failed)
        .arg(inFlight);
}
