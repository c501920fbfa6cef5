// The server's engine handler: records the engine's diagnostic events as plain copies. The
// plugin calls it on any of its threads; the accessors may be called on any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include <nx/sdk/analytics/i_engine.h>

#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/records.h>

namespace skyloom::testhost {

class EngineHandler: public HostRefCountable<nx::sdk::analytics::IEngine::IHandler>
{
public:
    virtual void handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent* event) override;

    std::vector<DiagnosticEventRecord> events() const;

    /** True once at least `count` events have arrived; false on timeout. */
    bool waitForEvents(size_t count, std::chrono::milliseconds timeout) const;

    void clear();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_arrived;
    std::vector<DiagnosticEventRecord> m_events;
};

} // namespace skyloom::testhost
