// When a receiver process that died may be started again: at once, unless it died
// kDeathsBeforeBackoff times or more within kWindow; then at most one start per back-off (one
// second in the library that servers load, see common/intervals.h). The death that reaches that
// count, and the first after each kWindow of continued dying, is the one to tell the operator
// about ("keeps dying").
//
// Threads: one thread at a time. The clock is the caller's.
#pragma once

#include <chrono>
#include <deque>
#include <optional>

#include "common/clock.h"
#include "common/intervals.h"
#include "health/rate_limiter.h"

namespace nx::vms_server_plugins::analytics::sample {

class RestartPolicy
{
public:
    using Clock = sample::Clock;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr int kDeathsBeforeBackoff = 3;

    struct Decision
    {
        Clock::time_point startAt; //< Not before this.
        int deathsInWindow = 0;
        bool keepsDying = false; //< Tell the operator now.
    };

    explicit RestartPolicy(std::chrono::milliseconds backoff = kShippedIntervals.restartBackoff):
        m_backoff(backoff)
    {
    }

    /** A process started at `now`. */
    void started(Clock::time_point now) { m_lastStart = now; }

    /** A process died at `now`: when to start the next. */
    [[nodiscard]] Decision died(Clock::time_point now);

private:
    const std::chrono::milliseconds m_backoff;
    std::deque<Clock::time_point> m_deaths;
    std::optional<Clock::time_point> m_lastStart;
    /** "Keeps dying": one per kWindow; the deaths it tells are m_deaths, not the limiter's. */
    RateLimiter<SingleKind> m_keepsDying{1, kWindow};
};

} // namespace nx::vms_server_plugins::analytics::sample
