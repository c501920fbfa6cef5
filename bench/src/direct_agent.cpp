#include "direct_agent.h"

#include <stdexcept>

#include <nx/sdk/analytics/i_device_agent.h>

#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/video_packets.h>

#include "agent_settings.h"


namespace skyloom::bench {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;

/** The server's handler reduced to a count: the packet is only borrowed for the call. */
class CountingHandler:
    public testhost::HostRefCountable<nx::sdk::analytics::IDeviceAgent::IHandler>
{
public:
    virtual void handleMetadata(nx::sdk::analytics::IMetadataPacket* /*packet*/) override
    {
        ++m_packets;
    }

    virtual void handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent*) override {}
    virtual void pushManifest(const nx::sdk::IString*) override {}

    int64_t packets() const { return m_packets; }

private:
    int64_t m_packets = 0; //< Written by the one thread that feeds the agent.
};

testhost::Settings DirectAgent::defaultSettings()
{
    return benchAgentSettings();
}

DirectAgent::DirectAgent(const testhost::Settings& settings):
    m_handler(new CountingHandler())
{
    // The first sample camera: the sample messages are addressed to it.
    const Ptr<testhost::DeviceInfo> info(new testhost::DeviceInfo());
    m_agent = Ptr<DeviceAgent>(new DeviceAgent(info.get(), DeviceAgent::ReceiveThread::none));
    m_agent->setHandler(m_handler.get());

    const testhost::SettingsResult result = testhost::doSetSettings(m_agent.get(), settings);
    if (!result.isOk())
        throw std::runtime_error("the agent refused its settings: " + result.errorMessage);

    const Ptr<testhost::CompressedVideoPacket> frame(
        new testhost::CompressedVideoPacket(1598863206064000));
    const testhost::CallStatus pushed = testhost::doPushDataPacket(m_agent.get(), frame.get());
    if (!pushed.isOk())
        throw std::runtime_error("the agent refused a video frame: " + pushed.errorMessage);
}

DirectAgent::~DirectAgent() = default;

int64_t DirectAgent::packets() const
{
    return m_handler->packets();
}

} // namespace skyloom::bench
