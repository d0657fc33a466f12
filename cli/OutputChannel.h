#pragma once

#include <QByteArray>

#include <chrono>
#include <memory>

// Writes to a file descriptor (stdout, stderr) from a thread of its own, so that a reader that
// does not read, or a closed pipe, never holds up the event loop and so the upgrades. Lines
// that only show progress are dropped once too many wait; every other line waits its turn.
// Once the reader has gone (EPIPE), everything is dropped.
class OutputChannel {
public:
    enum class Kind { Kept, Droppable };

    explicit OutputChannel(int fd);
    ~OutputChannel();
    OutputChannel(const OutputChannel&) = delete;
    OutputChannel& operator=(const OutputChannel&) = delete;

    void write(const QByteArray& bytes, Kind kind = Kind::Kept);
    // Waits until everything queued has been written, or `bound` has passed; true if written.
    bool drain(std::chrono::milliseconds bound);
    bool isTerminal() const { return terminal; }

private:
    struct Shared;
    std::shared_ptr<Shared> shared;
    bool terminal = false;
};
