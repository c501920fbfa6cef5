#include "plugin_rig.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nx/sdk/analytics/i_object_metadata.h>
#include <nx/sdk/analytics/i_object_metadata_packet.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/engine_info.h>
#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/process_readings.h>
#include <skyloom/testhost/video_packets.h>

#include "agent_settings.h"
#include "messages.h"

namespace skyloom::bench {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

using namespace std::chrono;

namespace {

/** Whether a TCP socket listens on 127.0.0.1:port (a connection there is accepted). */
bool loopbackPortInUse(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool inUse =
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return inUse;
}

/** The publish time that the load generators put into the track id of the first object. */
bool publishTimeOf(IMetadataPacket* packet, int64_t* publishUs)
{
    uint32_t value = 0;
    if (!firstTrackNumber(packet, &value))
        return false;
    *publishUs = static_cast<int32_t>(value);
    return true;
}

} // namespace

/** The server's handler of one camera, reduced to timing: the packet is only borrowed. */
class TimingHandler: public testhost::HostRefCountable<IDeviceAgent::IHandler>
{
public:
    explicit TimingHandler(DeliverySink* sink): m_sink(sink) {}

    virtual void handleMetadata(IMetadataPacket* packet) override
    {
        ++m_arrivals;
        int64_t publishUs = 0;
        if (publishTimeOf(packet, &publishUs))
            m_sink->record(publishUs);
    }

    virtual void handlePluginDiagnosticEvent(IPluginDiagnosticEvent*) override {}
    virtual void pushManifest(const IString*) override {}

    int64_t arrivals() const { return m_arrivals; }

private:
    DeliverySink* const m_sink;
    std::atomic<int64_t> m_arrivals{0}; //< Written by the receive thread, read by the owner.
};

struct PluginRig::Camera
{
    Ptr<TimingHandler> handler;
    Ptr<IDeviceAgent> agent;
};

bool firstTrackNumber(IMetadataPacket* packet, uint32_t* number)
{
    const auto objects = queryInterface<IObjectMetadataPacket>(packet);
    if (!objects || objects->count() < 1)
        return false;
    const Ptr<const IMetadata> item(objects->at(0));
    const auto object = queryInterface<IObjectMetadata>(item.get());
    if (!object)
        return false;
    Uuid trackId;
    object->trackId(&trackId);
    // The last four bytes of a track UUID are the AI engine's track id, big-endian.
    *number = (uint32_t{trackId[12]} << 24) | (uint32_t{trackId[13]} << 16)
        | (uint32_t{trackId[14]} << 8) | uint32_t{trackId[15]};
    return true;
}

PluginRig::PluginRig(DeliverySink* sink): m_sink(sink)
{
}

PluginRig::~PluginRig()
{
    stop();
}

void PluginRig::start(const std::string& libraryPath, int servicePort, milliseconds portWait,
    bool loopbackRelay, bool isolateReceiver)
{
    // Another plugin (a test, a demo) listening on the same service port would take the
    // messages, or disturb the figures.
    const auto deadline = steady_clock::now() + portWait;
    while (loopbackPortInUse(servicePort))
    {
        if (steady_clock::now() >= deadline)
        {
            throw std::runtime_error("another process listens on 127.0.0.1:"
                + std::to_string(servicePort) + ", the service port of the benchmark");
        }
        std::this_thread::sleep_for(milliseconds(500));
    }

    if (!m_library.load(libraryPath))
        throw std::runtime_error("cannot load " + libraryPath + ": " + m_library.errorText());
    m_plugin = m_library.createPlugin();
    if (!m_plugin)
        throw std::runtime_error("the library gave no plugin: " + m_library.errorText());

    testhost::Obtained<IEngine> engine = testhost::obtainEngine(m_plugin.get());
    if (!engine.isOk() || !engine.object)
        throw std::runtime_error("the plugin gave no engine: " + engine.errorMessage);
    m_engine = engine.object;
    m_engine->setEngineInfo(makePtr<testhost::EngineInfo>().get());
    m_engineHandler = makePtr<testhost::EngineHandler>();
    m_engine->setHandler(m_engineHandler.get());
    m_settings = {{setting::kServicePort.name, std::to_string(servicePort)},
        {setting::kLoopbackRelay.name, loopbackRelay ? "true" : "false"},
        {setting::kIsolateReceiver.name, isolateReceiver ? "true" : "false"}};
    setEngineSettings({});
}

void PluginRig::setEngineSettings(const std::map<std::string, std::string>& settings)
{
    for (const auto& [name, value]: settings)
        m_settings[name] = value;
    const testhost::SettingsResult result = testhost::doSetSettings(
        m_engine.get(), testhost::Settings(m_settings.begin(), m_settings.end()));
    if (!result.isOk())
        throw std::runtime_error("the engine refused its settings: " + result.errorMessage);
    if (!result.errors.empty())
    {
        throw std::runtime_error("the engine refused " + result.errors.begin()->first + ": "
            + result.errors.begin()->second);
    }
}

void PluginRig::setIsolateReceiver(bool isolate, milliseconds timeout)
{
    const std::vector<pid_t> before = testhost::receiverProcesses();
    const bool changed = isolate != isolateReceiver();
    setEngineSettings({{setting::kIsolateReceiver.name, isolate ? "true" : "false"}});

    // The relay thread acts on new settings when it wakes; a change of mode closes the old
    // listener before the new one opens.
    const auto acted = [&]()
    {
        const std::vector<pid_t> now = testhost::receiverProcesses();
        if (!isolate)
            return now.empty();
        return std::any_of(now.begin(), now.end(), [&](pid_t pid)
            { return !changed || std::find(before.begin(), before.end(), pid) == before.end(); });
    };
    const auto deadline = steady_clock::now() + timeout;
    while (!acted())
    {
        if (steady_clock::now() >= deadline)
        {
            const std::string diagnostics = engineDiagnostics();
            throw std::runtime_error(std::string("the engine did not ")
                + (isolate ? "start its receiver process" : "take the service port in-process")
                + (diagnostics.empty() ? "" : "; it reported: " + diagnostics));
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

Ptr<IDeviceAgent> PluginRig::makeAgent(const std::string& deviceId, IDeviceAgent::IHandler* handler,
    const std::map<std::string, std::string>& settings)
{
    const auto info = makePtr<testhost::DeviceInfo>(deviceId);
    testhost::Obtained<IDeviceAgent> agent =
        testhost::obtainDeviceAgent(m_engine.get(), info.get());
    if (!agent.isOk() || !agent.object)
        throw std::runtime_error("the engine gave no device agent: " + agent.errorMessage);
    agent.object->setHandler(handler);
    const testhost::SettingsResult result = testhost::doSetSettings(
        agent.object.get(), testhost::Settings(settings.begin(), settings.end()));
    if (!result.isOk())
        throw std::runtime_error("an agent refused its settings: " + result.errorMessage);
    if (!result.errors.empty())
    {
        throw std::runtime_error("an agent refused " + result.errors.begin()->first + ": "
            + result.errors.begin()->second);
    }
    return agent.object;
}

void PluginRig::addCameras(int count)
{
    while (cameraCount() < count)
    {
        const int index = cameraCount();
        auto camera = std::make_unique<Camera>();
        camera->handler = makePtr<TimingHandler>(m_sink);
        camera->agent = makeAgent(deviceId(index), camera->handler.get(), benchAgentSettings());

        // Until a frame has arrived an agent discards its messages.
        const auto frame = makePtr<testhost::CompressedVideoPacket>(1598863206064000);
        if (!testhost::doPushDataPacket(camera->agent.get(), frame.get()).isOk())
            throw std::runtime_error("an agent refused a video frame");

        m_cameras.push_back(std::move(camera));
    }
}

std::string PluginRig::engineDiagnostics() const
{
    std::string text;
    if (!m_engineHandler)
        return text;
    for (const testhost::DiagnosticEventRecord& event: m_engineHandler->events())
        text += (text.empty() ? "" : "\n") + event.caption + ": " + event.description;
    return text;
}

int64_t PluginRig::arrivals(int index) const
{
    return m_cameras.at(static_cast<size_t>(index))->handler->arrivals();
}

std::vector<double> PluginRig::releaseCamerasOneByOne()
{
    std::vector<double> releaseMs;
    for (auto& camera: m_cameras)
    {
        const auto start = steady_clock::now();
        camera->agent.reset();
        releaseMs.push_back(duration<double, std::milli>(steady_clock::now() - start).count());
    }
    m_cameras.clear();
    return releaseMs;
}

double PluginRig::releaseEngine()
{
    const auto start = steady_clock::now();
    m_engine.reset();
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

void PluginRig::stop()
{
    (void) releaseCamerasOneByOne();
    m_engine.reset();
    m_plugin.reset();
}

} // namespace skyloom::bench
