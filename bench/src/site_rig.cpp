#include "site_rig.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/engine_handler.h>
#include <skyloom/testhost/engine_info.h>
#include <skyloom/testhost/video_packets.h>

#include "agent_settings.h"
#include "messages.h"
#include "metrics_text.h"
#include "settings/settings_table.h"

namespace skyloom::bench {

using namespace std::chrono;
using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace nx::vms_server_plugins::analytics::sample;

namespace {

constexpr milliseconds kReadTimeout{10000};
constexpr milliseconds kQuietPeriod{500};
constexpr int64_t kFrameTimestampUs = 1598863206064000;

} // namespace

struct SiteRig::Server
{
    std::string engineId;
    int port = 0;
    Ptr<testhost::EngineHandler> engineHandler;
    Ptr<IEngine> engine;
    std::string cameraId;
    std::string message; //< One message for the camera.
    Ptr<testhost::DeviceInfo> info;
    Ptr<testhost::DeviceAgentHandler> handler;
    Ptr<IDeviceAgent> agent;
    int metricsWrites = 0;
};

SiteRig::SiteRig(nx::sdk::analytics::IPlugin* plugin, const std::vector<int>& ports,
    std::string workDirectory)
    :
    m_workDirectory(std::move(workDirectory)),
    m_receiveFor(setting::kReceiveMessagesFor.defaultValue.text)
{
    const MessageTemplate alarm(readSampleMessage("04_lpr_alarm_1.json"), {"src_uuid"});
    for (size_t i = 0; i < ports.size(); ++i)
    {
        auto server = std::make_unique<Server>();
        server->engineId = "{5e5e5e5e-0000-4000-8000-00000000000" + std::to_string(i + 1) + "}";
        server->port = ports[i];
        testhost::Obtained<IEngine> engine = testhost::obtainEngine(plugin);
        if (!engine.isOk() || !engine.object)
            throw std::runtime_error("the plugin gave no engine: " + engine.errorMessage);
        server->engine = engine.object;
        server->engine->setEngineInfo(makePtr<testhost::EngineInfo>(server->engineId).get());
        server->engineHandler = makePtr<testhost::EngineHandler>();
        server->engine->setHandler(server->engineHandler.get());
        m_servers.push_back(std::move(server));
    }
    for (auto& server: m_servers)
        (void) read(*server); //< The settings: the port, the mode, a metrics file.
    for (size_t i = 0; i < m_servers.size(); ++i)
    {
        Server& server = *m_servers[i];
        server.cameraId = cameraId(1000 + static_cast<int>(i));
        server.message = alarm.make({jsonString(server.cameraId)});
        server.info = makePtr<testhost::DeviceInfo>(deviceId(1000 + static_cast<int>(i)));
        server.handler = makePtr<testhost::DeviceAgentHandler>();
        testhost::Obtained<IDeviceAgent> agent =
            testhost::obtainDeviceAgent(server.engine.get(), server.info.get());
        if (!agent.isOk() || !agent.object)
            throw std::runtime_error("the engine gave no device agent: " + agent.errorMessage);
        server.agent = agent.object;
        server.agent->setHandler(server.handler.get());
        if (!testhost::doSetSettings(server.agent.get(), benchAgentSettings()).isOk())
            throw std::runtime_error("an agent refused its settings");
        const auto frame = makePtr<testhost::CompressedVideoPacket>(kFrameTimestampUs);
        if (!testhost::doPushDataPacket(server.agent.get(), frame.get()).isOk())
            throw std::runtime_error("an agent refused a video frame");
    }
    m_publisher = std::make_unique<testhost::AiEnginePublisher>(ports.front());
    for (size_t i = 1; i < ports.size(); ++i)
        (void) m_publisher->alsoConnect(ports[i]);
    if (!m_publisher->isOpen())
        throw std::runtime_error(m_publisher->errorText());
}

SiteRig::~SiteRig()
{
    m_publisher.reset();
    for (auto& server: m_servers)
        server->agent.reset();
    m_servers.clear();
}

void SiteRig::receiveMessagesFor(const char* value, milliseconds timeout)
{
    m_receiveFor = value;
    (void) readAll(); //< Delivers the setting.
    for (auto& server: m_servers)
    {
        const size_t before = server->handler->packetCount();
        testhost::DeviceAgentHandler& handler = *server->handler;
        if (!m_publisher->sendUntil(server->message,
            [&]() { return handler.packetCount() > before; }, timeout, milliseconds(20)))
        {
            throw std::runtime_error("the messages of camera " + server->cameraId
                + " do not reach its server on port " + std::to_string(server->port));
        }
    }
    // Every server's subscriptions have reached the publisher: "everything" dropped or taken.
    std::this_thread::sleep_for(kQuietPeriod);
}

std::vector<SiteRig::Received> SiteRig::send(int rounds)
{
    const std::vector<Received> before = readAll();
    for (int round = 0; round < rounds; ++round)
    {
        for (const auto& server: m_servers)
        {
            if (!m_publisher->send(server->message))
                throw std::runtime_error("send failed: " + m_publisher->errorText());
        }
        // Paced a little: the measure is what crosses, not how fast.
        if (round % 16 == 15)
            std::this_thread::sleep_for(milliseconds(1));
    }
    std::vector<Received> after = readAll();
    for (std::vector<Received> previous; ; )
    {
        previous = after;
        std::this_thread::sleep_for(kQuietPeriod);
        after = readAll();
        bool still = true;
        for (size_t i = 0; i < after.size(); ++i)
            still = still && after[i].messages == previous[i].messages;
        if (still)
            break;
    }
    std::vector<Received> delta;
    for (size_t i = 0; i < after.size(); ++i)
    {
        delta.push_back({after[i].messages - before[i].messages,
            after[i].bytes - before[i].bytes});
    }
    return delta;
}

double SiteRig::roundBytes() const
{
    double bytes = 0;
    for (const auto& server: m_servers)
        bytes += static_cast<double>(server->message.size());
    return bytes;
}

std::vector<SiteRig::Received> SiteRig::readAll()
{
    std::vector<Received> received;
    for (auto& server: m_servers)
        received.push_back(read(*server));
    return received;
}

/** Delivers the settings with a new metrics file, which the relay writes at once, and reads it. */
SiteRig::Received SiteRig::read(Server& server)
{
    const std::string path = m_workDirectory + "/site-" + server.engineId.substr(1, 8) + "-"
        + std::to_string(++server.metricsWrites) + ".prom";
    ::unlink(path.c_str());
    const testhost::SettingsResult result = testhost::doSetSettings(server.engine.get(),
        {{setting::kServicePort.name, std::to_string(server.port)},
            {setting::kReceiveMessagesFor.name, m_receiveFor},
            {setting::kMetricsFile.name, path}});
    if (!result.isOk() || !result.errors.empty())
        throw std::runtime_error("the engine refused its settings: " + result.errorMessage);
    const auto deadline = steady_clock::now() + kReadTimeout;
    while (::access(path.c_str(), R_OK) != 0)
    {
        if (steady_clock::now() >= deadline)
            throw std::runtime_error("no metrics file " + path);
        std::this_thread::sleep_for(milliseconds(10));
    }
    std::ifstream file(path);
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    ::unlink(path.c_str());
    const host::ReadCounters read = host::countersFromMetrics(text);
    if (!read.counters)
        throw std::runtime_error("metrics file " + path + ": " + read.error);
    return {static_cast<double>(read.counters->engine.received),
        static_cast<double>(read.counters->engine.receivedBytes)};
}

} // namespace skyloom::bench
