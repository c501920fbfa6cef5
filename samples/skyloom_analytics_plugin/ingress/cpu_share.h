// A share of one core's time for one kind of work of one thread, measured on that thread's CPU
// clock: the work may run while it has credit, which refills at the share (up to kBurst's worth)
// and is spent by the CPU time the work took. Work that runs while credit is left may overdraw
// it; the debt is repaid before it runs again, so that over any longer stretch the work never
// takes more than the share.
//
// Threads: the thread whose work is measured, only.
#pragma once

#include <chrono>
#include <cstdint>

#include "common/clock.h"

namespace nx::vms_server_plugins::analytics::sample {

class CpuShare
{
public:
    /** `percent` of one core (1..100); `burst`: the most credit saved up while idle. */
    CpuShare(int percent, std::chrono::microseconds burst);

    /** The calling thread's CPU time so far. */
    [[nodiscard]] static std::chrono::nanoseconds threadTime();

    /** Whether the work may run at `now`. */
    [[nodiscard]] bool available(Clock::time_point now);

    /** The work took `cpu` of the thread's time. */
    void spend(std::chrono::nanoseconds cpu) { m_credit -= cpu; }

    /** When the work may run again: `now` if it may now. */
    [[nodiscard]] Clock::time_point resumeAt(Clock::time_point now) const;

private:
    void refill(Clock::time_point now);

    const int m_percent;
    const std::chrono::nanoseconds m_burst;
    std::chrono::nanoseconds m_credit;
    Clock::time_point m_refilled;
};

} // namespace nx::vms_server_plugins::analytics::sample
