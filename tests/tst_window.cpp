#include "Dialogs.h"
#include "HandlerGuard.h"
#include "StartUp.h"
#include "TForm1.h"
#include "window_fixture.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

struct ControlRow {
    const char* name;
    const char* kind;
    const char* parent;
    bool shown;
    QRect geometry;
    const char* text;
};

// Every control of the window as it first shows, after FormCreate.
const ControlRow Controls[] = {
    {"CategoryPanelGroup1", "CategoryPanelGroup", "Form1", true, {0, 0, 161, 640}, ""},
    {"CategoryPanel7", "CategoryPanel", "CategoryPanelGroup1", true, {0, 0, 161, 26}, "FW Upgrade"},
    {"Upgrade_Firmware", "QFrame", "Form1", true, {153, -5, 858, 666}, ""},
    {"GroupBox3", "QGroupBox", "Upgrade_Firmware", true, {0, 3, 854, 635}, ""},
    {"GroupBox15", "QGroupBox", "GroupBox3", true, {14, 19, 828, 97}, ""},
    {"GroupBox41", "QGroupBox", "GroupBox3", false, {13, 125, 509, 45}, ""},
    {"GroupBox31", "QGroupBox", "GroupBox3", false, {13, 181, 828, 154}, ""},
    {"GroupBox39", "QGroupBox", "GroupBox3", false, {13, 350, 408, 272}, ""},
    {"GroupBox40", "QGroupBox", "GroupBox3", false, {427, 350, 414, 269}, ""},
    {"SpeedButton24", "QPushButton", "GroupBox15", true, {8, 12, 65, 22}, "Select file"},
    {"Label423", "AutoSizeLabel", "GroupBox15", false, {98, 21, 65, 13}, "Selected file :"},
    {"Label443", "AutoSizeLabel", "GroupBox15", false, {169, 21, 43, 13}, "Label443"},
    {"Label444",
     "AutoSizeLabel",
     "GroupBox15",
     false,
     {11, 71, 121, 13},
     "File size (byte) ............"},
    {"Label445", "AutoSizeLabel", "GroupBox15", false, {140, 71, 43, 13}, "Label445"},
    {"Label277", "AutoSizeLabel", "GroupBox15", false, {204, 71, 43, 13}, "Label277"},
    {"Label446",
     "AutoSizeLabel",
     "GroupBox15",
     false,
     {303, 69, 121, 13},
     "File checksum.............."},
    {"Label451", "AutoSizeLabel", "GroupBox15", false, {432, 69, 43, 13}, "Label451"},
    {"Label278",
     "AutoSizeLabel",
     "GroupBox15",
     false,
     {553, 69, 120, 13},
     "Date and Time ............"},
    {"Label453", "AutoSizeLabel", "GroupBox15", false, {682, 69, 43, 13}, "Label453"},
    {"SpeedButton26", "QPushButton", "GroupBox41", true, {3, 15, 77, 22}, "Upgrade FW"},
    {"Label452", "AutoSizeLabel", "GroupBox41", true, {149, 16, 62, 13}, "Remote Host"},
    {"EHost", "QLineEdit", "GroupBox41", true, {226, 14, 101, 21}, "192.168.1.100"},
    {"Label37", "AutoSizeLabel", "GroupBox41", true, {366, 16, 60, 13}, "Remote Port"},
    {"Edit4", "QLineEdit", "GroupBox41", true, {442, 14, 55, 21}, "999"},
    {"Label269", "AutoSizeLabel", "GroupBox31", false, {6, 27, 17, 13}, "0%"},
    {"ProgressBar4", "QProgressBar", "GroupBox31", false, {32, 17, 563, 27}, ""},
    {"Label270", "AutoSizeLabel", "GroupBox31", false, {601, 26, 29, 13}, "100%"},
    {"Label268", "AutoSizeLabel", "GroupBox31", false, {652, 24, 89, 13}, "Sending image file "},
    {"Label274", "AutoSizeLabel", "GroupBox31", false, {6, 69, 17, 13}, "0%"},
    {"ProgressBar5", "QProgressBar", "GroupBox31", false, {32, 61, 563, 27}, ""},
    {"Label275", "AutoSizeLabel", "GroupBox31", false, {601, 70, 29, 13}, "100%"},
    {"Label276", "AutoSizeLabel", "GroupBox31", false, {652, 70, 61, 13}, "Erasing flash"},
    {"Label272", "AutoSizeLabel", "GroupBox31", false, {9, 116, 17, 13}, "0%"},
    {"ProgressBar1", "QProgressBar", "GroupBox31", false, {32, 106, 563, 27}, ""},
    {"Label273", "AutoSizeLabel", "GroupBox31", false, {601, 113, 29, 13}, "100%"},
    {"Label271", "AutoSizeLabel", "GroupBox31", false, {652, 113, 88, 13}, "Programming flash"},
    {"Label421", "AutoSizeLabel", "GroupBox39", true, {15, 27, 76, 13}, "Remote Host = "},
    {"Label440", "AutoSizeLabel", "GroupBox39", true, {101, 27, 43, 13}, "Label440"},
    {"Label422", "AutoSizeLabel", "GroupBox39", true, {223, 27, 71, 13}, "Remote Port ="},
    {"Label441", "AutoSizeLabel", "GroupBox39", true, {309, 27, 43, 13}, "Label441"},
    {"Memo4", "QPlainTextEdit", "GroupBox39", true, {21, 55, 384, 202}, ""},
    {"Label438", "AutoSizeLabel", "GroupBox40", true, {20, 26, 62, 13}, "Host name ="},
    {"Label442", "AutoSizeLabel", "GroupBox40", true, {101, 26, 43, 13}, "Label442"},
    {"Label439", "AutoSizeLabel", "GroupBox40", true, {215, 25, 74, 13}, "Host address ="},
    {"Label447", "AutoSizeLabel", "GroupBox40", true, {306, 26, 43, 13}, "Label447"},
    {"Memo5", "QPlainTextEdit", "GroupBox40", true, {23, 56, 370, 197}, ""},
};

QString TextOf(const QWidget* widget) {
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    if (auto* edit = qobject_cast<const QLineEdit*>(widget))
        return edit->text();
    if (auto* pane = qobject_cast<const QPlainTextEdit*>(widget))
        return pane->toPlainText();
    if (auto* group = qobject_cast<const QGroupBox*>(widget))
        return group->title();
    if (auto* panel = qobject_cast<const CategoryPanel*>(widget))
        return panel->text();
    return {};
}

using Snapshot = std::map<QString, std::pair<QRect, bool>>;

// Geometry and own visibility of every control but the docked column.
Snapshot TakeSnapshot(const TForm1& window) {
    Snapshot snapshot;
    for (const ControlRow& row : Controls) {
        if (QLatin1String(row.name) == QLatin1String("CategoryPanelGroup1"))
            continue;
        auto* widget = window.findChild<QWidget*>(QLatin1String(row.name));
        snapshot[widget->objectName()] = {widget->geometry(), widget->isHidden()};
    }
    return snapshot;
}

// Runs `inspect` on the next modal widget from inside its own event loop, then closes it.
// Closing is queued, so whatever `inspect` queues (an accept) happens first.
void CloseNextModal(std::function<void(QWidget*)> inspect) {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, inspect = std::move(inspect)] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        inspect(modal);
        QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
    });
    poll->start(10);
}

bool IsYellow(QColor c) {
    return c.red() > 200 && c.green() > 200 && c.blue() < 80;
}

} // namespace

class TestWindow : public QObject, WindowFixture {
    Q_OBJECT

    void showWithGroups() {
        for (QWidget* group :
             {window->GroupBox41, window->GroupBox31, window->GroupBox39, window->GroupBox40})
            group->show();
        window->show();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void init() { openWindow(); }
    void cleanup() { closeWindow(); }

    void controls_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("parent");
        QTest::addColumn<bool>("shown");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        for (const ControlRow& row : Controls)
            QTest::newRow(row.name) << row.kind << row.parent << row.shown << row.geometry
                                    << QString::fromUtf8(row.text);
    }
    void controls() {
        QFETCH(QString, kind);
        QFETCH(QString, parent);
        QFETCH(bool, shown);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        auto* widget = window->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(widget);
        QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), kind);
        QCOMPARE(widget->parentWidget()->objectName(), parent);
        QCOMPARE(!widget->isHidden(), shown);
        QCOMPARE(TextOf(widget), text);
        QVERIFY(widget->isEnabled());
        if (auto* label = qobject_cast<QLabel*>(widget)) {
            // Labels fit their text: the designed width, or wider where this font needs it.
            QCOMPARE(label->pos(), geometry.topLeft());
            QCOMPARE(label->height(), geometry.height());
            QCOMPARE(label->width(), std::max(geometry.width(), label->sizeHint().width()));
            QCOMPARE(label->textFormat(), Qt::PlainText);
        } else {
            QCOMPARE(widget->geometry(), geometry);
        }
    }

    void windowItself() {
        QCOMPARE(window->objectName(), QStringLiteral("Form1"));
        QCOMPARE(window->windowTitle(), QStringLiteral("Vorden Electronic"));
        QCOMPARE(window->size(), QSize(1016, 640));
        QCOMPARE(window->layout(), nullptr);
        QCOMPARE(Form1, window.get());
        QVERIFY(!window->windowIcon().pixmap(32).isNull());
        QCOMPARE(QString::fromLatin1(DefaultEncoderHost), window->EHost->text());
        QCOMPARE(window->Upgrade_Firmware->frameShape(), QFrame::Panel);
        QCOMPARE(window->Upgrade_Firmware->frameShadow(), QFrame::Raised);
        QCOMPARE(window->Upgrade_Firmware->lineWidth(), 1);
        // The column lies on top where the upgrade panel runs under it.
        QWidget* atOverlap = window->childAt(156, 300);
        QVERIFY(atOverlap == window->CategoryPanelGroup1 ||
                window->CategoryPanelGroup1->isAncestorOf(atOverlap));
    }

    void formCreatedAfterDestroyGoesAway() {
        window.reset();
        QCOMPARE(Form1, nullptr);
    }

    void font() {
        const QFont font = window->font();
        QCOMPARE(font.pointSize(), 8);
        QVERIFY(!font.bold() && !font.italic());
        if (QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf")))
            QCOMPARE(font.family(), QStringLiteral("Tahoma"));
        for (QWidget* control :
             {static_cast<QWidget*>(window->Label443), static_cast<QWidget*>(window->Memo4),
              static_cast<QWidget*>(window->CategoryPanel7)})
            QCOMPARE(control->font(), font);
        QCOMPARE(QApplication::font().family(), font.family());
    }

    void formCreateEmptiesLogsAndShowsPanel() {
        window->Memo4->setPlainText(QStringLiteral("old reply"));
        window->Memo5->setPlainText(QStringLiteral("old line"));
        window->Upgrade_Firmware->hide();
        window->Upgrade_Firmware->setEnabled(false);
        window->FormCreate();
        QVERIFY(window->Memo4->toPlainText().isEmpty());
        QVERIFY(window->Memo5->toPlainText().isEmpty());
        QVERIFY(!window->Upgrade_Firmware->isHidden());
        QVERIFY(window->Upgrade_Firmware->isEnabled());
    }

    void resizeMovesNothingButColumnHeight_data() {
        QTest::addColumn<QSize>("size");
        QTest::newRow("larger") << QSize(1400, 900);
        QTest::newRow("smaller") << QSize(500, 300);
    }
    void resizeMovesNothingButColumnHeight() {
        QFETCH(QSize, size);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const Snapshot before = TakeSnapshot(*window);
        window->resize(size);
        QTRY_COMPARE(window->size(), size);
        QCOMPARE(window->CategoryPanelGroup1->geometry(), QRect(0, 0, 161, size.height()));
        QCOMPARE(window->CategoryPanel7->geometry(), QRect(0, 0, 161, 26));
        QVERIFY(TakeSnapshot(*window) == before);
    }

    void nothingScrolls() {
        const auto areas = window->findChildren<QAbstractScrollArea*>();
        for (QAbstractScrollArea* area : areas)
            QVERIFY2(area == window->Memo4 || area == window->Memo5 ||
                         (window->OpenDialog3 && window->OpenDialog3->isAncestorOf(area)),
                     qPrintable(area->objectName()));
    }

    void collapsingCategoryChangesNothingElse() {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const Snapshot before = TakeSnapshot(*window);
        const QRect column = window->CategoryPanelGroup1->geometry();
        QTest::mouseClick(window->CategoryPanel7, Qt::LeftButton, {}, QPoint(30, 12));
        QVERIFY(window->CategoryPanel7->isCollapsed());
        QVERIFY(TakeSnapshot(*window) == before);
        QCOMPARE(window->CategoryPanelGroup1->geometry(), column);
        QTest::mouseClick(window->CategoryPanel7, Qt::LeftButton, {}, QPoint(30, 12));
        QVERIFY(!window->CategoryPanel7->isCollapsed());
        QVERIFY(TakeSnapshot(*window) == before);
    }

    void tabOrder() {
        showWithGroups();
        window->Memo4->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window->Memo4);
        for (QWidget* next :
             {static_cast<QWidget*>(window->Memo5), static_cast<QWidget*>(window->EHost),
              static_cast<QWidget*>(window->Edit4), static_cast<QWidget*>(window->Memo4)}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
        }
    }

    void tabSkipsHiddenControls() {
        showWithGroups();
        window->GroupBox40->hide();
        window->Memo4->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window->Memo4);
        QTest::keyClick(window->Memo4, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), window->EHost);
    }

    void buttonsNeverTakeFocus() {
        showWithGroups();
        const auto buttons = window->findChildren<QAbstractButton*>();
        for (QAbstractButton* button : buttons)
            if (!window->OpenDialog3 || !window->OpenDialog3->isAncestorOf(button))
                QCOMPARE(button->focusPolicy(), Qt::NoFocus);
        window->EHost->setText(QStringLiteral("127.0.0.1"));
        window->Edit4->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), window->Edit4);
        QTest::mouseClick(window->SpeedButton26, Qt::LeftButton);
        QCOMPARE(QApplication::focusWidget(), window->Edit4);
        QCOMPARE(dialogs->boxes.size(), 1u); // the click did run
        QCOMPARE(dialogs->boxes[0].text, QStringLiteral("FILE NOT SELECTED"));
    }

    void logPanes_data() {
        QTest::addColumn<QString>("pane");
        QTest::newRow("Memo4") << "Memo4";
        QTest::newRow("Memo5") << "Memo5";
    }
    void logPanes() {
        QFETCH(QString, pane);
        showWithGroups();
        auto* log = window->findChild<QPlainTextEdit*>(pane);
        QVERIFY(!log->isReadOnly());
        QCOMPARE(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QCOMPARE(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        log->appendPlainText(QStringLiteral("<b>send data header</b>"));
        log->appendPlainText(QString(200, u'x'));
        QCOMPARE(log->toPlainText(), "<b>send data header</b>\n" + QString(200, u'x'));
        QTRY_VERIFY(log->document()->lastBlock().layout()->lineCount() > 1); // wrapped
    }

    void progressBarsAreSegmentedYellowOnLinkColour_data() {
        QTest::addColumn<QString>("bar");
        QTest::newRow("ProgressBar4") << "ProgressBar4";
        QTest::newRow("ProgressBar5") << "ProgressBar5";
        QTest::newRow("ProgressBar1") << "ProgressBar1";
    }
    void progressBarsAreSegmentedYellowOnLinkColour() {
        QFETCH(QString, bar);
        showWithGroups();
        auto* progress = window->findChild<QProgressBar*>(bar);
        progress->show();
        QVERIFY(!progress->isTextVisible());
        QCOMPARE(progress->orientation(), Qt::Horizontal);
        progress->setRange(0, 100);
        progress->setValue(50);
        const QImage image = progress->grab().toImage();
        const QColor track = progress->palette().color(QPalette::Link);
        const int y = image.height() / 2;
        int yellow = 0, gaps = 0;
        for (int x = image.width() / 20; x < image.width() * 45 / 100; ++x) {
            const QColor c = image.pixelColor(x, y);
            yellow += IsYellow(c);
            gaps += c == track;
        }
        QVERIFY2(yellow > gaps && gaps > 0, qPrintable(QString("%1 %2").arg(yellow).arg(gaps)));
        for (int x = image.width() * 55 / 100; x < image.width() * 95 / 100; ++x)
            QCOMPARE(image.pixelColor(x, y), track);
    }

    void timerTicksEveryTenMilliseconds() {
        QVERIFY(window->Timer_TCP->isActive());
        QCOMPARE(window->Timer_TCP->interval(), 10);
        QVERIFY(!window->Timer_TCP->isSingleShot());
        QVERIFY(!window->Client_2.Connected());
        QCOMPARE(window->Client_2.RemoteHost(), QByteArray("192.168.1.100"));
        QCOMPARE(window->Client_2.RemotePort(), QByteArray("999"));
        QTest::qWait(50);
        QVERIFY(dialogs->boxes.empty()); // idle ticks show nothing
    }

    void openDialogSettings() {
        QFileDialog* dialog = &window->CreateOpenDialog();
        QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral(".bin (*.bin)")});
        QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
        QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
        QCOMPARE(dialog->defaultSuffix(), QStringLiteral("bin"));
        QCOMPARE(dialog->directory().absolutePath(), QDir::home().absolutePath());
        QVERIFY(dialog->isSizeGripEnabled());
        auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(name);
        QCOMPARE(name->text(), QStringLiteral("*.bin"));
    }

    void upgradeWithoutImage() {
        window->SpeedButton26->click();
        QCOMPARE(dialogs->boxes.size(), 1u);
        QCOMPARE(dialogs->boxes[0].kind, FakeDialogs::Box::Notice);
        QCOMPARE(dialogs->boxes[0].text, QStringLiteral("FILE NOT SELECTED"));
        QVERIFY(!dialogs->boxes[0].topLeft);
        QVERIFY(window->GroupBox41->isHidden());
    }

    void errorBoxText_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("empty") << ""
                               << "";
        QTest::newRow("letter") << "abc"
                                << "abc.";
        QTest::newRow("full stop") << "abc."
                                   << "abc.";
        QTest::newRow("hyphen below") << "ends with -"
                                      << "ends with -";
        QTest::newRow("slash above") << "path/"
                                     << "path/.";
        QTest::newRow("digit above") << "port 999"
                                     << "port 999.";
        QTest::newRow("blank below") << "x "
                                     << "x ";
        QTest::newRow("newline below") << "x\n"
                                       << "x\n";
        QTest::newRow("non-ASCII above")
            << QString::fromUtf8("caf\u00e9") << QString::fromUtf8("caf\u00e9.");
        QTest::newRow("only a full stop") << "."
                                          << ".";
    }
    void errorBoxText() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(ErrorBoxText(message), shown);
    }

    void programTitle_data() {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("title");
        QTest::newRow("plain") << "/usr/bin/fwupgrade"
                               << "fwupgrade";
        QTest::newRow("windows name") << "FWUpgrade.exe"
                                      << "Fwupgrade";
        QTest::newRow("cut at first dot") << "/opt/FW.Tool.v2"
                                          << "Fw";
        QTest::newRow("first kept as is") << "xAPP"
                                          << "xapp";
        QTest::newRow("dot in folder") << "/home/a.b/Tool"
                                       << "Tool";
        QTest::newRow("starts with dot") << "/x/.hidden"
                                         << "";
    }
    void programTitle() {
        QFETCH(QString, executable);
        QFETCH(QString, title);
        QCOMPARE(ProgramTitleFor(executable), title);
    }

    void boxesAsBuilt() {
        const auto error = MakeErrorBox(QStringLiteral("<b>bold?</b>."));
        QCOMPARE(error->windowTitle(), QStringLiteral("tst_window"));
        QCOMPARE(error->icon(), QMessageBox::Critical);
        QCOMPARE(error->standardButtons(), QMessageBox::Ok);
        QCOMPARE(error->textFormat(), Qt::PlainText);
        QCOMPARE(error->text(), QStringLiteral("<b>bold?</b>."));

        const auto notice = MakeNoticeBox(QStringLiteral("FILE TOO LONG"), QPoint(600, 500));
        QCOMPARE(notice->windowTitle(), QStringLiteral("tst_window"));
        QCOMPARE(notice->icon(), QMessageBox::NoIcon);
        QCOMPARE(notice->standardButtons(), QMessageBox::Ok);
        QCOMPARE(notice->textFormat(), Qt::PlainText);
        QCOMPARE(notice->pos(), QPoint(600, 500));
    }

    void escapingErrorShowsBoxAndWindowGoesOn_data() {
        QTest::addColumn<std::function<void()>>("raise");
        QTest::addColumn<QString>("shown");
        QTest::newRow("program error")
            << std::function<void()>([] { throw ProgramError(QStringLiteral("disk gone")); })
            << "disk gone.";
        QTest::newRow("standard exception")
            << std::function<void()>([] { throw std::runtime_error("bad thing!"); })
            << "bad thing!";
        QTest::newRow("anything else") << std::function<void()>([] { throw 42; }) << "";
    }
    void escapingErrorShowsBoxAndWindowGoesOn() {
        QFETCH(std::function<void()>, raise);
        QFETCH(QString, shown);
        const QString path = write(QStringLiteral("image.bin"), "abc");

        // The error escapes after the confirmation: what ran before it stays done.
        dialogs->answerNext([&](QFileDialog& dialog) {
            FakeDialogs::Confirm(dialog, path);
            raise();
        });
        window->SpeedButton24->click();
        QCOMPARE(dialogs->boxes.size(), 1u);
        QCOMPARE(dialogs->boxes[0].kind, FakeDialogs::Box::Error);
        QCOMPARE(dialogs->boxes[0].text, shown);
        QVERIFY(window->ImageSelected);
        QCOMPARE(window->Label443->text(), path);
        QVERIFY(window->GroupBox41->isHidden());

        window->SpeedButton24->click(); // cancelled: loads the chosen file
        QCOMPARE(dialogs->boxes.size(), 1u);
        QVERIFY(!window->GroupBox41->isHidden());
        QCOMPARE(window->Label451->text(), QStringLiteral("0xfffffeda"));
        QVERIFY(window->Timer_TCP->isActive());
    }

    void startUpErrors_data() {
        QTest::addColumn<std::function<void()>>("step");
        QTest::addColumn<bool>("completed");
        QTest::addColumn<QStringList>("boxes");
        QTest::newRow("completes") << std::function<void()>([] {}) << true << QStringList{};
        QTest::newRow("program error")
            << std::function<void()>([] { throw ProgramError(QStringLiteral("no window")); })
            << false << QStringList{QStringLiteral("no window.")};
        QTest::newRow("other exception shows empty text")
            << std::function<void()>([] { throw std::runtime_error("lost"); }) << false
            << QStringList{QString()};
    }
    void startUpErrors() {
        QFETCH(std::function<void()>, step);
        QFETCH(bool, completed);
        QFETCH(QStringList, boxes);
        QCOMPARE(RunStartUpStep(step), completed);
        QStringList shown;
        for (const FakeDialogs::Box& box : dialogs->boxes) {
            QCOMPARE(box.kind, FakeDialogs::Box::Error);
            shown << box.text;
        }
        QCOMPARE(shown, boxes);
    }

    // The real boxes, shown modally and closed from inside their own event loops.
    void realErrorBox() {
        dialogs.reset();
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        int buttons = 0;
        CloseNextModal([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            if (!box)
                return;
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            buttons = box->buttons().size();
            box->button(QMessageBox::Ok)->click();
        });
        ShowErrorMessage(QStringLiteral("disk full"));
        QCOMPARE(title, QStringLiteral("tst_window"));
        QCOMPARE(text, QStringLiteral("disk full."));
        QCOMPARE(icon, QMessageBox::Critical);
        QCOMPARE(buttons, 1);
        QCOMPARE(QApplication::activeModalWidget(), nullptr);
    }

    void realNoticeBoxes() {
        dialogs.reset();
        QRect placed, centred;
        CloseNextModal([&](QWidget* modal) { placed = modal->frameGeometry(); });
        ShowNotice(QStringLiteral("FLASH PROGRAMMED"), QPoint(40, 30));
        QCOMPARE(placed.topLeft(), QPoint(40, 30));

        CloseNextModal([&](QWidget* modal) { centred = modal->frameGeometry(); });
        ShowNotice(QStringLiteral("FILE TOO LONG"));
        const QPoint screenCentre = QGuiApplication::primaryScreen()->geometry().center();
        QVERIFY((centred.center() - screenCentre).manhattanLength() <= 2);
    }

    void realFileDialogConfirms() {
        dialogs.reset();
        const QString path = write(QStringLiteral("real.bin"), QByteArray(1, '\xff'));
        // A box the dialog itself raises (such as "File not found") is closed and reported.
        QStringList strayBoxes;
        QTimer strayCloser;
        connect(&strayCloser, &QTimer::timeout, this, [&strayBoxes] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                strayBoxes << box->text();
                QMetaObject::invokeMethod(box, "reject", Qt::QueuedConnection);
            }
        });
        strayCloser.start(50);
        bool sawDialog = false;
        CloseNextModal([&](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (!dialog)
                return;
            sawDialog = dialog == window->OpenDialog3;
            // As the operator would: type the whole path into the name box and confirm.
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            if (!name)
                return;
            name->setText(path);
            QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
        });
        window->SpeedButton24->click();
        QVERIFY(sawDialog);
        QCOMPARE(strayBoxes, QStringList());
        QCOMPARE(window->SelectedPath, path);
        QCOMPARE(window->Label451->text(), QStringLiteral("0xffffff01"));
        QVERIFY(!window->GroupBox41->isHidden());
    }
};

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
