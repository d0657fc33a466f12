#pragma once

// A fleet run in this process, straight from fleet/ (no output of the CLI), its events
// recorded as the run hands them over, for the tests that link fwcli.

#include "CliOptions.h"
#include "EncoderLock.h"
#include "FirmwareImage.h"
#include "FleetRun.h"
#include "cli_in_process.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

struct FleetRunRecord {
    int exitCode = -1;
    RunPlan plan;
    QList<RunEvent> events;
};

class RecordingSink : public FleetSink {
public:
    void write(const RunEvent& event) override { events << event; }
    QList<RunEvent> events;
};

// The command line's settings (`arguments` without the program name, hosts resolved, no
// history unless given) run to their end; one still going after HungCliSeconds is interrupted.
inline FleetRunRecord RunFleetInProcess(const QStringList& arguments,
                                        std::chrono::milliseconds failureHold = FailureHold) {
    FleetRunRecord record;
    const ParsedCommandLine parsed = ParseCommandLine(QStringList{CliName} + arguments);
    if (!parsed.options)
        return record;
    FleetSettings settings = *parsed.options;
    settings.failureHold = failureHold;
    settings.imageNativePath = QFile::encodeName(settings.imagePath);
    settings.lockFolder =
        EncoderLockFolder(QFileInfo(settings.imagePath).dir().filePath("state/h.jsonl"));
    const std::unique_ptr<FirmwareImageBuffer> image = NewFirmwareImageBuffer();
    if (LoadImage(*image, settings) || ResolveEncoders(settings.encoders) ||
        LockFolderFault(settings.lockFolder, true))
        return record;
    const QJsonObject imageJson = ImageFields(*image, settings.imagePath);
    record.plan = PlanRun(settings, imageJson.value("sha256").toString());
    RecordingSink sink;
    QTimer hung;
    hung.setSingleShot(true);
    QObject::connect(&hung, &QTimer::timeout, [] { ::raise(SIGTERM); });
    hung.start(std::chrono::seconds(HungCliSeconds));
    record.exitCode = RunFleet(settings, *image, imageJson, record.plan, sink);
    record.events = sink.events;
    return record;
}
