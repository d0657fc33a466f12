#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// What happens in a run. An event of one encoder carries its "host"; fields that no row of
// the event table names are for the plain lines only (a summary's "warnings", a check's
// "maxParallel").
enum class RunEventKind {
    Image,
    Connect,
    Connected,
    Log,
    Stage,
    Progress,
    Retry,
    End,
    Interrupted,
    Warning,
    Hold,
    Notice,
    Summary,
    Error,
    Check, // --check's one object, no event of a run: last
};

struct RunEvent {
    RunEventKind kind;
    int encoder = -1; // its index in the run; -1 for what concerns the whole run
    QJsonObject fields;
};

// The --json line of an event: the fields its table row names, in the envelope ("schema",
// "event", "ms" since the start and "time").
QByteArray EventJson(const RunEvent& event, qint64 ms);
// The plain lines of an event; those of an encoder begin with its HOST[:PORT] as given.
QStringList EventText(const RunEvent& event);
// The "--json events" part of --help, from the event table.
QString EventHelp();

// Control characters (C0, DEL, C1) escaped as \xNN: an encoder's text can neither break a
// line nor drive the terminal.
QString Printable(const QString& text);
// A JSON document as one line (or indented), with C1 and DEL as \u escapes, which a JSON
// library would leave raw.
QByteArray JsonText(const QJsonObject& object, bool indented = false);
QString IsoTime(const QDateTime& time = QDateTime::currentDateTime());
