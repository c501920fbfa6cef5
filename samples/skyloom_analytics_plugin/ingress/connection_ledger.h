// The AI engines that one service port has reported connected and not yet disconnected. The
// relay puts it between the listener (a receiver process or the listener in this process) and
// its sink: a listener that goes (replaced, lost, or with the engine) reports nothing more, so
// whatever it left connected is ended here, once, and the count of AI engines connected never
// keeps connections of a listener that is gone. A disconnection that matches no open connection
// (one reported twice, or after endAll()) passes on nothing.
//
// Ownership: the relay owns it; it outlives every listener that reports to it.
//
// Threads: the IngressSink calls from the relay thread and the ZAP handler's thread; endAll()
// and endAllQuietly() from the relay thread once the listener's threads are joined.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "common/thread_annotations.h"
#include "health/ingest_counters.h"
#include "ingress_sink.h"

namespace nx::vms_server_plugins::analytics::sample {

class ConnectionLedger: public IngressSink
{
public:
    ConnectionLedger(IngressSink& next, EngineCounters& counters):
        m_next(next), m_counters(counters)
    {
    }

    void event(Level level, const std::string& caption, const std::string& description) override
    {
        m_next.event(level, caption, description);
    }
    void refused(const std::string& address, const std::string& reason) override
    {
        m_next.refused(address, reason);
    }
    void connected(const std::string& address) override;
    void disconnected(const std::string& address) override;

    /** Every open connection reported disconnected; how many there were. */
    size_t endAll();

    /**
     * The same, counted only (the gauge down, the disconnects up), without a report: the engine
     * is being released and must push no event.
     */
    size_t endAllQuietly();

private:
    [[nodiscard]] std::multiset<std::string> takeAll();

private:
    IngressSink& m_next;
    EngineCounters& m_counters;
    mutable Mutex m_mutex;
    std::multiset<std::string> m_open GUARDED_BY(m_mutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
