#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "FleetEvent.h"

// The --json line of an event: the fields its table row names, in the envelope ("schema",
// "event", "run", "ms" since the start and "time").
QByteArray EventJson(const RunEvent& event, qint64 ms, const QString& runId = {});
// The plain lines of an event; those of an encoder begin with its HOST[:PORT] as given.
QStringList EventText(const RunEvent& event);
// The "--json events" part of --help, from the event table.
QString EventHelp();

// Control characters (C0, DEL, C1) escaped as \xNN: an encoder's text can neither break a
// line nor drive the terminal.
QString Printable(const QString& text);
