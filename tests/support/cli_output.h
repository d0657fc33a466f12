#pragma once

#include <QString>
#include <QStringList>

// The lines of fwupgrade-cli's plain output that belong to one encoder, without its name.
inline QStringList HostLines(const QString& out, const QString& host) {
    QStringList lines;
    const QString prefix = host + QStringLiteral(": ");
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        if (line.startsWith(prefix))
            lines << line.mid(prefix.size());
    }
    return lines;
}
