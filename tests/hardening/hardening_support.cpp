#include "hardening_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include <nx/sdk/analytics/i_compound_metadata_packet.h>

namespace skyloom::hardening {

using namespace std::chrono;
using namespace nx::sdk;
using namespace nx::sdk::analytics;

//-------------------------------------------------------------------------------------------------
// Plugin and engine.

bool PluginUnderTest::load(std::string* errorText)
{
    // A copy of the library in a folder of its own (with another receiver, or none).
    const char* const path = std::getenv("SKYLOOM_PLUGIN_PATH");
    if (!m_library.load(path && *path ? path : SKYLOOM_PLUGIN_PATH))
    {
        *errorText = m_library.errorText();
        return false;
    }
    m_stats = m_library.registryStats();
    m_plugin = m_library.createPlugin(makePtr<testhost::UtilityProvider>().get());
    if (!m_plugin)
    {
        *errorText = m_library.errorText();
        return false;
    }
    return true;
}

void PluginUnderTest::releaseExpectingNothingLeft()
{
    const auto stats = m_stats;
    release();
    EXPECT_TRUE(stats->waitUntilBalanced(kBalanceTimeout)) << "alive: " << stats->alive();
    EXPECT_EQ(0, stats->anomalies());
}

testhost::Settings withReceiverChoice(testhost::Settings settings)
{
    if (const char* isolate = std::getenv("SKYLOOM_ISOLATE_RECEIVER"))
        settings["IsolateReceiver"] = isolate;
    return settings;
}

EngineUnderTest startEngine(nx::sdk::analytics::IPlugin* plugin, const std::string& engineId,
    int servicePort, const testhost::Settings& moreSettings)
{
    EngineUnderTest result;
    const auto obtained = testhost::obtainEngine(plugin);
    if (!obtained.isOk() || !obtained.object)
        return result;
    result.engine = obtained.object;
    result.handler = makePtr<testhost::EngineHandler>();
    result.engine->setHandler(result.handler.get());
    result.engine->setEngineInfo(makePtr<testhost::EngineInfo>(engineId).get());
    result.printPrefix = "[engine_" + engineId.substr(0, 9) + "..}] ";
    testhost::Settings settings = moreSettings;
    settings["ServicePort"] = std::to_string(servicePort);
    if (!testhost::doSetSettings(result.engine.get(), withReceiverChoice(settings)).isOk())
    {
        result.engine.reset();
    }
    return result;
}

std::string serviceEndpoint(int port)
{
    return "tcp://*:" + std::to_string(port);
}

bool waitForServicePortBind(
    const EngineUnderTest& engine, int servicePort, milliseconds timeout)
{
    const testhost::LogFile log;
    const std::string line =
        engine.printPrefix + "threadFuncZeromqLoop bind " + serviceEndpoint(servicePort);
    const auto deadline = steady_clock::now() + timeout;
    for (;;)
    {
        for (const auto& logLine: log.lines())
        {
            if (logLine == line)
                return true;
        }
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
}

std::string waitForRelay(const EngineUnderTest& engine, int servicePort)
{
    // The cameras hear the relay in-process: once the service port is bound, it is live. The
    // diagnostic copy is for outside watchers only.
    if (!waitForServicePortBind(engine, servicePort, kRelayStartTimeout))
        return "the relay did not bind " + serviceEndpoint(servicePort);
    return "";
}

bool hasEvent(const std::vector<testhost::DiagnosticEventRecord>& events,
    IPluginDiagnosticEvent::Level level, const std::string& caption, const std::string& text,
    Match match)
{
    for (const auto& event: events)
    {
        if (event.level == level && event.caption == caption
            && (match == Match::whole
                ? event.description == text
                : event.description.find(text) != std::string::npos))
        {
            return true;
        }
    }
    return false;
}

//-------------------------------------------------------------------------------------------------
// CountingHandler.

void CountingHandler::handleMetadata(IMetadataPacket* metadataPacket)
{
    const auto packet = nx::sdk::queryInterface<ICompoundMetadataPacket>(metadataPacket);
    if (!packet || packet->timestampUs() <= 0 || packet->count() < 0)
        ++m_badPackets;
    else
        m_items += packet->count();
    if (const int64_t delayMs = m_delayMs.load(); delayMs > 0)
        std::this_thread::sleep_for(milliseconds(delayMs));
    ++m_packets;
}

void CountingHandler::handlePluginDiagnosticEvent(IPluginDiagnosticEvent* event)
{
    const std::lock_guard<std::mutex> lock(m_eventsMutex);
    m_events.push_back(testhost::copyDiagnosticEvent(event));
}

std::vector<testhost::DiagnosticEventRecord> CountingHandler::events() const
{
    const std::lock_guard<std::mutex> lock(m_eventsMutex);
    return m_events;
}

void CountingHandler::pushManifest(const IString* /*manifest*/)
{
}

bool CountingHandler::waitForPackets(int64_t count, milliseconds timeout) const
{
    const auto deadline = steady_clock::now() + timeout;
    while (m_packets.load() < count)
    {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

//-------------------------------------------------------------------------------------------------
// Camera.

Camera::Camera(std::string cameraId):
    id(std::move(cameraId)),
    info(makePtr<testhost::DeviceInfo>("{" + id + "}"))
{
}

bool Camera::open(IEngine* engine, IDeviceAgent::IHandler* handler,
    const testhost::Settings& settings)
{
    const auto obtained = testhost::obtainDeviceAgent(engine, info.get());
    if (!obtained.isOk() || !obtained.object)
        return false;
    agent = obtained.object;
    agent->setHandler(handler);
    return testhost::doSetSettings(agent.get(), settings).isOk() && pushFrame();
}

bool Camera::pushFrame(int64_t timestampUs)
{
    const auto frame = makePtr<testhost::CompressedVideoPacket>(timestampUs);
    return testhost::doPushDataPacket(agent.get(), frame.get()).isOk();
}

std::string cameraId(int n)
{
    char id[64];
    std::snprintf(id, sizeof(id), "dddddddd-0000-4000-8000-%012d", n);
    return id;
}

//-------------------------------------------------------------------------------------------------
// Messages. "src_uuid" must come first, written without blanks: the members are put together by
// hand around the body, which the JSON library writes.

std::string envelope(const std::string& cameraId, const nlohmann::json& body)
{
    const std::string text = body.dump();
    return R"({"src_uuid":")" + cameraId + "\"," + text.substr(1);
}

std::string alarmMessage(const std::string& cameraId, const std::string& caption,
    int objectCount, size_t descriptionSize)
{
    nlohmann::json objects = nlohmann::json::array();
    for (int i = 0; i < objectCount; ++i)
    {
        const double x = (i % 100) / 100.0;
        objects.push_back({
            {"tid", i},
            {"class", (i % 2) ? "lp" : "person"},
            {"bbox", {{"x0", x}, {"y0", 0.1}, {"x1", x + 0.05}, {"y1", 0.3}}},
            {"lp_text", "P" + std::to_string(i)},
            {"lp_group_str", "group"},
        });
    }
    return envelope(cameraId, {
        {"source", "intrusion"},
        {"caption", caption},
        {"description", std::string(descriptionSize, 'd')},
        {"event", {{"counter", {{"value", {objectCount}}}}, {"object_list", objects}}},
    });
}

std::string metaMessage(const std::string& cameraId, int annotationCount)
{
    nlohmann::json annotations = nlohmann::json::array();
    for (int i = 0; i < annotationCount; ++i)
    {
        annotations.push_back({
            {"track_id", i},
            {"class", "person"},
            {"bbox", {0.1, 0.1, 0.2, 0.4}},
        });
    }
    return envelope(cameraId, {{"meta", {{"metadata", {{"annotations", annotations}}}}}});
}

std::string messageOfSize(const std::string& cameraId, const std::string& caption, size_t size)
{
    const size_t frame = alarmMessage(cameraId, caption, 1, 0).size();
    return alarmMessage(cameraId, caption, 1, size > frame ? size - frame : 0);
}

//-------------------------------------------------------------------------------------------------
// Flooder.

Flooder::Flooder(int port, Generator generator, microseconds pause)
{
    m_thread = std::thread([this, port, generator = std::move(generator), pause]()
        { run(port, generator, pause); });
}

Flooder::~Flooder()
{
    stop();
}

int64_t Flooder::stop()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    return m_sent.load();
}

void Flooder::run(int port, Generator generator, microseconds pause)
{
    try
    {
        testhost::AiEnginePublisher publisher(port);
        if (!publisher.isOpen())
        {
            m_failed = true;
            return;
        }
        for (int64_t i = 0; !m_stop; ++i)
        {
            if (publisher.send(generator(i)))
                ++m_sent;
            if (pause > microseconds::zero())
                std::this_thread::sleep_for(pause);
            else if (i % 64 == 0)
                std::this_thread::yield(); //< Flat out, but the other threads still get a turn.
        }
    }
    catch (...)
    {
        m_failed = true;
    }
}

bool deliverUntil(int port, const std::string& probe, const std::function<bool()>& arrived,
    milliseconds timeout)
{
    testhost::AiEnginePublisher publisher(port);
    return publisher.isOpen() && publisher.sendUntil(probe, arrived, timeout, 100ms);
}

//-------------------------------------------------------------------------------------------------
// The process.

pid_t servicePortProcess()
{
    const std::vector<pid_t> receivers = testhost::receiverProcesses();
    return receivers.empty() ? getpid() : receivers.front();
}

#if defined(__has_feature)
    #if __has_feature(address_sanitizer)
        #define SKYLOOM_HAS_ASAN 1
    #endif
    #if __has_feature(thread_sanitizer)
        #define SKYLOOM_HAS_TSAN 1
    #endif
#endif

bool builtWithAddressSanitizer()
{
#if defined(SKYLOOM_HAS_ASAN) || defined(__SANITIZE_ADDRESS__)
    return true;
#else
    return false;
#endif
}

bool builtWithThreadSanitizer()
{
#if defined(SKYLOOM_HAS_TSAN) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

bool waitUntil(const std::function<bool()>& condition, milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    while (!condition())
    {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

bool waitUntilAlive(const testhost::RegistryStats& stats, int64_t count, milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    while (stats.alive() != count)
    {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

} // namespace skyloom::hardening
