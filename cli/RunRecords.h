#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

// What a run leaves behind: --report, --failed-hosts and the history. Each is a regular file
// (existing or new) in a folder that exists and can be written; a device, a folder or a fifo
// is refused before any encoder is contacted.

// What a record's missing folders are: a fault, made (the default history's), or left to be
// made later as long as the first folder that exists above them can be written (--check).
enum class MissingFolders { Refused, Made, Allowed };

// Why `path` cannot hold a record, in words; nothing when it can.
std::optional<QString> RecordPathFault(const QString& path,
                                       MissingFolders missing = MissingFolders::Refused);

// Writes `bytes` as the whole file at `path`: a new file in the same folder, every write and
// the sync checked, then renamed over the path. When anything fails, the error in words (the
// system's), and no file is left at the path: an older one would be taken for this run's.
std::optional<QString> WriteRecordFile(const QString& path, const QByteArray& bytes);

// The default history: $XDG_STATE_HOME/fwupgrade/history.jsonl, or under ~/.local/state.
QString DefaultHistoryPath();

// The history file, opened for appending once per run. Lines of concurrent runs never
// interleave: each line goes in one write() with O_APPEND, under an exclusive flock.
class HistoryFile {
public:
    HistoryFile() = default;
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;
    ~HistoryFile();

    // The error in words when it cannot be opened.
    std::optional<QString> open(const QString& path);
    // The line's error in words; the first one is kept in `firstError` too.
    std::optional<QString> append(const QJsonObject& line);

    std::optional<QString> firstError;

private:
    int fd = -1;
};

// From the history at `path`: per "ADDRESS:PORT", whether its latest entry is an upgrade with
// the image of this SHA-256 (a success, or one skipped as already upgraded with it). A
// missing history is an empty one.
QHash<QString, bool> DoneWithImage(const QString& path, const QString& sha256);
QString EncoderKey(const QString& address, quint16 port);
