#include "delivery_sink.h"

#include <algorithm>
#include <limits>
#include <thread>

namespace skyloom::bench {

using namespace std::chrono;

DeliverySink::DeliverySink(size_t sampleCapacity):
    m_capacity(sampleCapacity),
    m_samples(new std::atomic<uint32_t>[sampleCapacity]),
    // Nothing counts before the first run.
    m_runStartUs(std::numeric_limits<int64_t>::max())
{
}

int64_t DeliverySink::nowUs()
{
    static const steady_clock::time_point epoch = steady_clock::now();
    return duration_cast<microseconds>(steady_clock::now() - epoch).count();
}

void DeliverySink::startRun(int64_t runStartUs)
{
    m_nextSample = 0;
    m_delivered = 0;
    m_stale = 0;
    m_lastDeliveryUs = 0;
    m_runStartUs.store(runStartUs, std::memory_order_release);
}

void DeliverySink::record(int64_t publishUs)
{
    const int64_t now = nowUs();
    if (publishUs < m_runStartUs.load(std::memory_order_acquire))
    {
        ++m_stale;
        return;
    }

    const size_t index = m_nextSample.fetch_add(1);
    if (index < m_capacity)
    {
        const int64_t latency = std::clamp<int64_t>(
            now - publishUs, 0, std::numeric_limits<uint32_t>::max());
        m_samples[index].store(static_cast<uint32_t>(latency), std::memory_order_relaxed);
    }

    int64_t last = m_lastDeliveryUs.load();
    while (last < now && !m_lastDeliveryUs.compare_exchange_weak(last, now))
    {
    }
    m_delivered.fetch_add(1, std::memory_order_release);
}

bool DeliverySink::waitQuiet(milliseconds quiet, milliseconds limit) const
{
    const auto deadline = steady_clock::now() + limit;
    uint64_t seen = delivered() + stale();
    auto quietSince = steady_clock::now();
    while (steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(milliseconds(20));
        const uint64_t now = delivered() + stale();
        if (now != seen)
        {
            seen = now;
            quietSince = steady_clock::now();
        }
        else if (steady_clock::now() - quietSince >= quiet)
        {
            return true;
        }
    }
    return false;
}

std::vector<uint32_t> DeliverySink::latencies() const
{
    // Once deliveries have stopped, every index handed out below the count has been stored.
    const size_t count = std::min<size_t>(delivered(), m_capacity);
    std::vector<uint32_t> result;
    result.reserve(count);
    for (size_t i = 0; i < count; ++i)
        result.push_back(m_samples[i].load(std::memory_order_relaxed));
    return result;
}

} // namespace skyloom::bench
