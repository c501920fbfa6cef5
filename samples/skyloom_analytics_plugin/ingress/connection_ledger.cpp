#include "connection_ledger.h"

namespace nx::vms_server_plugins::analytics::sample {

void ConnectionLedger::connected(const std::string& address)
{
    {
        const MutexLock lock(m_mutex);
        m_open.insert(address);
    }
    m_next.connected(address);
}

void ConnectionLedger::disconnected(const std::string& address)
{
    {
        const MutexLock lock(m_mutex);
        const auto it = m_open.find(address);
        if (it == m_open.end())
            return;
        m_open.erase(it);
    }
    m_next.disconnected(address);
}

std::multiset<std::string> ConnectionLedger::takeAll()
{
    const MutexLock lock(m_mutex);
    std::multiset<std::string> open;
    open.swap(m_open);
    return open;
}

size_t ConnectionLedger::endAll()
{
    const std::multiset<std::string> open = takeAll();
    // The sink's own rule holds: one "AI engine disconnected" per address and minute.
    for (const std::string& address: open)
        m_next.disconnected(address);
    return open.size();
}

size_t ConnectionLedger::endAllQuietly()
{
    const size_t count = takeAll().size();
    m_counters.enginesConnected.fetch_sub(static_cast<int64_t>(count), std::memory_order_relaxed);
    bump(m_counters.disconnects, count);
    return count;
}

} // namespace nx::vms_server_plugins::analytics::sample
