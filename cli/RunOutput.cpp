#include "RunOutput.h"

#include "CliOptions.h"
#include "TerminalOutput.h"

namespace {

QByteArray linesBytes(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toLocal8Bit() + '\n';
    return bytes;
}

} // namespace

void PlainOutput::write(const RunEvent& event) {
    switch (event.kind) {
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
    out.write(EventJson(event, ms), event.kind == RunEventKind::Progress
                                        ? OutputChannel::Kind::Droppable
                                        : OutputChannel::Kind::Kept);
    if (event.kind == RunEventKind::Warning)
        err.write(event.fields.value("text").toString().toLocal8Bit() + '\n');
    else if (event.kind == RunEventKind::Error)
        err.write(linesBytes(EventText(event)));
}

std::unique_ptr<RunOutput> MakeOutput(OutputMode mode, OutputChannel& out, OutputChannel& err) {
    if (mode == OutputMode::Json)
        return std::make_unique<JsonOutput>(out, err);
    if (mode == OutputMode::Auto && out.isTerminal() &&
        qEnvironmentVariable("TERM") != QLatin1String("dumb"))
        return std::make_unique<TerminalOutput>(out, err);
    return std::make_unique<PlainOutput>(out, err);
}
