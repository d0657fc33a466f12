#include "TerminalReporter.h"

#include <sys/ioctl.h>
#include <unistd.h>

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

void writeRaw(const QByteArray& bytes) {
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

} // namespace

TerminalReporter::TerminalReporter() {
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

void TerminalReporter::connecting(int host, const QByteArray& address, std::uint16_t port) {
    status(host, QStringLiteral("connecting to %1:%2").arg(QLatin1String(address)).arg(port));
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

void TerminalReporter::progress(int host, ProgressStage stage, std::int64_t, int percent) {
    Row& row = rows[host];
    if (row.stage != stage)
        return; // an earlier phase still counting; the line shows the latest one
    row.percent = percent;
    changed();
}

void TerminalReporter::ended(int host, bool success, const QString& reason) {
    PlainReporter::ended(host, success, reason);
    Row& row = rows[host];
    row.text = success ? QStringLiteral("upgrade succeeded") : QStringLiteral("FAILED: ") + reason;
    row.percent.reset();
    changed();
}

void TerminalReporter::finish(const QList<EncoderOutcome>& outcomes,
                              const QList<FlashWarning>& warnings, int exitCode) {
    redraw.stop();
    draw();
    drawnRows = 0; // the final state of each line stays above the summary
    PlainReporter::finish(outcomes, warnings, exitCode);
}

void TerminalReporter::printLine(const QString& line) {
    const bool wasDrawn = drawnRows > 0;
    erase();
    PlainReporter::printLine(line);
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
    const int fit = std::max(1, int(size.ws_row) - 2);
    const int shown = rows.size() <= fit ? int(rows.size()) : fit - 1;
    for (int i = 0; i < shown; ++i)
        lines << rowLine(i, size.ws_col);
    if (shown < rows.size())
        lines << QStringLiteral("... and %1 more encoders").arg(rows.size() - shown);
    QByteArray bytes;
    if (drawnRows > 0)
        bytes += "\r\x1b[" + QByteArray::number(drawnRows) + 'A';
    for (const QString& line : lines)
        bytes += "\x1b[2K" + line.toLocal8Bit() + '\n';
    drawnRows = static_cast<int>(lines.size());
    writeRaw(bytes);
}

void TerminalReporter::erase() {
    if (drawnRows == 0)
        return;
    writeRaw("\r\x1b[" + QByteArray::number(drawnRows) + "A\x1b[J");
    drawnRows = 0;
}

// Cut to the terminal's width: a wrapped line would throw the in-place redraw off.
QString TerminalReporter::rowLine(int index, int width) const {
    const Row& row = rows[index];
    QString line = hostNames().value(index).leftJustified(labelWidth) + QStringLiteral("  ");
    line += row.text;
    if (row.percent)
        line += QStringLiteral("  %1%").arg(*row.percent, 3);
    for (QChar& c : line) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = QLatin1Char('?');
    }
    return line.left(std::max(1, width - 1));
}
