#pragma once

#include <QFont>
#include <QIcon>

// "Tahoma" 8 pt: Debian's fonts-wine ships it outside fontconfig's folders, so it is loaded as
// an application font when present; otherwise the system's sans-serif font at 8 pt.
QFont WindowFont();
QIcon ProgramIcon();
