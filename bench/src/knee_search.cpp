#include "knee_search.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace skyloom::bench {

namespace {

constexpr double kRateStep = 100;

} // namespace

KneeSearch::KneeSearch(const Plan& plan): m_plan(plan)
{
    if (!(plan.start > 0) || !(plan.growth > 1) || !(plan.ceiling >= plan.start)
        || !(plan.resolution > 1))
    {
        throw std::invalid_argument("a knee search needs start > 0, growth > 1, "
            "ceiling >= start and resolution > 1");
    }
    m_next = plan.start;
}

void KneeSearch::record(bool held)
{
    if (m_done)
        return;
    ++m_steps;
    (held ? m_held : m_lost) = m_next;

    if (m_lost == 0)
    {
        // Still growing.
        if (m_held >= m_plan.ceiling)
            m_done = true;
        else
            m_next = std::min(m_held * m_plan.growth, m_plan.ceiling);
        return;
    }
    if (m_held == 0 || m_lost / m_held <= m_plan.resolution)
    {
        m_done = true;
        return;
    }
    const double middle = std::sqrt(m_held * m_lost);
    const double rounded = std::round(middle / kRateStep) * kRateStep;
    // Rounding must not land on an end of a narrow bracket.
    m_next = rounded > m_held && rounded < m_lost ? rounded : middle;
}

} // namespace skyloom::bench
