#include "TransferRate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr TransferRate::Clock::duration ShortestWindow = std::chrono::seconds(10);
constexpr TransferRate::Clock::duration YoungestEstimate = std::chrono::milliseconds(200);
// Samples closer than this to the one before are merged into it: the session looks at the
// acknowledgements up to every millisecond, and a long transfer would keep thousands.
constexpr TransferRate::Clock::duration SampleSpacing = std::chrono::milliseconds(100);

double seconds(TransferRate::Clock::duration span) {
    return std::chrono::duration<double>(span).count();
}

} // namespace

void TransferRate::start(Clock::time_point at) {
    began = at;
    samples.assign(1, Sample{at, 0});
}

// A stall is kept as its first and its latest sample, so that no bytes are taken to have
// come during it.
void TransferRate::record(Clock::time_point at, std::int64_t bytes) {
    if (samples.empty() || bytes < samples.back().bytes)
        return;
    const Sample sample{std::max(at, samples.back().at), bytes};
    const Sample* beforeLast = samples.size() >= 2 ? &samples[samples.size() - 2] : nullptr;
    if (beforeLast && (beforeLast->bytes == bytes || sample.at - beforeLast->at < SampleSpacing))
        samples.back() = sample;
    else
        samples.push_back(sample);
    forgetBefore(windowStart(sample.at));
}

std::optional<double> TransferRate::bytesPerSecond(Clock::time_point now) const {
    if (samples.empty() || samples.back().bytes <= 0 || now - began < YoungestEstimate)
        return std::nullopt;
    const Clock::time_point from = windowStart(now);
    const Clock::duration span = now - from - forgottenStalls(from, now);
    return double(samples.back().bytes - bytesBy(from)) / seconds(span);
}

std::optional<std::chrono::milliseconds> TransferRate::timeLeft(Clock::time_point now,
                                                                std::int64_t total) const {
    const std::optional<double> rate = bytesPerSecond(now);
    if (!rate || *rate <= 0)
        return std::nullopt;
    const std::int64_t remaining = std::max<std::int64_t>(total - samples.back().bytes, 0);
    return std::chrono::milliseconds(std::llround(double(remaining) / *rate * 1000.0));
}

TransferRate::Clock::time_point TransferRate::windowStart(Clock::time_point now) const {
    const Clock::duration window = std::max(ShortestWindow, (now - began) / 2);
    return std::max(began, now - window);
}

// Between two samples the bytes are taken to have come evenly.
std::int64_t TransferRate::bytesBy(Clock::time_point at) const {
    const auto after = std::upper_bound(
        samples.begin(), samples.end(), at,
        [](Clock::time_point time, const Sample& sample) { return time < sample.at; });
    if (after == samples.begin())
        return samples.front().bytes;
    const Sample& before = *std::prev(after);
    if (after == samples.end())
        return before.bytes;
    const double share = seconds(at - before.at) / seconds(after->at - before.at);
    return before.bytes + std::llround(share * double(after->bytes - before.bytes));
}

// TCP's repair of a lost segment (a retransmission timeout, backed off when the retransmission
// is lost too) stalls the transfer now and then, and the link runs at its full rate again
// after it: a stall the encoder came out of is forgotten as the transfer runs again, for as
// long as it has run since. One that goes on counts whole.
TransferRate::Clock::duration TransferRate::forgottenStalls(Clock::time_point from,
                                                            Clock::time_point now) const {
    Clock::duration forgotten{};
    for (std::size_t i = 1; i + 1 < samples.size(); ++i) {
        const Sample& stallStart = samples[i - 1];
        const Sample& stallEnd = samples[i];
        if (stallStart.bytes != stallEnd.bytes || stallEnd.at <= from)
            continue;
        const Clock::duration stalled = stallEnd.at - std::max(stallStart.at, from);
        const Clock::duration runningSince = now - samples[i + 1].at;
        forgotten += std::clamp(runningSince, Clock::duration::zero(), stalled);
    }
    return forgotten;
}

// The window's start only moves on, so a sample before it is needed only as the last one
// there, to tell the bytes at the start.
void TransferRate::forgetBefore(Clock::time_point at) {
    while (samples.size() > 1 && samples[1].at <= at)
        samples.pop_front();
}
