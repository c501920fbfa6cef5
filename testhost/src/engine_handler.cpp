#include <skyloom/testhost/engine_handler.h>

namespace skyloom::testhost {

void EngineHandler::handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent* event)
{
    if (!event)
        return;
    try
    {
        DiagnosticEventRecord record = copyDiagnosticEvent(event);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(std::move(record));
        }
        m_arrived.notify_all();
    }
    catch (...)
    {
        // Nothing may travel back into the plugin; the event is lost.
    }
}

std::vector<DiagnosticEventRecord> EngineHandler::events() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

bool EngineHandler::waitForEvents(size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_arrived.wait_for(lock, timeout, [&]() { return m_events.size() >= count; });
}

void EngineHandler::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

} // namespace skyloom::testhost
