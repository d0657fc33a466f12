#include "WindowLook.h"

#include <QFile>
#include <QFontDatabase>

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
