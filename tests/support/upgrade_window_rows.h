#pragma once

// Shared by the hostile-encoder programs: the texts the rows expect, and the checks every row
// makes of an outcome.

#include "EncoderProtocol.h"
#include "upgrade_test_support.h"
#include "upgrade_window_harness.h"

#include <QStringList>
#include <QTest>

namespace UpgradeWindowRows {

using namespace UpgradeLogLines;
inline const QString Start = EncoderReply::StartReceiving;
inline const QString Erase = EncoderReply::EraseFlash;
inline const QString Program = EncoderReply::ProgramFlash;
inline const QString Verify = EncoderReply::VerifyDone;
inline const QString Fail = EncoderReply::ProgramFail;
inline const QString Hidden = "hidden";
inline const QString SendingOn = UpgradeText::SendingInProgress;
inline const QString SendingDone = UpgradeText::SendingDone;
inline const QString ErasingOn = UpgradeText::ErasingInProgress;
inline const QString ErasingDone = UpgradeText::ErasingDone;
inline const QString ProgrammingOn = UpgradeText::ProgrammingInProgress;
inline const QString ProgrammingDone = UpgradeText::ProgrammingDone;

// The stage rows as the encoder can leave them.
inline const QStringList NoStage{Hidden, Hidden, Hidden};
inline const QStringList Receiving{SendingOn, Hidden, Hidden};
inline const QStringList Erasing{SendingDone, ErasingOn, Hidden};
inline const QStringList Programming{SendingDone, ErasingDone, ProgrammingOn};
inline const QStringList Programmed{SendingDone, ErasingDone, ProgrammingDone};

// Fast pacing over a 1,000-byte image: 3 counts, 5 addresses, 3 counts.
inline QStringList Fast(const QStringList& fault = {}) {
    return QStringList{"--gap-ms",     "1",        "--receive-step", "400",
                       "--erase-step", "0x100000", "--program-step", "400"} +
           fault;
}

// No crash, no freeze; the logs, boxes and rows as expected.
inline void CheckOutcome(const UpgradeWindowOutcome& outcome, bool ended,
                         const QStringList& deviceLog, const QStringList& upgradeLog,
                         const QStringList& notices, const QStringList& stageLabels) {
    QVERIFY2(outcome.failure.isEmpty(), qPrintable(outcome.failure));
    QCOMPARE(outcome.ended, ended);
    QCOMPARE(outcome.deviceLog, deviceLog);
    QCOMPARE(outcome.upgradeLog, upgradeLog);
    QCOMPARE(outcome.notices, notices);
    QVERIFY(outcome.errors.isEmpty());
    QCOMPARE(outcome.stageLabels, stageLabels);
    QCOMPARE(outcome.connected, !ended); // an ended upgrade leaves the connection closed
    // A frozen window would stall for the whole wait; a busy machine stays well below this.
    QVERIFY2(outcome.longestStallMs < 1000,
             qPrintable(QString("stalled %1 ms").arg(outcome.longestStallMs)));
}

// A table of upgrades the encoder ends before completion: the fault options, then what the
// window must show.
inline void AddEndingColumns() {
    QTest::addColumn<QStringList>("fault");
    QTest::addColumn<QStringList>("deviceLog");
    QTest::addColumn<QStringList>("upgradeLog");
    QTest::addColumn<QStringList>("stageLabels");
    QTest::addColumn<QStringList>("notices");
}
inline void AddEndingRow(const char* name, const QStringList& fault, const QStringList& deviceLog,
                         const QStringList& upgradeLog, const QStringList& stageLabels,
                         const QStringList& notices = {}) {
    QTest::newRow(name) << fault << deviceLog << upgradeLog << stageLabels << notices;
}
// Runs the current row against the simulator at fast pacing.
inline void RunEndingRow() {
    QFETCH(QStringList, fault);
    QFETCH(QStringList, deviceLog);
    QFETCH(QStringList, upgradeLog);
    QFETCH(QStringList, stageLabels);
    QFETCH(QStringList, notices);
    UpgradeWindowPlan plan;
    plan.simArguments = Fast(fault);
    const UpgradeWindowOutcome outcome = UpgradeWindowRun(plan);
    CheckOutcome(outcome, true, deviceLog, upgradeLog, notices, stageLabels);
    QVERIFY(!outcome.report.value("complete").toBool());
}

} // namespace UpgradeWindowRows
