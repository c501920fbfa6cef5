#include <skyloom/testhost/registry.h>

namespace skyloom::testhost {

int64_t RegistryStats::created() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_created;
}

int64_t RegistryStats::destroyed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_destroyed;
}

int64_t RegistryStats::alive() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int64_t>(m_alive.size());
}

int64_t RegistryStats::anomalies() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_anomalies;
}

bool RegistryStats::registryDeleted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_registryDeleted;
}

bool RegistryStats::waitUntilBalanced(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_balanced.wait_for(lock, timeout, [this]() { return m_alive.empty(); });
}

void RegistryStats::recordCreated(const void* object, int32_t refCount)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_created;
    const bool inserted = m_alive.insert(object).second;
    if (!inserted || refCount != 1)
        ++m_anomalies;
}

void RegistryStats::recordDestroyed(const void* object, int32_t refCount)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_destroyed;
        const bool wasAlive = m_alive.erase(object) == 1;
        if (!wasAlive || refCount != 0)
            ++m_anomalies;
        if (!m_alive.empty())
            return;
    }
    m_balanced.notify_all();
}

void RegistryStats::recordRegistryDeleted()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registryDeleted = true;
}

Registry::Registry(std::shared_ptr<RegistryStats> stats): m_stats(std::move(stats))
{
}

Registry::~Registry()
{
    m_stats->recordRegistryDeleted();
}

// Only the address is kept: the object is half-built or half-destroyed during these calls.
void Registry::notifyCreated(nx::sdk::IRefCountable* object, int32_t refCount)
{
    try
    {
        m_stats->recordCreated(object, refCount);
    }
    catch (...)
    {
        // Out of memory while inserting: the plugin must not see it; the count is lost.
    }
}

void Registry::notifyDestroyed(nx::sdk::IRefCountable* object, int32_t refCount)
{
    try
    {
        m_stats->recordDestroyed(object, refCount);
    }
    catch (...)
    {
        // A failed lock: the plugin must not see it; the count is lost.
    }
}

} // namespace skyloom::testhost
