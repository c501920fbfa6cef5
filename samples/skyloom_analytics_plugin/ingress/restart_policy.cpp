#include "restart_policy.h"

namespace nx::vms_server_plugins::analytics::sample {

RestartPolicy::Decision RestartPolicy::died(Clock::time_point now)
{
    m_deaths.push_back(now);
    while (!m_deaths.empty() && now - m_deaths.front() >= kWindow)
        m_deaths.pop_front();

    Decision decision;
    decision.deathsInWindow = static_cast<int>(m_deaths.size());
    decision.startAt = now;
    if (decision.deathsInWindow < kDeathsBeforeBackoff)
        return decision;
    if (m_lastStart && *m_lastStart + m_backoff > now)
        decision.startAt = *m_lastStart + m_backoff;
    decision.keepsDying = m_keepsDying.offer({}, now).pass;
    return decision;
}

} // namespace nx::vms_server_plugins::analytics::sample
