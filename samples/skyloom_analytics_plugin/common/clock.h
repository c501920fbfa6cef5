// The plugin's clock: the steady clock, for every time rule and timer. The units whose rules
// tests drive through time (the camera log, drop reports, track identity, the converter, the
// device agent) read it through a NowSource, which a test replaces with one it advances.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

namespace nx::vms_server_plugins::analytics::sample {

using Clock = std::chrono::steady_clock;

/** Tells the time of Clock; a test's own can advance it instead of waiting. */
using NowSource = std::function<Clock::time_point()>;

/** The source given, or Clock::now when none is. */
inline NowSource nowOrClock(NowSource now)
{
    return now ? std::move(now) : NowSource(&Clock::now);
}

} // namespace nx::vms_server_plugins::analytics::sample
