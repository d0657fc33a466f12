#include "StartUp.h"
#include "upgrade_window_rows.h"

#include <QApplication>
#include <QTest>

using namespace UpgradeWindowRows;

// The encoder closes or resets the connection at each stage. Whatever came before is shown,
// the loss is said in the upgrade log, and the rows stay where the encoder left them.
class TestUpgradeWindowMatrix : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void connectionEnds_data() {
        AddEndingColumns();
        // The close comes during the pause, but one send of a small image is still taken.
        AddEndingRow("close at header", {"--close-at", "header"}, {}, {H, P, Lost, A}, NoStage);
        AddEndingRow("close at receive", {"--close-at", "receive"}, {Start}, {H, P, Lost, A},
                     Receiving);
        AddEndingRow("close at erase", {"--close-at", "erase"}, {Start, Erase}, {H, P, W, Lost, A},
                     Erasing);
        AddEndingRow("close at program", {"--close-at", "program"}, {Start, Erase, Program},
                     {H, P, W, Lost, A}, Programming);
        AddEndingRow("close at verify", {"--close-at", "verify"}, {Start, Erase, Program},
                     {H, P, W, Lost, A}, Programmed);
        // A reset during the pause makes the image send fail; what came before it is shown,
        // and the failure is told once (the closed connection is no second end).
        AddEndingRow("reset at header", {"--reset-at", "header"}, {}, {H, P, Failed, A}, NoStage);
        AddEndingRow("reset at receive", {"--reset-at", "receive"}, {Start}, {H, P, Failed, A},
                     Receiving);
        AddEndingRow("reset while erasing", {"--reset-at", "erase"}, {Start, Erase},
                     {H, P, W, Lost, A}, Erasing);
        AddEndingRow("reset while programming", {"--reset-at", "program"}, {Start, Erase, Program},
                     {H, P, W, Lost, A}, Programming);
        AddEndingRow("reset at verify", {"--reset-at", "verify"}, {Start, Erase, Program},
                     {H, P, W, Lost, A}, Programmed);
        // Halfway through the counts: 400 and 800 of 1000 programmed.
        AddEndingRow("close in the middle of programming", {"--close-after-replies", "13"},
                     {Start, Erase, Program}, {H, P, W, Lost, A}, Programming);
    }
    void connectionEnds() { RunEndingRow(); }
};

QTEST_MAIN(TestUpgradeWindowMatrix)
#include "tst_upgrade_window_matrix.moc"
