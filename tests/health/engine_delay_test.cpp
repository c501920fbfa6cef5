// When the operator is told the timestamp correction again: the same suggestion after an hour,
// a moved one (by more than a frame) after a minute at the soonest. DelayAdvice is driven on a
// clock of the test's own, with steady delays of a camera at 25 frames a second.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "health/engine_delay.h"
#include "health/event_captions.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

constexpr int64_t kFrameIntervalUs = 40000;

/** A minute of steady delays around `medianMs`. */
DelayMinute steady(int64_t medianMs)
{
    DelayMinute minute;
    DelaySummary& summary = minute.delay.emplace();
    summary.medianUs = medianMs * 1000;
    summary.p95Us = summary.medianUs + 80000;
    summary.samples = 1500;
    summary.olderMedianUs = summary.medianUs;
    summary.newerMedianUs = summary.medianUs;
    return minute;
}

TEST(DelayAdvice, SuggestionIsRepeatedHourlyAndSoonerOnlyWhenItMovedByMoreThanAFrame)
{
    struct Look
    {
        std::chrono::seconds at; //< Since the first look.
        int64_t medianMs;
        std::optional<int> toldMs; //< The suggestion told; unset: nothing.
    };
    const struct
    {
        const char* name;
        std::vector<Look> looks;
        int timeCorrectionMs = 0;
    } rows[] = {
        {"same suggestion: again after an hour, not before",
            {{0s, 200, -200}, {60s, 200, {}}, {DelayAdvice::kRepeat - 1s, 200, {}},
                {DelayAdvice::kRepeat, 200, -200}, {DelayAdvice::kRepeat + 60s, 200, {}}}},
        {"moved by more than a frame: again, a minute after the last at the soonest",
            {{0s, 200, -200}, {59s, 250, {}}, {60s, 250, -250}, {61s, 300, {}},
                {120s, 300, -300}}},
        {"moved back by more than a frame",
            {{0s, 300, -300}, {90s, 200, -200}}},
        {"moved by a frame or less: only hourly",
            {{0s, 200, -200}, {120s, 240, {}}, {240s, 160, {}}, {300s, 239, {}},
                {DelayAdvice::kRepeat, 239, -239}}},
        // Each look is held against the last suggestion told, not the last one seen.
        {"drifting a little at a time",
            {{0s, 200, -200}, {120s, 230, {}}, {240s, 260, -260}}},
        {"already set: nothing, also after an hour",
            {{0s, 200, {}}, {DelayAdvice::kRepeat, 200, {}}, {DelayAdvice::kRepeat + 60s, 300,
                -300}}, -200},
    };
    const Clock::time_point start = Clock::time_point() + 24h;
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        DelayAdvice advice;
        for (const Look& look: row.looks)
        {
            SCOPED_TRACE(std::to_string(look.at.count()) + " s");
            const std::optional<DelayEvent> told = advice.advise(steady(look.medianMs),
                kFrameIntervalUs, row.timeCorrectionMs, /*suggest*/ true, start + look.at);
            ASSERT_EQ(look.toldMs.has_value(), told.has_value())
                << (told ? told->description : std::string());
            if (!told)
                continue;
            EXPECT_STREQ(kSuggestedCorrectionCaption, told->caption);
            const std::string suggested = "Suggested \"timeCorrection\": "
                + std::to_string(*look.toldMs) + " ms (now "
                + std::to_string(row.timeCorrectionMs) + " ms)";
            EXPECT_NE(std::string::npos, told->description.find(suggested)) << told->description;
        }
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
