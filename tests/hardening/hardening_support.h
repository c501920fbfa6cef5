// What the fault and load tests share: the loaded plugin, engines, cameras, a flooding publisher,
// a counting handler, AI engine messages of any size, readings of the process. Use it from the
// test's thread, except Flooder, which owns a thread (and its ZeroMQ socket) until stop(), and
// CountingHandler, which the plugin calls on its threads (atomic counters). Returned Ptrs own
// their reference.
#pragma once

#include <atomic>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json_fwd.hpp>

#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/testhost.h>

namespace skyloom::hardening {

using namespace std::chrono_literals;

/** Generous: the relay binds five seconds after its engine is created, and sanitizers are slow. */
constexpr std::chrono::milliseconds kRelayStartTimeout = 60s;
constexpr std::chrono::milliseconds kDeliveryTimeout = 30s;
constexpr std::chrono::milliseconds kBalanceTimeout = 60s;

constexpr int64_t kFrameTimestampUs = 1598863206064000;

/** The plugin library, loaded once per process, and one plugin object. */
class PluginUnderTest
{
public:
    /** Loads the library if this process has not yet; false with the reason on failure. */
    bool load(std::string* errorText);

    nx::sdk::analytics::IPlugin* plugin() const { return m_plugin.get(); }
    const std::shared_ptr<testhost::RegistryStats>& stats() const { return m_stats; }

    /** Releases the plugin object (the library stays loaded). */
    void release() { m_plugin.reset(); }

    /** Releases the plugin object; expects every object the plugin made gone, no anomaly. */
    void releaseExpectingNothingLeft();

private:
    testhost::PluginLibrary m_library;
    nx::sdk::Ptr<nx::sdk::analytics::IPlugin> m_plugin;
    std::shared_ptr<testhost::RegistryStats> m_stats;
};

struct EngineUnderTest
{
    nx::sdk::Ptr<nx::sdk::analytics::IEngine> engine;
    nx::sdk::Ptr<testhost::EngineHandler> handler;
    std::string printPrefix; //< "[engine_{xxxxxxxx..}] "
};

/**
 * Obtains an engine with its handler, engine info, "ServicePort" and `moreSettings`; null engine
 * on failure.
 */
EngineUnderTest startEngine(nx::sdk::analytics::IPlugin* plugin, const std::string& engineId,
    int servicePort, const testhost::Settings& moreSettings = {});

/**
 * The settings with "IsolateReceiver" as the suite runs (SKYLOOM_ISOLATE_RECEIVER), if it names
 * it: settings missing from a call are at their defaults.
 */
testhost::Settings withReceiverChoice(testhost::Settings settings);

/** Waits until the relay logged its bind of the service port. */
bool waitForServicePortBind(
    const EngineUnderTest& engine, int servicePort, std::chrono::milliseconds timeout);

/** Waits until the relay is live (its service port bound); on failure the reason. */
std::string waitForRelay(const EngineUnderTest& engine, int servicePort);

/** The service port's endpoint as the relay logs it: any interface, the port. */
std::string serviceEndpoint(int port);

/** Counts packets and their items; optionally holds each packet, like a slow server. */
class CountingHandler:
    public testhost::HostRefCountable<nx::sdk::analytics::IDeviceAgent::IHandler>
{
public:
    virtual void handleMetadata(nx::sdk::analytics::IMetadataPacket* metadataPacket) override;
    virtual void handlePluginDiagnosticEvent(nx::sdk::IPluginDiagnosticEvent* event) override;
    virtual void pushManifest(const nx::sdk::IString* manifest) override;

    void setPacketDelay(std::chrono::milliseconds delay) { m_delayMs = delay.count(); }

    int64_t packets() const { return m_packets.load(); }
    int64_t items() const { return m_items.load(); }
    int64_t badPackets() const { return m_badPackets.load(); }

    /** True once at least `count` packets have arrived. */
    bool waitForPackets(int64_t count, std::chrono::milliseconds timeout) const;

    /** The diagnostic events so far. */
    std::vector<testhost::DiagnosticEventRecord> events() const;

private:
    mutable std::mutex m_eventsMutex;
    std::vector<testhost::DiagnosticEventRecord> m_events;
    std::atomic<int64_t> m_delayMs{0};
    std::atomic<int64_t> m_packets{0};
    std::atomic<int64_t> m_items{0};
    /** Null packets, or packets whose timestamp is not the frame time. */
    std::atomic<int64_t> m_badPackets{0};
};

/** One camera: its device information, a device agent of the engine, the agent's handler. */
struct Camera
{
    explicit Camera(std::string cameraId); //< Without braces, as the AI engine writes it.

    /** Obtains the agent, sets the handler and settings, pushes one frame; false on failure. */
    bool open(nx::sdk::analytics::IEngine* engine,
        nx::sdk::analytics::IDeviceAgent::IHandler* handler,
        const testhost::Settings& settings = {{"enableMetadata", "true"}, {"showCounter", "true"}});

    bool pushFrame(int64_t timestampUs = kFrameTimestampUs);

    std::string id;
    nx::sdk::Ptr<testhost::DeviceInfo> info;
    nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent> agent;
};

// Diagnostic events, of an EngineHandler or a CountingHandler.

enum class Match { part, whole };

/** Whether an event of the level and caption is there whose description holds `text` (or is
 * it, with Match::whole). */
bool hasEvent(const std::vector<testhost::DiagnosticEventRecord>& events,
    nx::sdk::IPluginDiagnosticEvent::Level level, const std::string& caption,
    const std::string& text, Match match = Match::part);

/** How many events of the caption the handler has had. */
template<class Handler>
int countEvents(const Handler& handler, const std::string& caption)
{
    int count = 0;
    for (const auto& event: handler.events())
        count += event.caption == caption ? 1 : 0;
    return count;
}

/** Waits until the handler has such an event; false if none came within the timeout. */
template<class Handler>
bool waitForEvent(const Handler& handler, nx::sdk::IPluginDiagnosticEvent::Level level,
    const std::string& caption, const std::string& text, std::chrono::milliseconds timeout,
    Match match = Match::part)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!hasEvent(handler.events(), level, caption, text, match))
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

/** A camera id of the form "dddddddd-0000-4000-8000-<12 digits of n>". */
std::string cameraId(int n);

// AI engine messages.

/** The members of the JSON object `body` as a message for the camera ("src_uuid" first). */
std::string envelope(const std::string& cameraId, const nlohmann::json& body);

/** An alarm with a counter and `objectCount` objects in its "object_list". */
std::string alarmMessage(const std::string& cameraId, const std::string& caption,
    int objectCount = 1, size_t descriptionSize = 1);

/** A detection message with `annotationCount` annotations. */
std::string metaMessage(const std::string& cameraId, int annotationCount = 1);

/** A message of about `size` bytes (an alarm whose description fills it up). */
std::string messageOfSize(const std::string& cameraId, const std::string& caption, size_t size);

/**
 * Publishes to a service port from a thread of its own, as fast as it can (or with a pause
 * between messages), until stopped. The generator runs on that thread.
 */
class Flooder
{
public:
    using Generator = std::function<std::string(int64_t index)>;

    Flooder(int port, Generator generator,
        std::chrono::microseconds pause = std::chrono::microseconds::zero());
    ~Flooder();
    Flooder(const Flooder&) = delete;
    Flooder& operator=(const Flooder&) = delete;

    /** Stops and joins the thread; the number of messages handed to ZeroMQ. */
    int64_t stop();

    int64_t sent() const { return m_sent.load(); }
    bool failed() const { return m_failed.load(); }

private:
    void run(int port, Generator generator, std::chrono::microseconds pause);

private:
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_failed{false};
    std::atomic<int64_t> m_sent{0};
    std::thread m_thread;
};

/**
 * Connects a publisher to the service port and sends `probe` until `arrived()` says it got
 * through; false if that does not happen within the timeout.
 */
bool deliverUntil(int port, const std::string& probe, const std::function<bool()>& arrived,
    std::chrono::milliseconds timeout = kDeliveryTimeout);

// The process.

using testhost::openDescriptorCount;
using testhost::residentKiB;

/** The process that holds the service port: the receiver, or this one if none runs. */
pid_t servicePortProcess();

/** True when built with AddressSanitizer or ThreadSanitizer (memory readings differ). */
bool builtWithAddressSanitizer();
bool builtWithThreadSanitizer();

/**
 * Waits until `condition` holds, looking every 10 ms; false if it still does not at the timeout.
 * The timeout is for failures only: a test waits for what it checks, never for a fixed time.
 */
bool waitUntil(const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = kDeliveryTimeout);

/** Waits until the registry counts exactly `count` objects alive. */
bool waitUntilAlive(const testhost::RegistryStats& stats, int64_t count,
    std::chrono::milliseconds timeout);

/**
 * Base of a test suite whose tests share one engine of the loaded plugin (its relay needs five
 * seconds to start) and run in the order written. Each test releases what it created, so that
 * only the plugin and the engine stay alive between tests. Suite: the deriving class, so that
 * every suite has shared objects of its own.
 */
template<class Suite>
class SharedEngineSuite: public ::testing::Test
{
protected:
    /** Call from the suite's SetUpTestSuite(); failures surface in every test's SetUp(). */
    static void startSharedEngine(int servicePort, const char* engineId)
    {
        s_plugin = new PluginUnderTest();
        if (!s_plugin->load(&s_errorText))
            return;
        s_engine = startEngine(s_plugin->plugin(), engineId, servicePort);
        if (!s_engine.engine)
        {
            s_errorText = "no engine";
            return;
        }
        s_errorText = waitForRelay(s_engine, servicePort);
        if (!s_errorText.empty())
            return;
        // The suite run on purpose without the receiver process: it must say so.
        if (std::getenv("SKYLOOM_EXPECT_IN_PROCESS")
            && !waitForEvent(*s_engine.handler, nx::sdk::IPluginDiagnosticEvent::Level::warning,
                "AI engine receiver runs inside the server", "", kRelayStartTimeout))
        {
            s_errorText = "no event: AI engine receiver runs inside the server";
            return;
        }
        // The "Listening" event is pushed just after the bind line: its object must be gone
        // before the count is taken.
        (void) waitForEvent(*s_engine.handler, nx::sdk::IPluginDiagnosticEvent::Level::info,
            "Listening for the AI engine", "", kRelayStartTimeout);
        int64_t alive = s_plugin->stats()->alive();
        for (int64_t previous = -1; alive != previous; alive = s_plugin->stats()->alive())
        {
            previous = alive;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        s_baseline = alive;
    }

    static void TearDownTestSuite()
    {
        s_engine = {};
        if (s_plugin)
            s_plugin->release();
        // The library is never unloaded; neither is what it was loaded with.
    }

    virtual void SetUp() override
    {
        ASSERT_TRUE(s_errorText.empty()) << s_errorText;
        ASSERT_TRUE(s_engine.engine);
    }

    /** Every object made by the test is gone: only the plugin and the engine are left. */
    static void expectOnlyEngineLeft()
    {
        EXPECT_TRUE(waitUntilAlive(*s_plugin->stats(), s_baseline, kBalanceTimeout))
            << "alive: " << s_plugin->stats()->alive() << ", expected " << s_baseline;
        EXPECT_EQ(0, s_plugin->stats()->anomalies());
    }

    /** A camera (id n) with an agent of the shared engine, a video frame and a counting handler. */
    struct OpenCamera
    {
        explicit OpenCamera(int n):
            camera(cameraId(n)), handler(nx::sdk::makePtr<CountingHandler>())
        {
            EXPECT_TRUE(camera.open(s_engine.engine.get(), handler.get()));
        }
        Camera camera;
        nx::sdk::Ptr<CountingHandler> handler;
    };

    /** Never deleted: the library outlives the tests. */
    static inline PluginUnderTest* s_plugin = nullptr;
    static inline EngineUnderTest s_engine;
    static inline int64_t s_baseline = 0;
    static inline std::string s_errorText;
};

} // namespace skyloom::hardening
