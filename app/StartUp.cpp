#include "StartUp.h"

#include "HandlerGuard.h"
#include "TForm1.h"
#include "TerminationSignals.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>

#include <memory>

namespace {

constexpr char TahomaFile[] = "/usr/share/wine/fonts/tahoma.ttf";
constexpr int WindowFontPoints = 8;

QString LoadTahoma() {
    if (!QFile::exists(QString::fromLatin1(TahomaFile)))
        return {};
    const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(TahomaFile));
    return id < 0 ? QString() : QFontDatabase::applicationFontFamilies(id).value(0);
}

} // namespace

QFont WindowFont() {
    static const QString tahoma = LoadTahoma();
    QFont font =
        tahoma.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::GeneralFont) : QFont(tahoma);
    if (tahoma.isEmpty())
        font.setStyleHint(QFont::SansSerif);
    font.setPointSize(WindowFontPoints);
    font.setWeight(QFont::Normal);
    font.setItalic(false);
    return font;
}

QIcon ProgramIcon() {
    QIcon icon;
    for (const char* file : {":/icons/fwupgrade-32.png", ":/icons/fwupgrade-64.png"})
        icon.addFile(QString::fromLatin1(file));
    return icon;
}

void PrepareApplication(QApplication& application) {
    QApplication::setFont(WindowFont());
    application.setWindowIcon(ProgramIcon());
}

void CloseOnSignal(QWidget& window) {
    window.close();
    // A modal box or dialog open at that moment runs an event loop of its own; all of them end.
    QCoreApplication::exit(0);
}

int RunWindowProgram() {
    std::unique_ptr<TForm1> window;
    const bool created = RunStartUpStep([&window] {
        window = std::make_unique<TForm1>();
        window->FormCreate();
        window->move(0, 0);
        window->show();
    });
    if (created)
        RunStartUpStep([&window] {
            // Installed once the window shows: a signal that comes earlier ends the process the
            // default way, before there is anything to close.
            TerminationSignals terminationSignals;
            QObject::connect(&terminationSignals, &TerminationSignals::received, window.get(),
                             [&window] { CloseOnSignal(*window); });
            QApplication::exec();
        });
    return 0;
}
