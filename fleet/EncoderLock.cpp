#include "EncoderLock.h"

#include "RunRecords.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

QByteArray lockPath(const QString& folder, const QString& address, quint16 port) {
    return QFile::encodeName(QStringLiteral("%1/%2_%3.lock").arg(folder, address).arg(port));
}

// The holder writes its process id just after it has taken the lock: a file still empty is
// read again, for a few ms at most.
QString holderText(int fd) {
    char pid[32] = {};
    for (int tries = 0; tries < 20; ++tries) {
        const ssize_t length = ::pread(fd, pid, sizeof pid - 1, 0);
        if (length > 0)
            return QStringLiteral("being upgraded by process %1")
                .arg(QString::fromLatin1(pid, length).trimmed());
        ::usleep(1000);
    }
    return QStringLiteral("being upgraded by another process");
}

} // namespace

QString EncoderLockFolder(const QString& historyPath) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime))
        return runtime + QStringLiteral("/fwupgrade");
    return QFileInfo(historyPath).absolutePath() + QStringLiteral("/fwupgrade-locks");
}

std::optional<QString> LockFolderFault(const QString& folder, bool make) {
    const QByteArray name = QFile::encodeName(folder);
    if (make && (!QDir().mkpath(QFileInfo(folder).absolutePath()) ||
                 (::mkdir(name.constData(), 0700) != 0 && errno != EEXIST)))
        return QStringLiteral("the lock folder '%1' cannot be made: %2")
            .arg(folder, SystemErrorText());
    if ((make || QFileInfo::exists(folder)) && ::access(name.constData(), W_OK | X_OK) != 0)
        return QStringLiteral("the lock folder '%1' cannot be written: %2")
            .arg(folder, SystemErrorText());
    return std::nullopt;
}

EncoderLock::Taken EncoderLock::take(const QString& folder, const QString& address, quint16 port,
                                     QString& why) {
    release();
    const QByteArray path = lockPath(folder, address, port);
    fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int error = errno;
    // A --check looking at the lock holds it shared for a moment: that is no run holding it.
    int briefHolds = 5;
    while (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        if (error == EINTR)
            continue;
        if (error == EWOULDBLOCK && briefHolds-- > 0) {
            ::usleep(1000);
            continue;
        }
        if (error == EWOULDBLOCK)
            why = holderText(fd);
        release();
        if (error == EWOULDBLOCK)
            return Taken::Busy;
    }
    if (fd < 0) {
        why = QStringLiteral("its lock '%1' cannot be taken: %2")
                  .arg(QFile::decodeName(path), SystemErrorText(error));
        return Taken::Failed;
    }
    const QByteArray pid = QByteArray::number(::getpid()) + '\n';
    // Without the process id the lock holds all the same: others say "another process".
    [[maybe_unused]] const bool told =
        ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) > 0;
    return Taken::Yes;
}

void EncoderLock::release() {
    if (fd >= 0)
        ::close(fd); // the flock goes with the last descriptor of its open file
    fd = -1;
}

std::optional<QString> EncoderLock::holder(const QString& folder, const QString& address,
                                           quint16 port) {
    const int fd =
        ::open(lockPath(folder, address, port).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    std::optional<QString> who;
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        who = holderText(fd);
    ::close(fd);
    return who;
}
