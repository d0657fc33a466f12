// Plays encoder-sim's side of one connection against a client that sends arbitrary bytes, in
// pieces of a fuzzed size, and reads the replies up to a fuzzed limit; the simulator's options
// come from the input's last bytes. The socket calls are answered from memory
// (fake_sim_socket.cpp), so nothing ever waits: once the client's bytes are used up, a receive
// says the client closed, went quiet or failed.
#include "EncoderSession.h"
#include "fake_sim_socket.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>

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
    options.minPauseMs = 0; // the fake client's bytes all arrive at the same moment
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

// Every byte the session sent is counted in its report, and the replies it reports went out
// whole and in order; a send that failed may have left part of one more behind them.
void checkWire(const SessionReport& report, const SimOptions& options, const FakeClient& client) {
    qint64 counted = 0;
    for (const qint64 sent : report.sends)
        counted += sent;
    require(counted == client.received.size());
    const QByteArray wire = wireOf(report, options);
    require(client.sendFailed || client.reset ? client.received.startsWith(wire)
                                              : client.received == wire);
}

void setUpClient(FuzzedDataProvider& input) {
    fakeClient = FakeClient{};
    fakeClient.segment = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
    fakeClient.endOfInput = input.PickValueInArray(
        {ReceiveStatus::Closed, ReceiveStatus::TimedOut, ReceiveStatus::Failed});
    const auto limit = input.ConsumeIntegralInRange<std::size_t>(0, 8192);
    fakeClient.readLimit = limit == 0 ? SIZE_MAX : limit - 1;
    fakeClient.bytes = input.ConsumeRemainingBytes<std::uint8_t>();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const SimOptions options = fuzzedOptions(input);
    setUpClient(input);

    // No descriptor: the session's own close and shutdown calls fail harmlessly.
    EncoderSession session(-1, options);
    const SessionReport report = session.run();

    checkReport(report, options, fakeClient.bytes.size());
    checkWire(report, options, fakeClient);
    return 0;
}
