// The periods that an engine's threads wait out, in one place. The library that servers load
// runs with kShippedIntervals. The tests' build of the library
// (libskyloom_analytics_plugin_test.so: the same archives linked with an entry unit compiled
// with SKYLOOM_TEST_INTERVALS) runs with kTestIntervals, so that a test through the loaded
// library waits milliseconds where a server waits seconds. The choice is made by the entry unit
// compiled into the library: nothing that a server's environment, settings or files can reach
// selects it.
//
// Threads: constants; each unit keeps the copy it was constructed with.
#pragma once

#include <chrono>

namespace nx::vms_server_plugins::analytics::sample {

struct Intervals
{
    /** The relay's wait before its first bind: time for the server to deliver the settings. */
    std::chrono::milliseconds relayStartup;
    /** Between health lines; the receiver's liveness check goes with them. */
    std::chrono::milliseconds health;
    /** Between writes of the metrics file. */
    std::chrono::milliseconds metrics;
    /** The least time between starts of a receiver process that keeps dying. */
    std::chrono::milliseconds restartBackoff;
};

inline constexpr Intervals kShippedIntervals{
    /*relayStartup*/ std::chrono::seconds(5),
    /*health*/ std::chrono::seconds(60),
    /*metrics*/ std::chrono::seconds(15),
    /*restartBackoff*/ std::chrono::seconds(1),
};

/**
 * Short, but long enough for a receiver built with a sanitizer to answer its liveness ping
 * within one health interval.
 */
inline constexpr Intervals kTestIntervals{
    /*relayStartup*/ std::chrono::milliseconds(100),
    /*health*/ std::chrono::seconds(2),
    /*metrics*/ std::chrono::milliseconds(500),
    /*restartBackoff*/ std::chrono::milliseconds(50),
};

} // namespace nx::vms_server_plugins::analytics::sample
