#include "StartUp.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QTest>

using namespace UpgradeWindowRows;

// The encoder ends the upgrade itself at each stage: "flash program fail", or "*** ERROR ***"
// with its text (then it closes), or "*** ERROR ***" and a close with no text at all.
class TestUpgradeWindowEndings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void encoderEndsTheUpgrade_data() {
        AddEndingColumns();
        // Within a phase the reply reads as progress and is not logged.
        AddEndingRow("fail at header", {"--fail-at", "header"}, {Fail}, {H, P, A}, NoStage);
        AddEndingRow("fail at receive", {"--fail-at", "receive"}, {Start}, {H, P, A}, Receiving);
        AddEndingRow("fail at erase", {"--fail-at", "erase"}, {Start, Erase}, {H, P, W, A},
                     Erasing);
        AddEndingRow("fail at program", {"--fail-at", "program"}, {Start, Erase, Program},
                     {H, P, W, A}, Programming);
        AddEndingRow("fail at verify", {"--fail-at", "verify"}, {Start, Erase, Program, Fail},
                     {H, P, W, A}, Programmed);

        // The error text is shown, logged to the upgrade log, and goes on as a reply: logged
        // to the device log unless a sending or erasing phase reads it.
        const QString text = "flash <b>busy</b> & 100%";
        const auto errorAt = [&text](const char* stage) {
            return QStringList{"--error-at", stage, "--error-text", text};
        };
        AddEndingRow("error at header", errorAt("header"), {text}, {H, P, text, A}, NoStage,
                     {text});
        AddEndingRow("error at receive", errorAt("receive"), {Start}, {H, P, text, A}, Receiving,
                     {text});
        AddEndingRow("error at erase", errorAt("erase"), {Start, Erase}, {H, P, W, text, A},
                     Erasing, {text});
        // Ending the upgrade clears the programming phase first.
        AddEndingRow("error at program", errorAt("program"), {Start, Erase, Program, text},
                     {H, P, W, text, A}, Programming, {text});
        AddEndingRow("error at verify", errorAt("verify"), {Start, Erase, Program, text},
                     {H, P, W, text, A}, Programmed, {text});

        // "*** ERROR ***" and then a close instead of the text: no box, the loss is said.
        AddEndingRow("error then close, at header",
                     {"--error-at", "header", "--close-after-replies", "1"}, {EncoderReply::Error},
                     {H, P, Lost, A}, NoStage);
        AddEndingRow("error then close, while erasing",
                     {"--error-at", "erase", "--close-after-replies", "6"},
                     {Start, Erase, EncoderReply::Error}, {H, P, W, Lost, A}, Erasing);
    }
    void encoderEndsTheUpgrade() { RunEndingRow(); }
};

QTEST_MAIN(TestUpgradeWindowEndings)
#include "tst_upgrade_window_endings.moc"
