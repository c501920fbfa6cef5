// The end of the road in the end-to-end runs: every delivered message (a packet at the plugin's
// handler, a parsed message at a baseline subscriber) is recorded here with the publish time
// that it carries. record() is called by any number of writer threads at once; the run's owner
// starts a run, waits until deliveries stop and then reads the counts and latencies.
// Times are microseconds of the steady clock since the first call of nowUs() in the process,
// so that a publish time fits the 32-bit track id of a message for about 35 minutes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace skyloom::bench {

class DeliverySink
{
public:
    /** Latencies of at most `sampleCapacity` deliveries per run are kept; all are counted. */
    explicit DeliverySink(size_t sampleCapacity);

    static int64_t nowUs();

    /** From now on deliveries published before `runStartUs` count as stale (owner thread). */
    void startRun(int64_t runStartUs);

    /** One delivery of a message published at `publishUs` (any thread). */
    void record(int64_t publishUs);

    uint64_t delivered() const { return m_delivered.load(std::memory_order_acquire); }
    uint64_t stale() const { return m_stale.load(); }
    int64_t lastDeliveryUs() const { return m_lastDeliveryUs.load(); }

    /**
     * Waits until nothing has been delivered for `quiet` (at most `limit`); true if it got
     * quiet. Deliveries that come later still count, so call it before reading the figures.
     */
    bool waitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) const;

    /** Latencies in microseconds of this run's deliveries (owner thread, after waitQuiet). */
    std::vector<uint32_t> latencies() const;

private:
    const size_t m_capacity;
    const std::unique_ptr<std::atomic<uint32_t>[]> m_samples;
    std::atomic<int64_t> m_runStartUs;
    std::atomic<size_t> m_nextSample{0};
    std::atomic<uint64_t> m_delivered{0};
    std::atomic<uint64_t> m_stale{0};
    std::atomic<int64_t> m_lastDeliveryUs{0};
};

} // namespace skyloom::bench
