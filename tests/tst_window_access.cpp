#include "Dialogs.h"
#include "StartUp.h"
#include "TForm1.h"
#include "test_process.h"
#include "window_fixture.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAccessibleValueInterface>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QKeySequence>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sys/types.h>

namespace {

struct AccessRow {
    const char* control;
    QAccessible::Role role;
    const char* name;
    const char* description;
    const char* labelledBy;
    const char* keys;
};

// What a screen reader reads for each control. A label showing a figure is read as what it
// shows (here still its initial text) and described by its caption; a bar also gives its
// value.
const AccessRow Controls[] = {
    {"CategoryPanel7", QAccessible::Button, "FW Upgrade", "", "", ""},
    {"SpeedButton24", QAccessible::Button, "Select file", "Select file (Ctrl+O)", "", "Ctrl+O"},
    {"SpeedButton26", QAccessible::Button, "Upgrade FW", "Upgrade FW (Ctrl+U)", "", "Ctrl+U"},
    {"EHost", QAccessible::EditableText, "Remote Host", "", "Label452", ""},
    {"Edit4", QAccessible::EditableText, "Remote Port", "", "Label37", ""},
    {"Memo4", QAccessible::EditableText, "Encoder replies", "", "", ""},
    {"Memo5", QAccessible::EditableText, "Upgrade log", "", "", ""},
    {"ProgressBar4", QAccessible::ProgressBar, "Sending image file", "", "", ""},
    {"ProgressBar5", QAccessible::ProgressBar, "Erasing flash", "", "", ""},
    {"ProgressBar1", QAccessible::ProgressBar, "Programming flash", "", "", ""},
    {"Label443", QAccessible::StaticText, "Label443", "Selected file", "", ""},
    {"Label445", QAccessible::StaticText, "Label445", "File size (byte)", "", ""},
    {"Label277", QAccessible::StaticText, "Label277",
     "Share of the encoder's program memory the file fills", "", ""},
    {"Label451", QAccessible::StaticText, "Label451", "File checksum", "", ""},
    {"Label453", QAccessible::StaticText, "Label453", "Date and Time", "", ""},
    {"Label440", QAccessible::StaticText, "Label440", "Remote Host", "", ""},
    {"Label441", QAccessible::StaticText, "Label441", "Remote Port", "", ""},
    {"Label442", QAccessible::StaticText, "Label442", "Host name", "", ""},
    {"Label447", QAccessible::StaticText, "Label447", "Host address", "", ""},
};

QAccessibleInterface* Interface(QObject* object) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(object);
    return iface && iface->isValid() ? iface : nullptr;
}

// A text box that claims every control key for itself, as a line edit on X11 claims Ctrl+U.
class GreedyEdit : public QLineEdit {
public:
    using QLineEdit::QLineEdit;
    int keysTaken = 0;

protected:
    bool event(QEvent* event) override {
        if (event->type() == QEvent::ShortcutOverride &&
            static_cast<QKeyEvent*>(event)->modifiers() & Qt::ControlModifier) {
            event->accept();
            return true;
        }
        return QLineEdit::event(event);
    }
    void keyPressEvent(QKeyEvent* event) override {
        if (event->modifiers() & Qt::ControlModifier && event->key() != Qt::Key_Control)
            ++keysTaken;
        QLineEdit::keyPressEvent(event);
    }
};

struct ShortcutRow {
    const char* tag;
    const char* button;
    const char* keys;
    const char* hidden;
    const char* focus;
    bool runs;
};

// The key runs what a click runs wherever the focus is (none: ""), while its button shows;
// with the button hidden a text box keeps the key for itself.
const ShortcutRow Shortcuts[] = {
    {"Ctrl+O", "SpeedButton24", "Ctrl+O", "", "", true},
    {"Ctrl+O in a box claiming it", "SpeedButton24", "Ctrl+O", "", "greedy", true},
    {"Ctrl+O, button hidden", "SpeedButton24", "Ctrl+O", "SpeedButton24", "greedy", false},
    {"Ctrl+U", "SpeedButton26", "Ctrl+U", "", "", true},
    {"Ctrl+U in Remote Port", "SpeedButton26", "Ctrl+U", "", "Edit4", true},
    {"Ctrl+U in a box claiming it", "SpeedButton26", "Ctrl+U", "", "greedy", true},
    {"Ctrl+U, group hidden", "SpeedButton26", "Ctrl+U", "GroupBox41", "greedy", false},
};

} // namespace

class TestWindowAccess : public QObject, WindowFixture {
    Q_OBJECT

    void showWindow() {
        window->GroupBox41->show();
        window->show();
        window->activateWindow(); // under X without a window manager too
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

private slots:
    void initTestCase() { PrepareApplication(*qApp); }

    void init() {
        openWindow();
        // Nothing a key runs here may reach beyond this machine.
        window->EHost->setText(QStringLiteral("127.0.0.1"));
    }
    void cleanup() { closeWindow(); }

    void controls_data() {
        QTest::addColumn<QAccessible::Role>("role");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("description");
        QTest::addColumn<QString>("labelledBy");
        QTest::addColumn<QString>("keys");
        for (const AccessRow& row : Controls)
            QTest::newRow(row.control)
                << row.role << row.name << row.description << row.labelledBy << row.keys;
    }
    void controls() {
        QFETCH(QAccessible::Role, role);
        QFETCH(QString, name);
        QFETCH(QString, description);
        QFETCH(QString, labelledBy);
        QFETCH(QString, keys);
        auto* control = window->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(control);
        QAccessibleInterface* iface = Interface(control);
        QVERIFY(iface);
        QCOMPARE(iface->role(), role);
        QCOMPARE(iface->text(QAccessible::Name), name);
        QCOMPARE(iface->text(QAccessible::Description), description);
        QStringList labels;
        for (const auto& [label, relation] : iface->relations(QAccessible::Label))
            labels << label->object()->objectName();
        QCOMPARE(labels.join(u','), labelledBy);
        if (!keys.isEmpty()) {
            QAccessibleActionInterface* actions = iface->actionInterface();
            QVERIFY(actions);
            QCOMPARE(actions->keyBindingsForAction(QAccessibleActionInterface::pressAction()),
                     QStringList{keys});
        }
        if (auto* bar = qobject_cast<QProgressBar*>(control)) {
            bar->setRange(0x40000, 0x400000);
            bar->setValue(0x50000);
            QAccessibleValueInterface* value = iface->valueInterface();
            QVERIFY(value);
            QCOMPARE(value->minimumValue().toInt(), 0x40000);
            QCOMPARE(value->maximumValue().toInt(), 0x400000);
            QCOMPARE(value->currentValue().toInt(), 0x50000);
        }
    }

    // Collapsed by the mouse and expanded again through the header's action.
    void headerExpandsAndCollapses() {
        showWindow();
        QAccessibleInterface* header = Interface(window->CategoryPanel7);
        QVERIFY(header);
        QVERIFY(header->state().expandable);
        QVERIFY(header->state().expanded && !header->state().collapsed);

        QTest::mouseClick(window->CategoryPanel7, Qt::LeftButton, {}, QPoint(30, 12));
        QVERIFY(window->CategoryPanel7->isCollapsed());
        QVERIFY(header->state().collapsed && !header->state().expanded);

        QCOMPARE(header->actionInterface()->actionNames(),
                 QStringList{QAccessibleActionInterface::pressAction()});
        header->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
        QVERIFY(!window->CategoryPanel7->isCollapsed());
        QVERIFY(header->state().expanded && !header->state().collapsed);
    }

    void shortcuts_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QKeySequence>("keys");
        QTest::addColumn<QString>("hidden");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("runs");
        for (const ShortcutRow& row : Shortcuts)
            QTest::newRow(row.tag) << row.button << QKeySequence(QString::fromLatin1(row.keys))
                                   << row.hidden << row.focus << row.runs;
    }
    void shortcuts() {
        QFETCH(QString, button);
        QFETCH(QKeySequence, keys);
        QFETCH(QString, hidden);
        QFETCH(QString, focus);
        QFETCH(bool, runs);
        auto* greedy = new GreedyEdit(window->GroupBox3);
        greedy->setObjectName(QStringLiteral("greedy"));
        greedy->setGeometry(540, 130, 100, 21);
        showWindow();
        if (!hidden.isEmpty())
            window->findChild<QWidget*>(hidden)->hide();
        if (focus.isEmpty()) {
            if (QWidget* initial = QApplication::focusWidget())
                initial->clearFocus();
        } else {
            window->findChild<QWidget*>(focus)->setFocus();
            QTRY_COMPARE(QApplication::focusWidget()->objectName(), focus);
        }
        QWidget* focused = QApplication::focusWidget();
        auto* target = window->findChild<QAbstractButton*>(button);
        QSignalSpy clicks(target, &QAbstractButton::clicked);

        QTest::keySequence(focused ? focused : window.get(), keys);
        if (runs)
            QTRY_COMPARE(clicks.size(), 1);
        else
            QTest::qWait(300); // longer than a shortcut's animated click
        QCOMPARE(clicks.size(), runs ? 1 : 0);
        // The click's handler ran, through the window's own connection.
        if (target == window->SpeedButton24)
            QCOMPARE(dialogs->fileDialogRuns, runs ? 1 : 0);
        else
            QCOMPARE(boxTexts(), runs ? QStringList{"FILE NOT SELECTED"} : QStringList{});
        QCOMPARE(greedy->keysTaken, focused == greedy && !runs ? 1 : 0);
        QCOMPARE(QApplication::focusWidget(), focused);
    }

    // Return in the file dialog's name box while its completion list is open: the dialog takes
    // the file, and no list stays open to take the keys meant for the window.
    void fileDialogLeavesNoListOpen() {
        dialogs.reset();
        const QString path = write(QStringLiteral("image.bin"), "abc");
        bool listShown = false;
        QString gaveUp;
        QElapsedTimer waited;
        waited.start();
        int ticks = 0;
        QTimer typist;
        connect(&typist, &QTimer::timeout, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            auto* name =
                dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
            if (QWidget* list = name ? QApplication::activePopupWidget() : nullptr) {
                listShown = true;
                typist.stop();
                QTest::keyClick(list, Qt::Key_Return);
            } else if (waited.hasExpired(30000)) {
                typist.stop();
                gaveUp = name ? QStringLiteral("no completion list within 30 s; the name field "
                                               "says '%1'")
                                    .arg(name->text())
                              : QStringLiteral("no file dialog within 30 s");
                if (QWidget* modal = QApplication::activeModalWidget())
                    modal->close();
            } else if (name && ticks++ % 20 == 0) {
                // The list opens once the folder is read; until the field has the focus, the
                // dialog rewrites it with the file it selects, so type again now and then.
                name->setFocus();
                name->clear();
                QTest::keyClicks(name, path);
            }
        });
        typist.start(10);
        window->SpeedButton24->click();
        typist.stop();
        QVERIFY2(gaveUp.isEmpty(), qPrintable(gaveUp));
        QVERIFY(listShown);
        QCOMPARE(window->SelectedPath, path);
        QCOMPARE(QApplication::activePopupWidget(), nullptr);
    }

    // Return and Escape close every box with its safe answer: OK, or "Keep running" when the
    // window asks before a close.
    void boxesCloseWithKeys_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("key");
        for (const char* kind : {"notice", "error", "close question"}) {
            QTest::addRow("%s, Return", kind) << QString(kind) << int(Qt::Key_Return);
            QTest::addRow("%s, Escape", kind) << QString(kind) << int(Qt::Key_Escape);
        }
    }
    void boxesCloseWithKeys() {
        QFETCH(QString, kind);
        QFETCH(int, key);
        const auto box = kind == "error" ? MakeErrorBox(QStringLiteral("disk full."))
                         : kind == "notice"
                             ? MakeNoticeBox(QStringLiteral("FILE NOT SELECTED"), std::nullopt)
                             : MakeCloseQuestion();
        box->open();
        QVERIFY(QTest::qWaitForWindowActive(box.get()));
        QWidget* focused = QApplication::focusWidget();
        QTest::keyClick(focused ? focused : box.get(), Qt::Key(key));
        QTRY_VERIFY(!box->isVisible());
        QCOMPARE(box->windowTitle(), ProgramTitle());
        if (kind != "close question") {
            QCOMPARE(box->clickedButton(), box->button(QMessageBox::Ok));
            return;
        }
        QCOMPARE(box->clickedButton()->text(), QString(KeepRunningText));
        QVERIFY(!ClosesAnyway(*box));
        QStringList buttons;
        for (const QAbstractButton* button : box->buttons())
            buttons << button->text();
        buttons.sort();
        QCOMPARE(buttons, (QStringList{CloseAnywayText, KeepRunningText}));
    }

    // Qt's options on the program's command line change nothing. Qt reads them all at
    // start-up; three would show: a platform that does not exist would end the program before
    // its window, a style that does not exist would be complained of, and -widgetcount would
    // report the widgets left at the exit.
    void qtOptionsIgnored() {
        TestProcess program;
        QVERIFY(program.start(QStringLiteral(FWUPGRADE_PROGRAM),
                              {"-platform", "nosuch", "-style", "nosuch", "-widgetcount",
                               "-qwindowtitle", "X", "-reverse"},
                              -1, {"QT_QPA_PLATFORM=offscreen"}));
        QVERIFY(
            QTest::qWaitFor([&] { return program.catches(SIGTERM) || !program.running(); }, 20000));
        QVERIFY(program.running());
        QCOMPARE(::kill(program.pid(), SIGTERM), 0);
        QCOMPARE(program.waitForExit(10000), 0);
        const QString errors = QString::fromLocal8Bit(program.err());
        QVERIFY2(!errors.contains(QLatin1String("nosuch")), qPrintable(errors));
        QVERIFY2(!errors.contains(QLatin1String("Widgets left")), qPrintable(errors));
    }
};

QTEST_MAIN(TestWindowAccess)
#include "tst_window_access.moc"
