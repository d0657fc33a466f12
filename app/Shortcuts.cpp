#include "Shortcuts.h"

#include "TForm1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QKeySequence>

#include <utility>
#include <vector>

namespace {

// A text box keeps some control keys for its own editing: on X11 a line edit empties itself
// on Ctrl+U. In this window the buttons' keys go to their shortcuts first; while a button is
// hidden its shortcut takes nothing, and the box still receives the key.
class ShortcutsBeforeEditing : public QObject {
public:
    ShortcutsBeforeEditing(QWidget& window, std::vector<QAbstractButton*> buttons)
        : QObject(&window), window(window), buttons(std::move(buttons)) {
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::ShortcutOverride || !watched->isWidgetType() ||
            static_cast<QWidget*>(watched)->window() != &window)
            return false;
        const QKeySequence keys(static_cast<QKeyEvent*>(event)->keyCombination());
        for (const QAbstractButton* button : buttons) {
            if (button->shortcut() == keys) {
                event->ignore();
                return true;
            }
        }
        return false;
    }

private:
    QWidget& window;
    const std::vector<QAbstractButton*> buttons;
};

// The button's own shortcut clicks it, and only while it is shown.
void GiveShortcut(QAbstractButton* button, QKeyCombination keys) {
    button->setShortcut(QKeySequence(keys));
    button->setToolTip(QStringLiteral("%1 (%2)").arg(
        button->text(), button->shortcut().toString(QKeySequence::NativeText)));
}

} // namespace

void InstallShortcuts(TForm1& window) {
    GiveShortcut(window.SpeedButton24, Qt::CTRL | Qt::Key_O);
    GiveShortcut(window.SpeedButton26, Qt::CTRL | Qt::Key_U);
    new ShortcutsBeforeEditing(window, {window.SpeedButton24, window.SpeedButton26});
}

// Return in the file dialog's name box while its completion list is open accepts the dialog
// but leaves the list open, and the list would take every key after it.
void CloseCompletionWithDialog(QFileDialog& dialog) {
    QObject::connect(&dialog, &QDialog::finished, &dialog, [] {
        if (QWidget* popup = QApplication::activePopupWidget())
            popup->hide();
    });
}
