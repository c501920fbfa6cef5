// The steady clock as the plugin's time rules read it, replaceable so that tests can advance
// time instead of waiting.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

namespace nx::vms_server_plugins::analytics::sample {

using Clock = std::function<std::chrono::steady_clock::time_point()>;

/** The clock given, or the steady clock when none is. */
inline Clock clockOrSteady(Clock clock)
{
    return clock ? std::move(clock) : Clock(&std::chrono::steady_clock::now);
}

} // namespace nx::vms_server_plugins::analytics::sample
