#pragma once

#include "Hosts.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

// How long a failure holds new starts at most: an encoder in flight that says nothing holds
// no fleet for longer.
inline constexpr std::chrono::milliseconds FailureHold{60'000};

// What a fleet run is given: the image, the encoders, how each is upgraded, how the rollout
// goes and the files it reads and writes. A front end fills it in once.
struct FleetSettings {
    QString imagePath;
    QByteArray imageNativePath; // the path's bytes as given, valid UTF-8 or not
    QList<EncoderAddress> encoders;
    QStringList hostsFiles; // "-" is standard input
    // An encoder that sends nothing for this long has failed; none: no bound.
    std::optional<double> silenceSeconds = 600;
    // One encoder's whole upgrade may take this long; none: no bound.
    std::optional<double> timeoutSeconds = 3600;
    double connectTimeoutSeconds = 10;
    int retries = 0;
    double retryDelaySeconds = 5;
    // At most this many encoders in flight at once; 0: all.
    int maxParallel = 0;
    // The first this many encoders to be contacted go first; the rest start only if all of
    // them succeeded.
    int canary = 0;
    // Once this many encoders have failed (a percentage of them when maxFailuresPercent), no
    // further encoder is started; 0: no bound.
    int maxFailures = 0;
    bool maxFailuresPercent = false;
    std::chrono::milliseconds failureHold = FailureHold;
    // Only planned: no connection, and no folder made.
    bool check = false;
    bool allowEmpty = false;
    QString reportFile;
    QString failedHostsFile;
    // The image's SHA-256 in lower case, when it is pinned.
    QString expectSha256;
    // Each encoder's end is appended here; empty: no history.
    QString historyFile;
    bool skipDone = false;
    // Where each encoder's lock is held while it is upgraded (EncoderLockFolder).
    QString lockFolder;
    // Names this run in its report, its events and each of its history lines.
    QString runId;
    // The front end's own fields of the report (the program, its options as given).
    QJsonObject reportFields;
};
