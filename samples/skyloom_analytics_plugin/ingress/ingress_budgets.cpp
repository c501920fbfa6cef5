#include "ingress_budgets.h"

namespace nx::vms_server_plugins::analytics::sample {

void TextBudget::roll(Clock::time_point now)
{
    if (m_open && now - m_windowStart < kWindow)
        return;
    m_open = true;
    m_windowStart = now;
    m_lines = 0;
    m_events = 0;
}

uint64_t TextBudget::takeLinesLeftOut()
{
    const uint64_t leftOut = m_linesLeftOut;
    m_linesLeftOut = 0;
    return leftOut;
}

TextBudget::Verdict TextBudget::line(Clock::time_point now)
{
    const MutexLock lock(m_mutex);
    roll(now);
    if (m_lines >= kLinesPerWindow)
    {
        ++m_linesLeftOut;
        return {};
    }
    ++m_lines;
    return {true, takeLinesLeftOut()};
}

uint64_t TextBudget::passLinesLeftOut(Clock::time_point now)
{
    const MutexLock lock(m_mutex);
    if (m_linesLeftOut == 0)
        return 0;
    roll(now);
    if (m_lines >= kLinesPerWindow)
        return 0;
    ++m_lines;
    return takeLinesLeftOut();
}

bool TextBudget::event(Clock::time_point now)
{
    const MutexLock lock(m_mutex);
    roll(now);
    if (m_events >= kEventsPerWindow)
        return false;
    ++m_events;
    return true;
}

bool TextBudget::report(Clock::time_point now)
{
    const MutexLock lock(m_mutex);
    roll(now);
    if (m_events >= kEventsPerWindow || m_lines >= kLinesPerWindow)
        return false;
    ++m_events;
    ++m_lines;
    return true;
}

} // namespace nx::vms_server_plugins::analytics::sample
