#include "RunRecords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

QByteArray native(const QString& path) {
    return QFile::encodeName(path);
}

std::optional<QString> folderFault(QString folder, MissingFolders missing) {
    if (missing == MissingFolders::Made && !QDir().mkpath(folder))
        return QStringLiteral("the folder '%1' cannot be made").arg(folder);
    while (missing == MissingFolders::Allowed && !QFileInfo::exists(folder) &&
           !QDir(folder).isRoot())
        folder = QFileInfo(folder).absolutePath();
    struct stat info {};
    if (::stat(native(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return QStringLiteral("the folder '%1' does not exist").arg(folder);
    if (::access(native(folder).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the folder '%1' cannot be written: %2")
            .arg(folder, SystemErrorText());
    return std::nullopt;
}

// A link to a regular file is written through: the file it names is replaced, not the link.
QString resolvedTarget(const QString& path) {
    const QFileInfo info(path);
    return info.isSymLink() ? info.canonicalFilePath() : path;
}

// The new file beside `target` that a record is written to first (`replaced`), or a short
// name there for the probe of a history's folder.
QByteArray temporaryPattern(const QByteArray& target, bool replaced = true) {
    const QFileInfo info(QFile::decodeName(target));
    return native(info.absolutePath() + (replaced ? QStringLiteral("/.") + info.fileName()
                                                  : QStringLiteral("/.fwupgrade"))) +
           ".XXXXXX";
}

// A file made beside `target` and removed again, as the record's new file will be; the
// folder keeps its times (a check leaves no trace).
std::optional<QString> temporaryFault(const QByteArray& target, bool replaced) {
    QByteArray name = temporaryPattern(target, replaced);
    const QByteArray folder = native(QFileInfo(QFile::decodeName(target)).absolutePath());
    struct stat before {};
    const bool measured = ::stat(folder.constData(), &before) == 0;
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return QStringLiteral("no file can be made in its folder '%1': %2")
            .arg(QFile::decodeName(folder), SystemErrorText());
    ::close(fd);
    ::unlink(name.constData());
    const timespec times[2]{before.st_atim, before.st_mtim};
    if (measured)
        ::utimensat(AT_FDCWD, folder.constData(), times, 0);
    return std::nullopt;
}

// Which file a path names: its device and inode when it exists; otherwise its absolute path,
// with the links among it and the folders above it that exist resolved.
QString fileIdentity(const QByteArray& nativePath) {
    struct stat info {};
    if (nativePath == "-" ? ::fstat(STDIN_FILENO, &info) == 0
                          : ::stat(nativePath.constData(), &info) == 0)
        return QStringLiteral("inode %1:%2").arg(info.st_dev).arg(info.st_ino);
    QString at = QFileInfo(QFile::decodeName(nativePath)).absoluteFilePath();
    QStringList rest;
    for (int links = 0; !QFileInfo::exists(at) && !QDir(at).isRoot();) {
        const QFileInfo missing(at);
        if (missing.isSymLink() && ++links < 40) {
            at = missing.symLinkTarget();
            continue;
        }
        rest.prepend(missing.fileName());
        at = missing.absolutePath();
    }
    return QStringLiteral("path ") +
           QDir::cleanPath(QFileInfo(at).canonicalFilePath() + QLatin1Char('/') +
                           rest.join(QLatin1Char('/')));
}

// The mode a new file gets from open(), so that a record is not kept from its readers.
mode_t newFileMode(const QByteArray& target) {
    struct stat info {};
    if (::stat(target.constData(), &info) == 0)
        return info.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::optional<QString> RecordPathFault(const QString& path, MissingFolders missing, bool replaced) {
    if (path.isEmpty())
        return QStringLiteral("no file name given");
    const QByteArray name = native(path);
    struct stat info {};
    if (::stat(name.constData(), &info) == 0) {
        if (S_ISDIR(info.st_mode))
            return QStringLiteral("it is a folder; a regular file is needed");
        if (!S_ISREG(info.st_mode))
            return QStringLiteral(
                "not a regular file (a device, a fifo or a socket); a regular file is needed");
        if (::access(name.constData(), W_OK) != 0)
            return QStringLiteral("it cannot be written: %1").arg(SystemErrorText());
    } else if (errno != ENOENT) {
        return SystemErrorText();
    } else if (::lstat(name.constData(), &info) == 0) {
        return QStringLiteral("a symbolic link to nothing");
    }
    const QString target = resolvedTarget(path);
    if (const auto fault = folderFault(QFileInfo(target).absolutePath(), missing))
        return fault;
    if (!QFileInfo(QFileInfo(target).absolutePath()).isDir())
        return std::nullopt; // made by the run (--check)
    return temporaryFault(native(target), replaced);
}

std::optional<QString> SameFileFault(const QList<NamedFile>& records,
                                     const QList<NamedFile>& inputs) {
    QList<std::pair<QString, const NamedFile*>> known;
    for (const NamedFile& input : inputs)
        known.append({fileIdentity(input.native), &input});
    for (const NamedFile& record : records) {
        const QString identity = fileIdentity(record.native);
        for (const auto& [otherIdentity, other] : std::as_const(known)) {
            if (otherIdentity == identity)
                return QStringLiteral("%1 '%2' and %3 '%4' are the same file")
                    .arg(record.name, record.path, other->name, other->path);
        }
        known.append({identity, &record});
    }
    return std::nullopt;
}

std::optional<QString> WriteRecordFile(const QString& path, const QByteArray& bytes) {
    const QByteArray target = native(resolvedTarget(path));
    QByteArray temporary = temporaryPattern(target);
    const mode_t mode = newFileMode(target);
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    bool written = fd >= 0 && ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0)
        written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.constData(), target.constData()) == 0)
        return std::nullopt;
    const int failure = written ? errno : error;
    if (fd >= 0)
        ::unlink(temporary.constData());
    // Emptied, not removed: a link to it keeps a target, and the next run can write it.
    if (::truncate(target.constData(), 0) != 0 && errno != ENOENT)
        return SystemErrorText(failure) +
               QStringLiteral(", and the older file could not be emptied: %1")
                   .arg(SystemErrorText());
    return SystemErrorText(failure);
}

QString DefaultHistoryPath() {
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(state))
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/fwupgrade/history.jsonl");
}

HistoryFile::~HistoryFile() {
    if (fd >= 0)
        ::close(fd);
}

std::optional<QString> HistoryFile::open(const QString& path) {
    // Read too, for its last byte; a history that can only be written is appended to as is.
    fd = ::open(native(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EACCES)
        fd = ::open(native(path).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0)
        firstError = SystemErrorText();
    return fd < 0 ? firstError : std::nullopt;
}

// A line cut short (a full disk) is cut off again, so that every line stays whole JSON.
std::optional<QString> HistoryFile::append(const QJsonObject& line) {
    if (fd < 0)
        return firstError;
    QByteArray bytes = JsonText(line) + '\n';
    std::optional<QString> error;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const QString why = SystemErrorText();
            firstError = firstError.value_or(why); // the first error is the one told at the end
            return why;
        }
    }
    struct stat before {};
    const bool measured = ::fstat(fd, &before) == 0;
    char last = '\n';
    if (measured && before.st_size > 0 && ::pread(fd, &last, 1, before.st_size - 1) == 1 &&
        last != '\n')
        bytes.prepend('\n');
    const ssize_t wrote = ::write(fd, bytes.constData(), size_t(bytes.size()));
    if (wrote != bytes.size() || ::fdatasync(fd) != 0) {
        error = wrote >= 0 && wrote < bytes.size()
                    ? QStringLiteral("only %1 of %2 bytes written").arg(wrote).arg(bytes.size())
                    : SystemErrorText();
        if (measured && wrote > 0 && ::ftruncate(fd, before.st_size) != 0)
            error = *error + QStringLiteral(", and the line cut short stays");
    }
    ::flock(fd, LOCK_UN);
    if (error && !firstError)
        firstError = error;
    return error;
}

QString EncoderKey(const QString& address, quint16 port) {
    return address + QLatin1Char(' ') + QString::number(port);
}

QHash<QString, bool> DoneWithImage(const QString& path, const QString& sha256) {
    HistoryVerdicts verdicts(path, sha256);
    verdicts.done({}, 0);
    return verdicts.all();
}

bool HistoryVerdicts::done(const QString& address, quint16 port) {
    if (!file.isOpen() && !file.open(QIODevice::ReadOnly))
        return false;
    if (file.size() < offset) { // written anew meanwhile
        offset = 0;
        verdicts.clear();
    }
    file.seek(offset);
    const QByteArray bytes = file.readAll();
    qsizetype start = 0;
    while (start < bytes.size()) {
        const qsizetype newline = bytes.indexOf('\n', start);
        const qsizetype end = newline < 0 ? bytes.size() : newline;
        const QJsonObject entry = QJsonDocument::fromJson(bytes.mid(start, end - start)).object();
        if (newline < 0 && entry.isEmpty())
            break; // a line still being written: read again next time
        start = end + 1;
        const QString result = entry.value("result").toString();
        const bool alreadyUpgraded =
            result == QLatin1String("skipped") &&
            entry.value("cause").toString() == QLatin1String("already-upgraded");
        // An encoder not contacted is as it was: its entry leaves the verdict as it stands.
        if (entry.isEmpty() || (!alreadyUpgraded && (result == QLatin1String("skipped") ||
                                                     !entry.value("contacted").toBool(true))))
            continue;
        verdicts[EncoderKey(entry.value("address").toString(),
                            quint16(entry.value("port").toInt()))] =
            (alreadyUpgraded || result == QLatin1String("success")) &&
            entry.value("sha256").toString() == sha256;
    }
    offset += std::min(start, bytes.size());
    return verdicts.value(EncoderKey(address, port));
}

bool WriteAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            if (wrote == 0)
                errno = EIO;
            return false;
        }
        done += wrote;
    }
    return true;
}

// C1 characters are 0xC2 0x80-0x9F in UTF-8, and 0xC2 only ever leads a character there.
QByteArray JsonText(const QJsonObject& object, bool indented) {
    const QByteArray json =
        QJsonDocument(object).toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
    QByteArray shown;
    shown.reserve(json.size());
    for (qsizetype i = 0; i < json.size(); ++i) {
        const auto byte = static_cast<unsigned char>(json[i]);
        const auto next = i + 1 < json.size() ? static_cast<unsigned char>(json[i + 1]) : 0;
        if (byte == 0x7F) {
            shown += "\\u007f";
        } else if (byte == 0xC2 && next >= 0x80 && next < 0xA0) {
            shown += "\\u00" + QByteArray::number(next, 16);
            ++i;
        } else {
            shown += json[i];
        }
    }
    return shown;
}

QString IsoTime(const QDateTime& time) {
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString SystemErrorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}
