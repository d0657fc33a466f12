// Plays encoder-sim's side of one connection against a client that sends arbitrary bytes:
// the session reads them from one end of a socket pair, with options taken from the input's
// last bytes, while a reader drains its replies from the other end. The client's end is shut
// for writing before the session starts, so nothing ever waits for more: every run is over
// within the time its replies take to send.
#include "EncoderSession.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

// Options that make the simulator wait (--split-replies, --read-rate, --gap-ms) stay off;
// steps stay large enough for a few hundred replies at most.
SimOptions fuzzedOptions(FuzzedDataProvider& input) {
    SimOptions options;
    options.gapMs = 0;
    options.idleTimeoutMs = 1000;
    options.noZero = input.ConsumeBool();
    options.afterImage = input.ConsumeBool();
    options.mergeReplies = input.ConsumeBool();
    options.garbage = input.ConsumeBool();
    options.longReply = input.ConsumeIntegralInRange(0, 600);
    options.fault.kind = static_cast<FaultKind>(input.ConsumeIntegralInRange(0, 5));
    options.fault.stage = static_cast<Stage>(input.ConsumeIntegralInRange(0, 4));
    if (const int replies = input.ConsumeIntegralInRange(0, 40))
        options.closeAfterReplies = replies - 1;
    if (const auto bytes = input.ConsumeIntegralInRange<std::uint32_t>(0, 5000))
        options.stopReadingAfter = bytes - 1;
    if (const auto step = input.ConsumeIntegralInRange<std::uint32_t>(0, 256))
        options.receiveStep = 16 * step;
    if (const auto step = input.ConsumeIntegralInRange<std::uint32_t>(0, 244))
        options.eraseStep = 0x4000 * step;
    if (const auto step = input.ConsumeIntegralInRange<std::uint32_t>(0, 256))
        options.programStep = 16 * step;
    return options;
}

// Everything the session sends, until it closes its end.
struct Drained {
    QByteArray bytes;
    bool closed = false; // an orderly end, not a reset
};

// Reads the client's end on a thread of its own, kept from one run to the next: a thread
// started per run would cost more than most runs.
class Drainer {
public:
    Drainer() : thread([this] { serve(); }) { thread.detach(); }

    void start(int fd) {
        std::lock_guard lock(mutex);
        drainedFd = fd;
        done = false;
        changed.notify_all();
    }
    Drained wait() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return done; });
        return std::move(result);
    }

private:
    void serve() {
        for (;;) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return drainedFd != -1; });
            const int fd = std::exchange(drainedFd, -1);
            lock.unlock();
            Drained drained = drain(fd);
            lock.lock();
            result = std::move(drained);
            done = true;
            changed.notify_all();
        }
    }
    static Drained drain(int fd) {
        Drained drained;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                drained.closed = n == 0;
                return drained;
            }
            drained.bytes.append(buffer, n);
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    int drainedFd = -1;
    bool done = false;
    Drained result;
    std::thread thread;
};

// What the report says was sent, as it went on the wire.
QByteArray wireOf(const SessionReport& report, const SimOptions& options) {
    QByteArray wire;
    for (const QByteArray& reply : report.replies) {
        wire += reply;
        if (!options.noZero)
            wire += '\0';
    }
    return wire;
}

void checkReport(const SessionReport& report, const SimOptions& options, std::size_t sent) {
    require(report.bytesReceived <= report.length);
    require((report.headerReceived ? 12 : 0) + std::size_t{report.bytesReceived} <= sent);
    if (report.complete) {
        require(report.checksumValid && report.bytesReceived == report.length);
        require(options.fault.kind == FaultKind::None);
    }
    require(!report.toJson().isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const SimOptions options = fuzzedOptions(input);
    const std::vector<std::uint8_t> client = input.ConsumeRemainingBytes<std::uint8_t>();

    int ends[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    // The fuzzer's input is far smaller than a socket's buffer: it is all there at once.
    require(::send(ends[0], client.data(), client.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(client.size()));
    ::shutdown(ends[0], SHUT_WR);

    // Never destroyed: its thread waits on it until the process ends.
    static Drainer& drainer = *new Drainer;
    drainer.start(ends[0]);
    EncoderSession session(ends[1], options); // closes ends[1] when it ends
    const SessionReport report = session.run();
    const Drained drained = drainer.wait();
    ::close(ends[0]);

    checkReport(report, options, client.size());
    const QByteArray wire = wireOf(report, options);
    require(drained.closed ? drained.bytes == wire : wire.startsWith(drained.bytes));
    return 0;
}
