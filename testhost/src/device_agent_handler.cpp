#include <skyloom/testhost/device_agent_handler.h>

#include <thread>

namespace skyloom::testhost {

using namespace std::chrono;

void DeviceAgentHandler::handleMetadata(nx::sdk::analytics::IMetadataPacket* metadataPacket)
{
    try
    {
        if (!metadataPacket)
        {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_records.nullArguments;
            }
            m_changed.notify_all();
            return;
        }
        MetadataPacketRecord packet = copyMetadataPacket(metadataPacket);
        if (const auto delayMs = m_packetDelayMs.load(); delayMs > 0)
            std::this_thread::sleep_for(milliseconds(delayMs));
        record(packet);
        notifyCallback(packet);
    }
    catch (...)
    {
        // Nothing may travel back into the plugin; the packet is lost.
    }
}

void DeviceAgentHandler::record(MetadataPacketRecord packet)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_records.packets.push_back(std::move(packet));
    }
    m_changed.notify_all();
}

void DeviceAgentHandler::notifyCallback(const MetadataPacketRecord& packet) const
{
    PacketCallback callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        callback = m_callback;
    }
    if (callback)
        callback(packet);
}

void DeviceAgentHandler::handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent* event)
{
    try
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (event)
            m_records.diagnosticEvents.push_back(copyDiagnosticEvent(event));
        else
            ++m_records.nullArguments;
    }
    catch (...)
    {
        return;
    }
    m_changed.notify_all();
}

void DeviceAgentHandler::pushManifest(const nx::sdk::IString* manifest)
{
    try
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (manifest)
            m_records.manifests.push_back(copyText(manifest->str()));
        else
            ++m_records.nullArguments;
    }
    catch (...)
    {
        return;
    }
    m_changed.notify_all();
}

DeviceAgentRecords DeviceAgentHandler::snapshot() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<MetadataPacketRecord> DeviceAgentHandler::packets() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.packets;
}

size_t DeviceAgentHandler::packetCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.packets.size();
}

bool DeviceAgentHandler::waitForPackets(size_t count, milliseconds timeout) const
{
    return waitUntil(
        [count](const DeviceAgentRecords& records) { return records.packets.size() >= count; },
        timeout);
}

bool DeviceAgentHandler::waitUntil(const Predicate& predicate, milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&]() { return predicate(m_records); });
}

void DeviceAgentHandler::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records = DeviceAgentRecords();
}

void DeviceAgentHandler::setPacketDelay(milliseconds delay)
{
    m_packetDelayMs = delay.count();
}

void DeviceAgentHandler::setPacketCallback(PacketCallback callback)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_callback = std::move(callback);
}

} // namespace skyloom::testhost
