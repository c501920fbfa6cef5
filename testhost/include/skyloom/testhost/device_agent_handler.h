// The server's device agent handler: records every packet, diagnostic event and manifest that a
// device agent sends, as plain copies (it keeps none of the plugin's objects). The plugin calls
// it on its receive thread or the server's calling thread; the accessors, waits and setters may
// be called on any thread. The optional delay and callback run on the plugin's calling thread,
// outside the handler's lock, while the agent holds its own lock: a callback must not call back
// into that agent.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nx/sdk/analytics/i_device_agent.h>

#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/records.h>

namespace skyloom::testhost {

struct DeviceAgentRecords
{
    std::vector<MetadataPacketRecord> packets;
    std::vector<DiagnosticEventRecord> diagnosticEvents;
    std::vector<std::string> manifests;

    /** Calls that passed a null packet, event or manifest. */
    int nullArguments = 0;
};

class DeviceAgentHandler: public HostRefCountable<nx::sdk::analytics::IDeviceAgent::IHandler>
{
public:
    using PacketCallback = std::function<void(const MetadataPacketRecord&)>;
    using Predicate = std::function<bool(const DeviceAgentRecords&)>;

    virtual void handleMetadata(nx::sdk::analytics::IMetadataPacket* metadataPacket) override;
    virtual void handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent* event) override;
    virtual void pushManifest(const nx::sdk::IString* manifest) override;

    DeviceAgentRecords snapshot() const;
    std::vector<MetadataPacketRecord> packets() const;
    size_t packetCount() const;

    /** True once at least `count` packets have been recorded; false on timeout. */
    bool waitForPackets(size_t count, std::chrono::milliseconds timeout) const;

    /** True once the predicate holds for the records (checked under the lock). */
    bool waitUntil(const Predicate& predicate, std::chrono::milliseconds timeout) const;

    void clear();

    /** Each packet is held this long before it is recorded, like a server slow to take it. */
    void setPacketDelay(std::chrono::milliseconds delay);

    /** Called after each packet is recorded; exceptions it throws are swallowed. */
    void setPacketCallback(PacketCallback callback);

private:
    void record(MetadataPacketRecord packet);
    void notifyCallback(const MetadataPacketRecord& packet) const;

private:
    std::atomic<std::chrono::milliseconds::rep> m_packetDelayMs{0};

    mutable std::mutex m_mutex; //< Guards everything below.
    mutable std::condition_variable m_changed;
    DeviceAgentRecords m_records;
    PacketCallback m_callback;
};

} // namespace skyloom::testhost
