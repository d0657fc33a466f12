#include "RunRecords.h"

#include "OutputChannel.h"
#include "RunEvent.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

QString systemError(int error = errno) {
    return QString::fromLocal8Bit(std::strerror(error));
}

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
        return QStringLiteral("the folder '%1' cannot be written: %2").arg(folder, systemError());
    return std::nullopt;
}

// A link to a regular file is written through: the file it names is replaced, not the link.
QString resolvedTarget(const QString& path) {
    const QFileInfo info(path);
    return info.isSymLink() ? info.canonicalFilePath() : path;
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

std::optional<QString> RecordPathFault(const QString& path, MissingFolders missing) {
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
            return QStringLiteral("it cannot be written: %1").arg(systemError());
    } else if (errno != ENOENT) {
        return systemError();
    } else if (::lstat(name.constData(), &info) == 0) {
        return QStringLiteral("a symbolic link to nothing");
    }
    return folderFault(QFileInfo(resolvedTarget(path)).absolutePath(), missing);
}

std::optional<QString> WriteRecordFile(const QString& path, const QByteArray& bytes) {
    const QByteArray target = native(resolvedTarget(path));
    const QFileInfo targetInfo(QFile::decodeName(target));
    QByteArray temporary =
        native(targetInfo.absolutePath() + QStringLiteral("/.") + targetInfo.fileName()) +
        ".XXXXXX";
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
    ::unlink(target.constData());
    return systemError(failure);
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
    fd = ::open(native(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        firstError = systemError();
    return fd < 0 ? firstError : std::nullopt;
}

// A line cut short (a full disk) is cut off again, so that every line stays whole JSON.
std::optional<QString> HistoryFile::append(const QJsonObject& line) {
    if (fd < 0)
        return firstError;
    const QByteArray bytes = JsonText(line) + '\n';
    std::optional<QString> error;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const QString why = systemError();
            firstError = firstError.value_or(why); // the first error is the one told at the end
            return why;
        }
    }
    struct stat before {};
    const bool measured = ::fstat(fd, &before) == 0;
    const ssize_t wrote = ::write(fd, bytes.constData(), size_t(bytes.size()));
    if (wrote != bytes.size() || ::fdatasync(fd) != 0) {
        error = wrote >= 0 && wrote < bytes.size()
                    ? QStringLiteral("only %1 of %2 bytes written").arg(wrote).arg(bytes.size())
                    : systemError();
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
    QHash<QString, bool> done;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return done;
    while (!file.atEnd()) {
        const QJsonObject entry = QJsonDocument::fromJson(file.readLine()).object();
        if (entry.isEmpty())
            continue;
        const QString result = entry.value("result").toString();
        const bool upgraded =
            result == QLatin1String("success") ||
            (result == QLatin1String("skipped") &&
             entry.value("cause").toString() == QLatin1String("already-upgraded"));
        done[EncoderKey(entry.value("address").toString(), quint16(entry.value("port").toInt()))] =
            upgraded && entry.value("sha256").toString() == sha256;
    }
    return done;
}
