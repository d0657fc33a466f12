#include "OutputChannel.h"
#include "RunRecords.h"

#include <QList>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unistd.h>

struct OutputChannel::Shared {
    // Progress that waits beyond this is out of date anyway.
    static constexpr qsizetype DroppableLimit = 256 * 1024;

    int fd = -1;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable drained;
    QList<std::pair<QByteArray, bool>> queue; // each write, and whether it may be dropped
    qsizetype droppableBytes = 0;
    bool writing = false;
    bool gone = false;
    bool closed = false; // the channel has gone: the thread ends once the queue is written
};

OutputChannel::OutputChannel(int fd) : shared(std::make_shared<Shared>()), terminal(::isatty(fd)) {
    shared->fd = fd;
    // The thread keeps the shared state alive; at exit it is simply ended with the process,
    // blocked or not.
    std::thread([state = shared] {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->wake.wait(lock, [&] { return !state->queue.isEmpty() || state->closed; });
            if (state->queue.isEmpty())
                return;
            const auto [bytes, droppable] = state->queue.takeFirst();
            if (droppable)
                state->droppableBytes -= bytes.size();
            state->writing = true;
            lock.unlock();
            const bool written = !state->gone && WriteAll(state->fd, bytes);
            lock.lock();
            state->writing = false;
            if (!written)
                state->gone = true;
            if (state->queue.isEmpty())
                state->drained.notify_all();
        }
    }).detach();
}

OutputChannel::~OutputChannel() {
    const std::lock_guard lock(shared->mutex);
    shared->closed = true;
    shared->wake.notify_one();
}

void OutputChannel::write(const QByteArray& bytes, Kind kind) {
    if (bytes.isEmpty())
        return;
    const std::lock_guard lock(shared->mutex);
    if (shared->gone)
        return;
    const bool droppable = kind == Kind::Droppable;
    if (droppable && shared->droppableBytes + bytes.size() > Shared::DroppableLimit)
        return;
    shared->queue.append({bytes, droppable});
    if (droppable)
        shared->droppableBytes += bytes.size();
    shared->wake.notify_one();
}

bool OutputChannel::drain(std::chrono::milliseconds bound) {
    std::unique_lock lock(shared->mutex);
    return shared->drained.wait_for(lock, bound,
                                    [this] { return shared->queue.isEmpty() && !shared->writing; });
}
