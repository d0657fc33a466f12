#pragma once

#include "FleetEvent.h"
#include "FleetSettings.h"

#include <QHash>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

struct FirmwareImageBuffer;

// The upgrades ran, but their record (report, failed hosts, history) is incomplete.
inline constexpr int RecordIncomplete = 3;

// Loads the image by the window's rules; an error text when it cannot be used.
std::optional<QString> LoadImage(FirmwareImageBuffer& image, const FleetSettings& settings);
// The image as the plan, the image event and the report give it; its SHA-256 is what
// identifies it to the operator.
QJsonObject ImageFields(const FirmwareImageBuffer& image, const QString& path);
// Every file the run will write, checked before any encoder is contacted: none is an input or
// another record, each can be made, and so can the encoders' locks.
std::optional<QString> RecordPathsFault(const FleetSettings& settings);

// What a run will do with each encoder, decided before any connection: upgrade it, skip it
// as already upgraded (skipDone), or find it busy (another run holds it now).
struct RunPlan {
    QStringList actions; // per encoder: "upgrade", "already-upgraded" or "busy"
    QHash<int, QString> busyBy;
    QStringList canary; // the first `canary` encoders to be contacted
    QList<qsizetype> canaryIndices;
    qsizetype toUpgrade = 0;
    qsizetype alreadyUpgraded = 0;
    qsizetype failureLimit = 0; // 0: none
};
RunPlan PlanRun(const FleetSettings& settings, const QString& sha256);
// The plan as the check and the report give it.
QJsonObject PlanFields(const FleetSettings& settings, const RunPlan& plan);

// The whole run with the event loop turning until every encoder has ended (SIGINT, SIGTERM
// and SIGHUP interrupt it), then the records, the errors and the summary. `imageJson` is
// ImageFields'. Returns the exit status: 0, 1 when an encoder was not upgraded, 3 when a
// record is incomplete, 128 + the signal's number when interrupted.
int RunFleet(const FleetSettings& settings, const FirmwareImageBuffer& image,
             const QJsonObject& imageJson, const RunPlan& plan, FleetSink& sink);
