#pragma once

#include <cerrno>

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

// What a run leaves behind: --report, --failed-hosts and the history. Each is a regular file
// (existing or new) in a folder that exists and can be written; a device, a folder or a fifo
// is refused before any encoder is contacted.

// What a record's missing folders are: a fault, made (the default history's), or left to be
// made later as long as the first folder that exists above them can be written (--check).
enum class MissingFolders { Refused, Made, Allowed };

// Why `path` cannot hold a record, in words; nothing when it can. Where its folder exists, a
// file is made there and removed again, named as WriteRecordFile names its new file
// (`replaced`) or shortly (the history, appended to): a name too long, a folder that refuses
// files or a pseudo-file (/sys, /proc) is found before any encoder is contacted.
std::optional<QString> RecordPathFault(const QString& path,
                                       MissingFolders missing = MissingFolders::Refused,
                                       bool replaced = true);

// A file the run reads or writes: how messages name it ("--report", "the image"), its path as
// given and its bytes for the system ("-": standard input).
struct NamedFile {
    QString name;
    QString path;
    QByteArray native;
};
// The first record that is the same file as one of `inputs` or as another record, naming
// both: the same device and inode when it exists, the same absolute path with every link
// resolved when it does not.
std::optional<QString> SameFileFault(const QList<NamedFile>& records,
                                     const QList<NamedFile>& inputs);

// Writes `bytes` as the whole file at `path` (through a symbolic link: at its target): a new
// file in the same folder, every write and the sync checked, then renamed over it. When
// anything fails, the error in words (the system's), and an older file there is emptied, kept
// with its link (an older list would be taken for this run's; the next run writes it again).
std::optional<QString> WriteRecordFile(const QString& path, const QByteArray& bytes);

// The default history: $XDG_STATE_HOME/fwupgrade/history.jsonl, or under ~/.local/state.
QString DefaultHistoryPath();

// The history file, opened for appending once per run. Lines of concurrent runs never
// interleave: each line goes in one write() with O_APPEND, under an exclusive flock, after a
// newline when the file's last line has none (a crash, an editor).
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

// From the history at `path`: per EncoderKey, whether its latest entry that counts is an
// upgrade with the image of this SHA-256 (a success, or one skipped as already upgraded with
// it). An entry of an encoder never contacted (skipped otherwise, "contacted" false) does not
// count. A missing history is an empty one.
QHash<QString, bool> DoneWithImage(const QString& path, const QString& sha256);
QString EncoderKey(const QString& address, quint16 port);

// DoneWithImage read on as the history grows: other runs append to it meanwhile.
class HistoryVerdicts {
public:
    HistoryVerdicts(const QString& path, const QString& sha256) : file(path), sha256(sha256) {}
    // Whether the encoder is upgraded with the image, by every complete entry so far.
    bool done(const QString& address, quint16 port);
    // Every encoder's verdict by EncoderKey, as far as read.
    const QHash<QString, bool>& all() const { return verdicts; }

private:
    QFile file;
    QString sha256;
    qint64 offset = 0;
    QHash<QString, bool> verdicts;
};

// Writes all of `bytes` to `fd`, again after EINTR; false, with errno set, when it cannot.
bool WriteAll(int fd, const QByteArray& bytes);
// The system's words for an errno value: "No such file or directory".
QString SystemErrorText(int error = errno);
// A JSON document as one line (or indented), with C1 and DEL as \u escapes, which a JSON
// library would leave raw.
QByteArray JsonText(const QJsonObject& object, bool indented = false);
QString IsoTime(const QDateTime& time = QDateTime::currentDateTime());
