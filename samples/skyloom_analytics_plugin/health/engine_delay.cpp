#include "engine_delay.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "event_captions.h"
#include "settings/settings_table.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** The nearest-rank quantile `q` (0 to 1) of `values`, which it reorders; not empty. */
int64_t quantile(std::vector<int64_t>& values, double q)
{
    size_t rank = static_cast<size_t>(q * static_cast<double>(values.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, values.size());
    const auto nth = values.begin() + static_cast<std::ptrdiff_t>(rank - 1);
    std::nth_element(values.begin(), nth, values.end());
    return *nth;
}

std::optional<int64_t> medianOf(std::vector<int64_t>& values, size_t atLeast)
{
    if (values.size() < atLeast || values.empty())
        return std::nullopt;
    return quantile(values, 0.5);
}

/** How far apart two times are; any two, without overflow. */
uint64_t distance(int64_t a, int64_t b)
{
    return a > b ? static_cast<uint64_t>(a) - static_cast<uint64_t>(b)
        : static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
}

/** Microseconds as seconds with three decimals. */
std::string secondsText(int64_t us)
{
    const long long ms = std::llabs(roundedMs(us));
    char text[40];
    std::snprintf(text, sizeof(text), "%s%lld.%03lld s", us < 0 ? "-" : "", ms / 1000, ms % 1000);
    return text;
}

} // namespace

int64_t roundedMs(int64_t us)
{
    const int64_t remainder = us % 1000;
    return us / 1000 + (remainder >= 500 ? 1 : 0) - (remainder <= -500 ? 1 : 0);
}

int64_t DelayWindow::secondOf(Clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

uint64_t DelayWindow::nextRandom() noexcept
{
    m_random ^= m_random << 13;
    m_random ^= m_random >> 7;
    m_random ^= m_random << 17;
    return m_random;
}

const char* delayStateName(DelayState state)
{
    switch (state)
    {
        case DelayState::measured: return "measured";
        case DelayState::otherClock: return "other_clock";
        case DelayState::noEngineTime: return "no_engine_time";
        case DelayState::noRecentMessage: return "no_recent_message";
    }
    return "unknown";
}

DelayState DelayMinute::state() const
{
    if (delay)
        return DelayState::measured;
    if (otherClock > 0)
        return DelayState::otherClock;
    if (noEngineTime > 0)
        return DelayState::noEngineTime;
    return DelayState::noRecentMessage;
}

DelayWindow::Bucket& DelayWindow::bucketOf(Clock::time_point now) noexcept
{
    const int64_t second = secondOf(now);
    Bucket& bucket = m_buckets[static_cast<size_t>(second) % m_buckets.size()];
    if (bucket.second != second)
        bucket = Bucket{second};
    return bucket;
}

void DelayWindow::record(int64_t delayUs, Clock::time_point now) noexcept
{
    Bucket& bucket = bucketOf(now);
    if (!sameClock(delayUs))
    {
        ++bucket.otherClock;
        bucket.otherClockLastUs = delayUs;
        return;
    }
    ++bucket.seen;
    if (bucket.kept < kSamplesPerSecond)
    {
        bucket.delaysUs[bucket.kept++] = delayUs;
        return;
    }
    // Reservoir sampling: each of the second's delays stays with the same chance.
    const uint64_t slot = nextRandom() % bucket.seen;
    if (slot < kSamplesPerSecond)
        bucket.delaysUs[slot] = delayUs;
}

void DelayWindow::recordNoEngineTime(Clock::time_point now) noexcept
{
    ++bucketOf(now).noEngineTime;
}

std::vector<const DelayWindow::Bucket*> DelayWindow::recent(Clock::time_point now) const
{
    const int64_t newest = secondOf(now);
    std::vector<const Bucket*> result;
    for (const Bucket& bucket: m_buckets)
    {
        const int64_t age = newest - bucket.second;
        if (bucket.second < 0 || age < 0 || age >= kWindow.count())
            continue;
        result.push_back(&bucket);
    }
    std::sort(result.begin(), result.end(),
        [](const Bucket* a, const Bucket* b) { return a->second < b->second; });
    return result;
}

std::optional<DelaySummary> DelayWindow::summarise(const std::vector<const Bucket*>& buckets)
{
    size_t total = 0;
    for (const Bucket* bucket: buckets)
        total += bucket->kept;
    if (total == 0)
        return std::nullopt;
    std::vector<int64_t> all;
    all.reserve(total);
    for (const Bucket* bucket: buckets)
    {
        const auto begin = bucket->delaysUs.begin();
        all.insert(all.end(), begin, begin + static_cast<std::ptrdiff_t>(bucket->kept));
    }
    // The halves split the minute's delays by count, in time order, so that a camera that has
    // been heard for less than the minute is judged steady or not as soon as it has enough.
    const auto middle = all.begin() + static_cast<std::ptrdiff_t>(all.size() / 2);
    std::vector<int64_t> older(all.begin(), middle);
    std::vector<int64_t> newer(middle, all.end());
    DelaySummary result;
    result.samples = all.size();
    result.medianUs = quantile(all, 0.5);
    result.p95Us = quantile(all, 0.95);
    result.olderMedianUs = medianOf(older, kHalfSamples);
    result.newerMedianUs = medianOf(newer, kHalfSamples);
    return result;
}

std::optional<DelaySummary> DelayWindow::summary(Clock::time_point now) const
{
    return summarise(recent(now));
}

DelayMinute DelayWindow::minute(Clock::time_point now) const
{
    const std::vector<const Bucket*> buckets = recent(now);
    DelayMinute result;
    result.delay = summarise(buckets);
    std::vector<int64_t> otherClock;
    for (const Bucket* bucket: buckets)
    {
        result.otherClock += bucket->otherClock;
        result.noEngineTime += bucket->noEngineTime;
        if (bucket->otherClock > 0)
            otherClock.push_back(bucket->otherClockLastUs);
    }
    if (!otherClock.empty())
        result.otherClockMedianUs = quantile(otherClock, 0.5);
    return result;
}

void DelayHistogram::observe(int64_t delayUs) noexcept
{
    const int64_t us = std::max<int64_t>(delayUs, 0);
    const auto bound = std::lower_bound(kBoundsUs.begin(), kBoundsUs.end(), us);
    ++counts[static_cast<size_t>(bound - kBoundsUs.begin())];
    ++count;
    sumUs += static_cast<uint64_t>(us);
}

std::optional<DelayEvent> DelayAdvice::advise(const DelayMinute& minute,
    int64_t frameIntervalUs, int timeCorrectionMs, bool suggest, Clock::time_point now)
{
    const size_t sameClockDelays = minute.delay ? minute.delay->samples : 0;
    if (minute.otherClockMedianUs && minute.otherClock >= DelayWindow::kHalfSamples
        && minute.otherClock > sameClockDelays)
    {
        if (m_otherClockTold)
            return std::nullopt;
        m_otherClockTold = true;
        return DelayEvent{kOtherClockCaption,
            "The AI engine's frame times differ from the video's by "
            + secondsText(*minute.otherClockMedianUs) + " (video time minus engine time, median"
            " of the last minute): they are on another clock and cannot place its metadata on"
            " the video timeline, and give no delay. Packets keep the time of the latest video"
            " frame; check the AI engine's time source."};
    }
    if (!suggest || !minute.delay)
        return std::nullopt;
    return suggestion(*minute.delay, frameIntervalUs, timeCorrectionMs, now);
}

std::optional<DelayEvent> DelayAdvice::suggestion(const DelaySummary& summary,
    int64_t frameIntervalUs, int timeCorrectionMs, Clock::time_point now)
{
    if (frameIntervalUs <= 0 || !summary.olderMedianUs || !summary.newerMedianUs)
        return std::nullopt;
    const bool steady = distance(*summary.olderMedianUs, *summary.newerMedianUs)
        <= static_cast<uint64_t>(frameIntervalUs);
    const bool plausible =
        summary.medianUs >= kPlausibleMinUs && summary.medianUs <= kPlausibleMaxUs;
    if (!steady || !plausible)
        return std::nullopt;
    const int64_t suggestedMs = -roundedMs(summary.medianUs);
    // Already set: nothing to tell.
    if (std::llabs(suggestedMs - timeCorrectionMs) * 1000 <= frameIntervalUs)
        return std::nullopt;
    if (m_suggestedMs)
    {
        const bool moved = std::llabs(suggestedMs - *m_suggestedMs) * 1000 > frameIntervalUs;
        const auto since = now - m_suggestedAt;
        if (!(since >= kRepeat || (moved && since >= kMinGap)))
            return std::nullopt;
    }
    m_suggestedMs = suggestedMs;
    m_suggestedAt = now;
    std::string description = "The AI engine answers " + std::to_string(roundedMs(summary.medianUs))
        + " ms after the video frame (median of the last minute; 95th percentile "
        + std::to_string(roundedMs(summary.p95Us)) + " ms; one frame: "
        + std::to_string(roundedMs(frameIntervalUs)) + " ms). Suggested \""
        + setting::kTimeCorrection.name + "\": " + std::to_string(suggestedMs) + " ms (now "
        + std::to_string(timeCorrectionMs) + " ms)";
    if (suggestedMs < setting::kTimeCorrection.range.min)
        description += ", beyond the setting's range";
    description += std::string("; or set \"") + setting::kTimestampSource.name + "\" to \""
        + setting::kEngineFrameChoice.value + "\" to place each box on its own frame.";
    return DelayEvent{kSuggestedCorrectionCaption, std::move(description)};
}

} // namespace nx::vms_server_plugins::analytics::sample
