// Feeds arbitrary byte streams, cut into arbitrary receives, through the reply framing and
// the reply handling, and checks what the window would be told stays sound.
#include "ReplyStream.h"
#include "TcpClientChannel.h"
#include "UpgradeMonitor.h"
#include "UpgradeView.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>

namespace {

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

class CheckingView : public UpgradeView {
public:
    explicit CheckingView(std::int32_t imageLength) : length(imageLength) {}

    void showPhaseRow(UpgradePhase) override {}
    void setPhaseText(UpgradePhase, const QString& text) override { require(!text.isEmpty()); }
    void setPhasePosition(UpgradePhase phase, std::int32_t position) override {
        const PhaseBarRange range = PhaseRange(phase, length);
        require(position >= range.minimum && position <= range.maximum);
    }
    void appendDeviceLog(const QString& line) override { require(line.size() <= 255); }
    void appendUpgradeLog(const QString&) override {}
    void showErrorText(const QString& text) override { require(text.size() <= 255); }
    void showSuccess(const QString&) override {}
    // Once, however often the upgrade is stopped.
    void upgradeEnded(const UpgradeEnd&) override {
        require(!ended);
        ended = true;
    }

private:
    std::int32_t length;
    bool ended = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::int32_t imageLength = input.ConsumeIntegralInRange<std::int32_t>(0, 0x3D0000);
    TcpClientChannel channel("127.0.0.1", "1"); // never connected: StopUpgrade only closes it
    CheckingView view(imageLength);
    UpgradeMonitor monitor(channel, view, imageLength);
    ReplyStream stream;

    std::int32_t stage = 0;
    auto handle = [&](const QByteArray& reply) {
        require(reply.size() >= 1 && reply.size() <= ReplyStream::MaxReplyLength);
        require(!reply.contains('\0'));
        monitor.handleReply(reply);
        const std::int32_t now = monitor.state().UpgradeStage;
        require(now == stage || now == stage + 1); // stages only ever rise by one
        require(now <= 3);
        stage = now;
    };

    ReplyStream::Clock::time_point now{};
    while (input.remaining_bytes() > 0) {
        const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(1, 600);
        const std::string bytes = input.ConsumeBytesAsString(cut);
        now += std::chrono::milliseconds(input.ConsumeIntegralInRange<int>(0, 150));
        stream.feed(bytes.data(), qsizetype(bytes.size()), now);
        const bool moreWaiting = input.ConsumeBool();
        while (auto reply = stream.takeReply(moreWaiting, now))
            handle(*reply);
        // A tail is held only before any zero byte, and only until the quiet time is over.
        if (const auto due = stream.tailDue())
            require(!stream.zeroByteSeen() && *due > now && stream.pendingBytes() > 0);
        if (!moreWaiting && !stream.zeroByteSeen() && stream.pendingBytes() > 0)
            require(stream.tailDue().has_value());
        if (input.ConsumeBool()) {
            now += ReplyStream::TailQuietTime;
            while (auto reply = stream.takeReply(false, now))
                handle(*reply);
            require(stream.zeroByteSeen() || stream.pendingBytes() == 0);
        }
    }
    for (const QByteArray& reply : stream.flushAtClose())
        handle(reply);
    require(stream.pendingBytes() == 0);
    return 0;
}
