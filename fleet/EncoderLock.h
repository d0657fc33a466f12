#pragma once

#include <QString>

#include <optional>

// Where the runs of one control host lock the encoders they upgrade: $XDG_RUNTIME_DIR/fwupgrade,
// or, when that is unset, the folder fwupgrade-locks beside the history.
QString EncoderLockFolder(const QString& historyPath);

// Why `folder` cannot hold the locks, in words; nothing when it can. A run makes it (`make`,
// mode 0700); --check only looks.
std::optional<QString> LockFolderFault(const QString& folder, bool make);

// One encoder (its address and port) kept from every other run on this host while it is
// upgraded: an flock on its own file in the lock folder, which holds the holder's process id.
// The system drops it when the process ends, killed too.
class EncoderLock {
public:
    enum class Taken { Yes, Busy, Failed };

    EncoderLock() = default;
    EncoderLock(const EncoderLock&) = delete;
    EncoderLock& operator=(const EncoderLock&) = delete;
    ~EncoderLock() { release(); }

    // Takes it without waiting. Otherwise `why` says who holds it ("being upgraded by process
    // PID"), or the error.
    Taken take(const QString& folder, const QString& address, quint16 port, QString& why);
    void release();
    // Who holds it now, in the same words, without taking it; nothing when nobody does.
    static std::optional<QString> holder(const QString& folder, const QString& address,
                                         quint16 port);

private:
    int fd = -1;
};
