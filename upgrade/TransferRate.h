#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>

// The rate at which the encoder acknowledges the image, and the time the rest will take at
// that rate. It is measured over the more recent half of the transfer (at least the last
// 10 s): TCP's slow start and any early slow stretch are forgotten as the transfer goes on,
// while the window stays long enough that one retransmission does not swing the figure, and a
// stall the transfer has come out of weighs less the longer it runs again.
class TransferRate {
public:
    using Clock = std::chrono::steady_clock;

    void start(Clock::time_point at);
    // `bytes` received in all by `at`, also when no more than last time; fewer are ignored.
    void record(Clock::time_point at, std::int64_t bytes);

    // Nothing while the transfer is too young to tell (under 200 ms or no byte yet).
    std::optional<double> bytesPerSecond(Clock::time_point now) const;
    // For `total` bytes in all, at that rate.
    std::optional<std::chrono::milliseconds> timeLeft(Clock::time_point now,
                                                      std::int64_t total) const;

private:
    struct Sample {
        Clock::time_point at;
        std::int64_t bytes;
    };
    Clock::time_point windowStart(Clock::time_point now) const;
    std::int64_t bytesBy(Clock::time_point at) const;
    Clock::duration forgottenStalls(Clock::time_point from, Clock::time_point now) const;
    void forgetBefore(Clock::time_point at);

    Clock::time_point began;
    std::deque<Sample> samples;
};
