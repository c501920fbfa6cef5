#include "peer_reports.h"

#include <algorithm>

namespace nx::vms_server_plugins::analytics::sample {

PeerReports::PeerReports(
    Report report, Summarise summarise, TextBudget& budget, std::atomic<uint64_t>* counted)
    :
    m_report(std::move(report)),
    m_summarise(std::move(summarise)),
    m_budget(budget),
    m_counted(counted)
{
}

void PeerReports::note(
    const std::string& address, const std::string& reason, Clock::time_point now)
{
    if (m_counted)
        m_counted->fetch_add(1, std::memory_order_relaxed);
    Decision decision;
    {
        const MutexLock lock(m_mutex);
        decision = decide(address, reason, now);
    }
    if (decision.summary)
        m_summarise(*decision.summary);
    if (decision.report)
        m_report(address, reason, static_cast<int64_t>(decision.unreported));
}

PeerReports::Decision PeerReports::decide(
    const std::string& address, const std::string& reason, Clock::time_point now)
{
    Decision decision;
    decision.summary = takeSummary(now);
    openInterval(now);
    if (m_reported.count(address) == 0 && m_reported.size() >= kAddressesPerInterval)
    {
        summarise(address, 1);
        return decision;
    }
    const auto verdict = m_rate.offer({address, reason}, now);
    if (!verdict.pass)
        return decision; //< Told with this address and reason's next report.
    if (!m_budget.report(now))
    {
        summarise(address, 1 + verdict.leftOut);
        return decision;
    }
    m_reported.insert(address);
    decision.report = true;
    decision.unreported = verdict.leftOut;
    return decision;
}

void PeerReports::openInterval(Clock::time_point now)
{
    if (m_intervalStart && now - *m_intervalStart < kInterval)
        return;
    m_intervalStart = now;
    m_reported.clear();
}

void PeerReports::summarise(const std::string& address, uint64_t notes)
{
    if (m_pending.notes == 0)
        m_pending.since = *m_intervalStart;
    m_pending.notes += notes;
    if (m_pending.addresses.size() < kMaxSummarised)
        m_pending.addresses.insert(address);
    else if (m_pending.addresses.count(address) == 0)
        m_pending.atLeast = true;
}

std::optional<PeerReports::Summary> PeerReports::takeSummary(Clock::time_point now)
{
    if (m_pending.notes == 0 || now - m_pending.since < kInterval
        || (m_retryAt && now < *m_retryAt))
    {
        return std::nullopt;
    }
    if (!m_budget.report(now))
    {
        m_retryAt = now + kRetry;
        return std::nullopt;
    }
    Summary summary;
    summary.addresses = m_pending.addresses.size();
    summary.atLeast = m_pending.atLeast;
    summary.notes = m_pending.notes;
    summary.period = std::chrono::duration_cast<std::chrono::seconds>(now - m_pending.since);
    m_pending = Pending{};
    m_retryAt.reset();
    return summary;
}

void PeerReports::tick(Clock::time_point now)
{
    std::optional<Summary> summary;
    {
        const MutexLock lock(m_mutex);
        summary = takeSummary(now);
    }
    if (summary)
        m_summarise(*summary);
}

std::chrono::milliseconds PeerReports::untilDue(Clock::time_point now) const
{
    const MutexLock lock(m_mutex);
    if (m_pending.notes == 0)
        return std::chrono::hours(1);
    Clock::time_point due = m_pending.since + kInterval;
    if (m_retryAt)
        due = std::max(due, *m_retryAt);
    return std::max(std::chrono::milliseconds(0),
        std::chrono::ceil<std::chrono::milliseconds>(due - now));
}

} // namespace nx::vms_server_plugins::analytics::sample
