// The periods of the library that servers load. The documents promise them (a health line a
// minute, the metrics file every 15 s) and the relay's first bind waits for the server to deliver
// the engine settings; the tests' build of the library runs with shorter ones, so these values
// are held here.
#include <gtest/gtest.h>

#include "common/intervals.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

TEST(Intervals, ShippedLibraryWaitsFiveSecondsToBindAndTellsHealthEveryMinute)
{
    EXPECT_EQ(5s, kShippedIntervals.relayStartup);
    EXPECT_EQ(60s, kShippedIntervals.health);
    EXPECT_EQ(15s, kShippedIntervals.metrics);
    EXPECT_EQ(1s, kShippedIntervals.restartBackoff);
}

TEST(Intervals, TestBuildKeepsTheOrderOfThePeriods)
{
    // The liveness check needs a health interval well above a ping's answer, and the metrics
    // file is written more often than the health lines, as in the shipped library.
    EXPECT_LT(kTestIntervals.relayStartup, kShippedIntervals.relayStartup);
    EXPECT_LT(kTestIntervals.metrics, kTestIntervals.health);
    EXPECT_GE(kTestIntervals.health, 1s);
    EXPECT_LT(kTestIntervals.restartBackoff, kTestIntervals.health);
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
