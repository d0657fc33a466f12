#pragma once

// Upgrades through UpgradeSession against encoder-sim, inside the private network, in which
// the encoder vanishes once the upgrade reaches a given stage: every packet to and from it is
// dropped from then on, for good or for an outage. Several run at once, each against a
// simulator and rules of its own. Shared by the network tests and bench_vanish.

#include "UpgradeView.h"

#include <QList>
#include <QString>
#include <QStringList>

enum class VanishStage { AtConnect, InPause, DuringImage, DuringErase, DuringProgramming };

struct VanishPlan {
    VanishStage stage;
    QStringList simArguments; // --once is added
    int imageLength;
    int timeoutMs;    // for the whole upgrade
    int outageMs = 0; // the encoder answers again this long after it vanished; 0: never
};

struct VanishOutcome {
    QString failure;         // empty when the encoder vanished and the upgrade ended
    qint64 lostAfterMs = -1; // from the drop to the end of the upgrade
    UpgradeEnd end;
    QStringList upgradeLog; // Memo5's lines
    int droppedPackets = -1;
    bool channelClosed = false;
};

// All at once, on this thread's event loop; the outcomes in the plans' order.
QList<VanishOutcome> RunVanishingUpgrades(const QList<VanishPlan>& plans);
