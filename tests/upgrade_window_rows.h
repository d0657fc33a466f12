#pragma once

// Shared by the hostile-encoder programs: the texts the rows expect, and the checks every row
// makes of an outcome.

#include "UpgradeTexts.h"
#include "upgrade_window_harness.h"

#include <QStringList>
#include <QTest>

namespace UpgradeWindowRows {

inline const QString H = UpgradeLog::SendHeader;
inline const QString P = UpgradeLog::SendProgram;
inline const QString W = UpgradeLog::PowerWarning;
inline const QString Lost = UpgradeLog::ConnectionLost;
inline const QString Failed = UpgradeLog::SendFailed;
inline const QString A = UpgradeLog::Abort;
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

// Fast pacing over a 1,000-byte image: 3 counts, 5 addresses, 3 counts.
inline QStringList Fast(const QStringList& fault) {
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
    // A frozen window would stall for the whole wait; a busy machine stays well below this.
    QVERIFY2(outcome.longestStallMs < 1000,
             qPrintable(QString("stalled %1 ms").arg(outcome.longestStallMs)));
}

} // namespace UpgradeWindowRows
