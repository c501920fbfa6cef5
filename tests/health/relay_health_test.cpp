// The camera's health line as the relay writes it, read back as key=value pairs: how late the AI
// engine answers (rounded as the suggestion to the operator rounds it, "none" while unknown) and
// the messages whose engine time could not be used; a change of the delay alone is a change.
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

    const struct
    {
        const char* name;
        std::function<void()> change;
        std::optional<Fields> expected; //< The delay's fields; unset: no camera line.
    } rows[] = {
        {"messages without a usable engine time, no delay yet",
            [&]()
            {
                for (int i = 0; i < 3; ++i)
                    camera->withoutEngineTime();
                camera->outsideFrameHistory();
            },
            Fields{{"engine_delay_median_ms", "none"}, {"engine_delay_p95_ms", "none"},
                {"no_engine_time", "3"}, {"outside_frame_history", "1"}}},
        {"nothing changed", []() {}, std::nullopt},
        {"the delay alone changed", [&]() { camera->setEngineDelay(199600, 290499); },
            Fields{{"engine_delay_median_ms", "200"}, {"engine_delay_p95_ms", "290"},
                {"no_engine_time", "3"}, {"outside_frame_history", "1"}}},
        {"engine a moment ahead of the video", [&]() { camera->setEngineDelay(-1500, 2500); },
            Fields{{"engine_delay_median_ms", "-2"}, {"engine_delay_p95_ms", "3"},
                {"no_engine_time", "3"}, {"outside_frame_history", "1"}}},
        {"a minute without delays", [&]() { camera->setEngineDelay(std::nullopt, 0); },
            Fields{{"engine_delay_median_ms", "none"}, {"engine_delay_p95_ms", "none"},
                {"no_engine_time", "3"}, {"outside_frame_history", "1"}}},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        row.change();
        cameraLines.clear();
        now += kShippedIntervals.health;
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
