// How late one camera's AI engine answers: for each message that names the engine's time of its
// frame, the delay is the camera's latest frame time when the message arrives (uncorrected)
// minus that engine time. DelayWindow keeps the delays of the last minute and summarises them
// robustly (median and 95th percentile), in bounded memory: one bucket per second of the
// minute, each a uniform sample (reservoir) of at most kSamplesPerSecond of that second's
// delays, so a camera at 1000 messages a second costs the same 17 KiB as one at 25. DelayAdvice
// turns a summary into what the operator is told: the correction to set when the delay is steady
// and plausible, or that the engine's times are on another clock than the video's.
//
// Threads: one thread at a time (the camera's receive thread); the agent publishes the summary
// into the camera's shared counters for the relay's health line and metrics file.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/clock.h"

namespace nx::vms_server_plugins::analytics::sample {

struct DelaySummary
{
    int64_t medianUs = 0;
    int64_t p95Us = 0;
    size_t samples = 0; //< Kept of the minute (at most kSamplesPerSecond per second).
    /**
     * The medians of the older and the newer half of the minute's delays (halved by count, in
     * time order); unset for a half of fewer than kHalfSamples.
     */
    std::optional<int64_t> olderMedianUs;
    std::optional<int64_t> newerMedianUs;
};

class DelayWindow
{
public:
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr size_t kSamplesPerSecond = 32;
    /** A half's median counts only over this many delays. */
    static constexpr size_t kHalfSamples = 10;

    void record(int64_t delayUs, Clock::time_point now) noexcept;

    /** The delays of the minute up to `now`; nothing if there were none. */
    [[nodiscard]] std::optional<DelaySummary> summary(Clock::time_point now) const;

private:
    struct Bucket
    {
        int64_t second = -1; //< Of the steady clock; -1: empty.
        uint64_t seen = 0;
        size_t kept = 0;
        std::array<int64_t, kSamplesPerSecond> delaysUs{};
    };

    [[nodiscard]] static int64_t secondOf(Clock::time_point time);
    [[nodiscard]] uint64_t nextRandom() noexcept;

    std::array<Bucket, kWindow.count()> m_buckets{};
    uint64_t m_random = 0x9e3779b97f4a7c15ULL; //< xorshift state: no draw from rand().
};

/** An event for the operator: its caption (event_captions.h) and description. */
struct DelayEvent
{
    const char* caption = "";
    std::string description;
};

/**
 * Microseconds as milliseconds, rounded half away from zero; any value, without overflow. Every
 * delay that the operator reads in milliseconds is rounded so, so that the health line and the
 * suggestion agree.
 */
[[nodiscard]] int64_t roundedMs(int64_t us);

class DelayAdvice
{
public:
    /** A suggestion that still holds is told again after this long. */
    static constexpr std::chrono::hours kRepeat{1};
    /** A suggestion that moved is told again, but never sooner than this after the last one. */
    static constexpr std::chrono::seconds kMinGap{60};
    /** Delays that a steady suggestion may hold, both included. */
    static constexpr int64_t kPlausibleMinUs = 0;
    static constexpr int64_t kPlausibleMaxUs = 10'000'000;
    /** Delays beyond these can only mean that the engine's times are on another clock. */
    static constexpr int64_t kSameClockMinUs = -10'000'000;
    static constexpr int64_t kSameClockMaxUs = 600'000'000;

    /**
     * What to tell about `summary` now, if anything. `frameIntervalUs`: measured from the
     * camera's frames (0: not known yet); `timeCorrectionMs`: the camera's setting now;
     * `suggest`: whether the camera's packets follow the latest frame (the only rule that the
     * correction serves).
     */
    [[nodiscard]] std::optional<DelayEvent> advise(const DelaySummary& summary,
        int64_t frameIntervalUs, int timeCorrectionMs, bool suggest, Clock::time_point now);

private:
    [[nodiscard]] std::optional<DelayEvent> suggestion(const DelaySummary& summary,
        int64_t frameIntervalUs, int timeCorrectionMs, Clock::time_point now);

    bool m_otherClockTold = false;
    std::optional<int64_t> m_suggestedMs;
    Clock::time_point m_suggestedAt;
};

} // namespace nx::vms_server_plugins::analytics::sample
