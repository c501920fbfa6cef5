// The camera's health line as the relay writes it, read back as key=value pairs: how late the AI
// engine answers over the minute before the line (rounded as the suggestion to the operator
// rounds it, "none" while unknown, with the reason), and the messages whose engine time could not
// be used; a change of the delay alone is a change.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "health/relay_health.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using Fields = std::map<std::string, std::string>;

/** The key=value pairs of a camera's health line; a key twice is a failure. */
Fields fieldsOf(const std::string& line)
{
    Fields fields;
    std::istringstream words(line);
    for (std::string word; words >> word;)
    {
        const size_t equals = word.find('=');
        if (equals == std::string::npos)
            continue;
        EXPECT_TRUE(fields.emplace(word.substr(0, equals), word.substr(equals + 1)).second)
            << word.substr(0, equals) << " twice in " << line;
    }
    return fields;
}

// Regression: the line cut the delay to whole milliseconds (199.6 ms read 199, -1.5 ms read -1)
// where the suggestion and skyloom-host rounded it.
TEST(HealthLine, DelayFieldsAreRoundedLikeTheSuggestionAndChangeTheLine)
{
    constexpr char kCamera[] = "8f120e8a-2ced-c84a-aa40-59a59f563488";
    IngestCounters counters;
    const std::shared_ptr<CameraCounters> camera = counters.camera(kCamera);
    camera->received();
    camera->converted();
    std::vector<std::string> cameraLines;
    auto now = Clock::now();
    RelayHealth health(counters, [&](const std::string& line)
        {
            if (line.rfind("health camera=", 0) == 0)
                cameraLines.push_back(line);
        },
        now);

    // Each row's change comes a second before the health line, a minute after the last one:
    // the line summarises the minute before it, whatever came earlier is gone.
    const auto delays = [&](std::vector<int64_t> delaysUs)
        {
            return [&camera, delaysUs](Clock::time_point at)
                {
                    for (const int64_t delayUs: delaysUs)
                        camera->engineDelay(delayUs, at);
                };
        };
    const auto expect = [](const char* median, const char* p95, const char* state)
        {
            return Fields{{"engine_delay_median_ms", median}, {"engine_delay_p95_ms", p95},
                {"engine_delay", state}, {"no_engine_time", "3"}, {"outside_frame_history", "1"}};
        };
    // Frame times of 2024 against video of today: some 78469746 s apart.
    constexpr int64_t kOtherClockUs = 78469746683000;
    const struct
    {
        const char* name;
        std::function<void(Clock::time_point)> change;
        std::optional<Fields> expected; //< The delay's fields; unset: no camera line.
    } rows[] = {
        {"messages without a usable engine time, no delay yet",
            [&](Clock::time_point at)
            {
                for (int i = 0; i < 3; ++i)
                    camera->withoutEngineTime(at);
                camera->outsideFrameHistory();
            },
            expect("none", "none", "no_engine_time")},
        {"a quiet minute", [](Clock::time_point) {},
            expect("none", "none", "no_recent_message")},
        {"nothing changed", [](Clock::time_point) {}, std::nullopt},
        {"delays of the minute", delays({199600, 199600, 199600, 199600, 199600, 199600,
            290499, 290499, 290499, 290499}), expect("200", "290", "measured")},
        {"engine a moment ahead of the video", delays({-1500, -1500, -1500, 2500, 2500}),
            expect("-2", "3", "measured")},
        {"frame times from another clock give no delay",
            delays(std::vector<int64_t>(20, kOtherClockUs)), expect("none", "none", "other_clock")},
        {"beside delays, another clock's are left out",
            delays({kOtherClockUs, -kOtherClockUs, 600000001, -10000001, 120000, 120000,
                600000000}), expect("120", "600000", "measured")},
        {"a minute without delays", [](Clock::time_point) {},
            expect("none", "none", "no_recent_message")},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        now += kShippedIntervals.health;
        row.change(now - std::chrono::seconds(1));
        cameraLines.clear();
        health.tick(now);
        ASSERT_EQ(row.expected ? 1U : 0U, cameraLines.size());
        if (!row.expected)
            continue;
        const Fields fields = fieldsOf(cameraLines[0]);
        EXPECT_EQ(kCamera, fields.at("camera"));
        EXPECT_EQ("1", fields.at("received"));
        EXPECT_EQ("1", fields.at("converted"));
        for (const auto& [key, value]: *row.expected)
        {
            ASSERT_EQ(1U, fields.count(key)) << key;
            EXPECT_EQ(value, fields.at(key)) << key;
        }
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
