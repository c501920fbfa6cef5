#include "cpu_share.h"

#include <time.h>

#include <algorithm>

namespace nx::vms_server_plugins::analytics::sample {

CpuShare::CpuShare(int percent, std::chrono::microseconds burst):
    m_percent(std::clamp(percent, 1, 100)),
    m_burst(burst),
    m_credit(burst),
    m_refilled(Clock::now())
{
}

std::chrono::nanoseconds CpuShare::threadTime()
{
    timespec time{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time) != 0)
        return std::chrono::nanoseconds(0);
    return std::chrono::seconds(time.tv_sec) + std::chrono::nanoseconds(time.tv_nsec);
}

void CpuShare::refill(Clock::time_point now)
{
    if (now <= m_refilled)
        return;
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - m_refilled);
    m_credit = std::min(m_burst, m_credit + elapsed * m_percent / 100);
    m_refilled = now;
}

bool CpuShare::available(Clock::time_point now)
{
    refill(now);
    return m_credit > std::chrono::nanoseconds(0);
}

Clock::time_point CpuShare::resumeAt(Clock::time_point now) const
{
    if (m_credit > std::chrono::nanoseconds(0))
        return now;
    // The debt, repaid at the share; from the last refill, which available() made at `now`.
    return m_refilled + std::chrono::duration_cast<Clock::duration>(
        (-m_credit) * 100 / m_percent + std::chrono::nanoseconds(1));
}

} // namespace nx::vms_server_plugins::analytics::sample
