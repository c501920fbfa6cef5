// How late one camera's AI engine answers: for each message that names the engine's time of its
// frame, the delay is the camera's latest frame time when the message arrives (uncorrected)
// minus that engine time. Only a delay within the same-clock range (-10 s to 10 min) is a
// delay: one beyond it means the engine's times are on another clock, and is counted apart, so
// that a single figure from another clock never passes for minutes of lateness.
//
// DelayWindow keeps the delays of the last minute and summarises them robustly (median and 95th
// percentile), in bounded memory: one bucket per second of the minute, each a uniform sample
// (reservoir) of at most kSamplesPerSecond of that second's delays, so a camera at 1000 messages
// a second costs the same 17 KiB as one at 25. It also counts the second's messages from another
// clock and those that named no frame time, which say why there is no delay to show
// (DelayState). DelayHistogram counts every delay since the start in fixed buckets, for a
// monitoring system to aggregate. DelayAdvice turns a minute into what the operator is told: the
// correction to set when the delay is steady and plausible, or that the engine's times are on
// another clock than the video's.
//
// Threads: plain values, one thread at a time; the camera's counters (ingest_counters.h) keep
// them under their lock, written by the receive thread and summarised by whoever reads them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Whether the last minute gives a delay, and if not, why; the names are the metrics' labels. */
enum class DelayState
{
    measured, //< Delays within the same-clock range came in the minute.
    otherClock, //< Frame times came, each beyond the same-clock range.
    noEngineTime, //< Messages came, none naming a usable frame time.
    noRecentMessage, //< Nothing came in the minute.
};

constexpr size_t kDelayStateCount = static_cast<size_t>(DelayState::noRecentMessage) + 1;

/** The label value ("measured", "other_clock", "no_engine_time", "no_recent_message"). */
[[nodiscard]] const char* delayStateName(DelayState state);

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

/** The minute up to a moment: its delays, and what came that gave none. */
struct DelayMinute
{
    /** Of the delays within the same-clock range; unset without one. */
    std::optional<DelaySummary> delay;
    uint64_t otherClock = 0; //< Frame times beyond the same-clock range.
    /** The median of those (of the latest one of each second); unset without one. */
    std::optional<int64_t> otherClockMedianUs;
    uint64_t noEngineTime = 0; //< Messages that named no usable frame time.

    [[nodiscard]] DelayState state() const;
};

/** Delays within the same-clock range beyond which a frame time is from another clock. */
constexpr int64_t kSameClockMinUs = -10'000'000;
constexpr int64_t kSameClockMaxUs = 600'000'000;

[[nodiscard]] constexpr bool sameClock(int64_t delayUs)
{
    return delayUs >= kSameClockMinUs && delayUs <= kSameClockMaxUs;
}

class DelayWindow
{
public:
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr size_t kSamplesPerSecond = 32;
    /** A half's median counts only over this many delays. */
    static constexpr size_t kHalfSamples = 10;

    /** A message's delay; one beyond the same-clock range counts as from another clock. */
    void record(int64_t delayUs, Clock::time_point now) noexcept;
    /** A message that named no usable frame time. */
    void recordNoEngineTime(Clock::time_point now) noexcept;

    /** The delays of the minute up to `now` (same clock only); nothing if there were none. */
    [[nodiscard]] std::optional<DelaySummary> summary(Clock::time_point now) const;
    [[nodiscard]] DelayMinute minute(Clock::time_point now) const;

private:
    struct Bucket
    {
        int64_t second = -1; //< Of the steady clock; -1: empty.
        uint64_t seen = 0;
        size_t kept = 0;
        std::array<int64_t, kSamplesPerSecond> delaysUs{};
        uint64_t otherClock = 0;
        int64_t otherClockLastUs = 0;
        uint64_t noEngineTime = 0;
    };

    [[nodiscard]] static int64_t secondOf(Clock::time_point time);
    /** The bucket of `now`'s second, emptied if it held an older second. */
    [[nodiscard]] Bucket& bucketOf(Clock::time_point now) noexcept;
    /** The buckets of the minute up to `now`, oldest first. */
    [[nodiscard]] std::vector<const Bucket*> recent(Clock::time_point now) const;
    [[nodiscard]] static std::optional<DelaySummary> summarise(
        const std::vector<const Bucket*>& buckets);
    [[nodiscard]] uint64_t nextRandom() noexcept;

    std::array<Bucket, kWindow.count()> m_buckets{};
    uint64_t m_random = 0x9e3779b97f4a7c15ULL; //< xorshift state: no draw from rand().
};

/**
 * Every delay within the same-clock range since the start, in the buckets kBoundsUs (cumulative
 * as a Prometheus histogram is, 10 ms to 10 min); an engine ahead of the video counts as 0, so
 * that the sum only grows.
 */
struct DelayHistogram
{
    static constexpr std::array<int64_t, 15> kBoundsUs{10'000, 25'000, 50'000, 100'000,
        250'000, 500'000, 1'000'000, 2'500'000, 5'000'000, 10'000'000, 30'000'000, 60'000'000,
        120'000'000, 300'000'000, 600'000'000};

    /** Delays up to each bound (not cumulative); the last: beyond every bound. */
    std::array<uint64_t, kBoundsUs.size() + 1> counts{};
    uint64_t count = 0;
    uint64_t sumUs = 0;

    void observe(int64_t delayUs) noexcept;
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
    /**
     * What to tell about `minute` now, if anything: that the engine is on another clock when
     * most of the minute's frame times (kHalfSamples at least) were, else a suggestion. `frameIntervalUs`: measured from the
     * camera's frames (0: not known yet); `timeCorrectionMs`: the camera's setting now;
     * `suggest`: whether the camera's packets follow the latest frame (the only rule that the
     * correction serves).
     */
    [[nodiscard]] std::optional<DelayEvent> advise(const DelayMinute& minute,
        int64_t frameIntervalUs, int timeCorrectionMs, bool suggest, Clock::time_point now);

private:
    [[nodiscard]] std::optional<DelayEvent> suggestion(const DelaySummary& summary,
        int64_t frameIntervalUs, int timeCorrectionMs, Clock::time_point now);

    bool m_otherClockTold = false;
    std::optional<int64_t> m_suggestedMs;
    Clock::time_point m_suggestedAt;
};

} // namespace nx::vms_server_plugins::analytics::sample
