// One AI engine, three servers: three engines of the loaded library in this process, each on a
// service port of its own, and one PUB socket connected to all three, as a site's AI engine is.
// With "ReceiveMessagesFor" "ownCameras" each server gets only its own camera's messages (counted
// in bytes and messages at its service port, so a message that crossed to a server that does not
// hold its camera would show), raises no "Messages for no camera", and a camera that moves to
// another server gets its messages there within a second and no longer at the old one; a camera
// stays subscribed until its last agent on the server goes. A server that takes every message
// anyway (a camera id too long for a subscription) counts the others' messages as for no camera,
// without the warning. With "allCameras" (switched on the live ports, the AI engine's connections
// kept) every server gets everything, warning included. Behind an XSUB/XPUB forwarder the
// subscriptions still pass, so the AI engine sends only what some server holds.
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <zmq.h>

#include <skyloom/testhost/ai_engine_publisher.h>

#include "hardening_support.h"
#include "metrics_text.h"

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;

const std::array<int, 3> kPorts = {
    testhost::testPort(0), testhost::testPort(1), testhost::testPort(2)};
const int kForwarderPort = testhost::testPort(3);
constexpr int kMessagesPerCamera = 40;
constexpr milliseconds kSettleTimeout = 15s;
constexpr char kNoCamera[] = "Messages for no camera";
constexpr char kListening[] = "Listening for the AI engine";
constexpr char kConnected[] = "AI engine connected";
constexpr char kDisconnected[] = "AI engine disconnected";

/** What one server's metrics file says of its service port. */
struct PortCounts
{
    double messages = -1;
    double bytes = -1;
    double noCamera = -1;
    double enginesConnected = -1;
    double engineConnections = -1;
    double engineDisconnects = -1;
};

struct Server
{
    std::string engineId;
    int port = 0;
    EngineUnderTest engine;
    int metricsWrites = 0;
};

/**
 * A ZeroMQ forwarder as a site puts one between its AI engines and its servers: an XSUB that the
 * engines connect to, an XPUB connected to every server's service port, subscriptions passed
 * upstream and messages downstream. Counts the messages that reached it from the engines.
 * Threads: its own, started and joined by the object; messages() from any thread.
 */
class Forwarder
{
public:
    Forwarder(int enginesPort, const std::array<int, 3>& serverPorts)
    {
        m_engines = zmq_socket(m_context, ZMQ_XSUB);
        m_servers = zmq_socket(m_context, ZMQ_XPUB);
        const std::string bound = "tcp://127.0.0.1:" + std::to_string(enginesPort);
        m_open = m_engines && m_servers && zmq_bind(m_engines, bound.c_str()) == 0;
        for (const int port: serverPorts)
        {
            const std::string server = "tcp://127.0.0.1:" + std::to_string(port);
            m_open = m_open && zmq_connect(m_servers, server.c_str()) == 0;
        }
        if (m_open)
            m_thread = std::thread([this]() { run(); });
    }

    ~Forwarder()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        for (void* socket: {m_engines, m_servers})
        {
            if (socket)
            {
                const int linger = 0;
                zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof(linger));
                zmq_close(socket);
            }
        }
        zmq_ctx_term(m_context);
    }

    bool isOpen() const { return m_open; }
    int64_t messages() const { return m_messages; }

private:
    void run()
    {
        while (!m_stop)
        {
            zmq_pollitem_t items[] = {{m_engines, 0, ZMQ_POLLIN, 0}, {m_servers, 0, ZMQ_POLLIN, 0}};
            if (zmq_poll(items, 2, 50) <= 0)
                continue;
            if (items[0].revents & ZMQ_POLLIN)
                m_messages += pass(m_engines, m_servers);
            if (items[1].revents & ZMQ_POLLIN)
                pass(m_servers, m_engines);
        }
    }

    /** Passes what waits on `from` (whole messages); how many messages it passed. */
    static int pass(void* from, void* to)
    {
        int messages = 0;
        zmq_msg_t part;
        zmq_msg_init(&part);
        while (zmq_msg_recv(&part, from, ZMQ_DONTWAIT) >= 0)
        {
            const bool more = zmq_msg_more(&part);
            zmq_msg_send(&part, to, more ? ZMQ_SNDMORE : 0);
            if (!more)
                ++messages;
        }
        zmq_msg_close(&part);
        return messages;
    }

    void* m_context = zmq_ctx_new();
    void* m_engines = nullptr;
    void* m_servers = nullptr;
    bool m_open = false;
    std::atomic<bool> m_stop{false};
    std::atomic<int64_t> m_messages{0};
    std::thread m_thread;
};

class OwnCamerasTest: public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string errorText;
        ASSERT_TRUE(m_plugin.load(&errorText)) << errorText;
        for (size_t i = 0; i < kPorts.size(); ++i)
        {
            Server& server = m_servers[i];
            server.engineId = "{0c0c0c0c-0000-4000-8000-00000000000" + std::to_string(i + 1) + "}";
            server.port = kPorts[i];
            server.engine = startEngine(m_plugin.plugin(), server.engineId, server.port,
                settingsOf(server, "ownCameras"));
            ASSERT_TRUE(server.engine.engine) << i;
        }
        for (const Server& server: m_servers)
            ASSERT_EQ("", waitForRelay(server.engine, server.port));
        ASSERT_TRUE(m_publisher.isOpen()) << m_publisher.errorText();
        for (size_t i = 1; i < kPorts.size(); ++i)
            ASSERT_TRUE(m_publisher.alsoConnect(kPorts[i])) << m_publisher.errorText();
    }

    void TearDown() override
    {
        for (auto& camera: m_cameras)
            camera.reset();
        for (Server& server: m_servers)
            server.engine = {};
        m_plugin.release();
    }

    static testhost::Settings settingsOf(const Server& server, const std::string& receiveFor,
        const std::string& metricsFile = "")
    {
        testhost::Settings settings{{"ServicePort", std::to_string(server.port)},
            {"ReceiveMessagesFor", receiveFor}, {"MetricsFile", metricsFile}};
        if (const char* isolate = std::getenv("SKYLOOM_ISOLATE_RECEIVER"))
            settings["IsolateReceiver"] = isolate;
        return settings;
    }

    /** Sets "ReceiveMessagesFor" on every server (the ports stay open). */
    void receiveFor(const std::string& value)
    {
        for (Server& server: m_servers)
        {
            const auto result = testhost::doSetSettings(
                server.engine.engine.get(), settingsOf(server, value));
            ASSERT_TRUE(result.isOk() && result.errors.empty()) << value;
        }
        m_receiveFor = value;
    }

    /** The server's counters now: a new metrics file path is written at once. */
    PortCounts countsOf(Server& server)
    {
        const std::string path = std::filesystem::current_path().string() + "/metrics-"
            + server.engineId.substr(1, 8) + "-" + std::to_string(++server.metricsWrites)
            + ".prom";
        std::filesystem::remove(path);
        const auto result = testhost::doSetSettings(
            server.engine.engine.get(), settingsOf(server, m_receiveFor, path));
        EXPECT_TRUE(result.isOk() && result.errors.empty());
        const auto deadline = steady_clock::now() + kSettleTimeout;
        while (access(path.c_str(), R_OK) != 0 && steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        std::ifstream file(path);
        const std::string text((std::istreambuf_iterator<char>(file)), {});
        const skyloom::host::ReadCounters read = skyloom::host::countersFromMetrics(text);
        EXPECT_TRUE(read.counters) << path << ": " << read.error;
        if (!read.counters)
            return {};
        const skyloom::host::EngineCounts& engine = read.counters->engine;
        return {static_cast<double>(engine.received), static_cast<double>(engine.receivedBytes),
            static_cast<double>(engine.noCamera), static_cast<double>(engine.aiEnginesConnected),
            static_cast<double>(engine.aiEngineConnections),
            static_cast<double>(engine.aiEngineDisconnects)};
    }

    /** Opens camera `n` (0: A, 1: B, 2: C) on the server. */
    void openCamera(int n, Server& server)
    {
        m_handlers[n] = nx::sdk::makePtr<CountingHandler>();
        m_cameras[n] = std::make_unique<Camera>(cameraId(900 + n));
        ASSERT_TRUE(m_cameras[n]->open(server.engine.engine.get(), m_handlers[n].get()));
    }

    /** Sends the camera's message until its handler has a packet; the time since `start`. */
    microseconds reachCamera(int n, steady_clock::time_point start = steady_clock::now())
    {
        return reachCamera(n, &m_publisher, start);
    }

    microseconds reachCamera(int n, testhost::AiEnginePublisher* publisher,
        steady_clock::time_point start = steady_clock::now())
    {
        CountingHandler& handler = *m_handlers[n];
        const int64_t before = handler.packets();
        EXPECT_TRUE(publisher->sendUntil(message(n),
            [&]() { return handler.packets() > before; }, kDeliveryTimeout, 5ms))
            << "camera " << n;
        return duration_cast<microseconds>(steady_clock::now() - start);
    }

    /** The servers' counters once their message counts stop moving. */
    std::array<PortCounts, 3> settledCounts()
    {
        std::array<PortCounts, 3> counts;
        for (auto previous = counts; ; previous = counts)
        {
            std::this_thread::sleep_for(500ms);
            for (size_t i = 0; i < m_servers.size(); ++i)
                counts[i] = countsOf(m_servers[i]);
            bool still = true;
            for (size_t i = 0; i < m_servers.size(); ++i)
                still = still && counts[i].messages == previous[i].messages;
            if (still)
                return counts;
        }
    }

    /**
     * Sends kMessagesPerCamera of each named camera's messages once; what each server received
     * of them. Messages sent before (still on their way) are counted before.
     */
    std::array<PortCounts, 3> sendOnce(const std::vector<int>& cameras)
    {
        return sendOnce(cameras, &m_publisher);
    }

    std::array<PortCounts, 3> sendOnce(
        const std::vector<int>& cameras, testhost::AiEnginePublisher* publisher)
    {
        const std::array<PortCounts, 3> before = settledCounts();
        for (int round = 0; round < kMessagesPerCamera; ++round)
        {
            for (const int n: cameras)
                EXPECT_TRUE(publisher->send(message(n)));
        }
        const std::array<PortCounts, 3> after = settledCounts();
        std::array<PortCounts, 3> delta;
        for (size_t i = 0; i < m_servers.size(); ++i)
        {
            delta[i] = {after[i].messages - before[i].messages,
                after[i].bytes - before[i].bytes, after[i].noCamera - before[i].noCamera};
        }
        return delta;
    }

    /** Camera n's alarm: of a size of its own, so that bytes tell whose messages came. */
    static std::string message(int n)
    {
        return alarmMessage(cameraId(900 + n), "Intrusion", 1, 100 * (n + 1));
    }

    static double bytesOf(int n) { return static_cast<double>(message(n).size()); }

    PluginUnderTest m_plugin;
    std::array<Server, 3> m_servers;
    std::array<std::unique_ptr<Camera>, 3> m_cameras;
    std::array<nx::sdk::Ptr<CountingHandler>, 3> m_handlers;
    std::string m_receiveFor = "ownCameras";
    testhost::AiEnginePublisher m_publisher{kPorts[0]};
};

TEST_F(OwnCamerasTest, EachServerGetsOnlyItsCamerasAndACameraThatMovesIsFollowedWithinASecond)
{
    for (int n = 0; n < 3; ++n)
        openCamera(n, m_servers[n]);
    for (int n = 0; n < 3; ++n)
        reachCamera(n);

    // Each message went to the one server that holds its camera: counted there, nowhere else.
    const auto own = sendOnce({0, 1, 2});
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(kMessagesPerCamera, own[i].messages) << "server " << i;
        EXPECT_EQ(kMessagesPerCamera * bytesOf(i), own[i].bytes) << "server " << i;
        EXPECT_EQ(0, own[i].noCamera) << "server " << i;
    }

    // B moves from the second server to the third, as when the second fails.
    m_cameras[1].reset();
    const auto created = steady_clock::now();
    openCamera(1, m_servers[2]);
    const microseconds followed = reachCamera(1, created);
    std::printf("camera moved: its messages reached the new server %.1f ms after its agent was"
        " created\n", static_cast<double>(followed.count()) / 1000.0);
    EXPECT_LT(followed, 1s);
    const auto moved = sendOnce({1});
    EXPECT_EQ(0, moved[0].messages);
    EXPECT_EQ(0, moved[1].messages);
    EXPECT_EQ(kMessagesPerCamera, moved[2].messages);
    EXPECT_EQ(kMessagesPerCamera * bytesOf(1), moved[2].bytes);

    for (const Server& server: m_servers)
        EXPECT_EQ(0, countEvents(*server.engine.handler, kNoCamera)) << server.engineId;
}

TEST_F(OwnCamerasTest, AllCamerasOnTheLivePortsSendsEveryServerEverythingWithTheWarning)
{
    for (int n = 0; n < 3; ++n)
        openCamera(n, m_servers[n]);
    for (int n = 0; n < 3; ++n)
        reachCamera(n);

    // What the switches must leave as it is: the AI engine's connection to each server, and
    // each server's service port.
    std::array<PortCounts, 3> connectedBefore;
    std::array<int, 3> connectedEventsBefore{};
    for (size_t i = 0; i < m_servers.size(); ++i)
    {
        connectedBefore[i] = countsOf(m_servers[i]);
        connectedEventsBefore[i] = countEvents(*m_servers[i].engine.handler, kConnected);
        EXPECT_EQ(1, connectedBefore[i].enginesConnected) << "server " << i;
    }

    receiveFor("allCameras");
    // Every message now reaches every server: A's through the third once it is subscribed.
    ASSERT_TRUE(m_publisher.sendUntil(message(0),
        [&]() { return countsOf(m_servers[2]).noCamera > 0; }, kDeliveryTimeout, 50ms));
    const auto all = sendOnce({0});
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(kMessagesPerCamera, all[i].messages) << "server " << i;
        EXPECT_EQ(kMessagesPerCamera * bytesOf(0), all[i].bytes) << "server " << i;
        EXPECT_EQ(i == 0 ? 0 : kMessagesPerCamera, all[i].noCamera) << "server " << i;
    }
    for (int i = 1; i < 3; ++i)
    {
        EXPECT_TRUE(waitForEvent(*m_servers[i].engine.handler,
            IPluginDiagnosticEvent::Level::warning, kNoCamera, "", kSettleTimeout))
            << "server " << i;
    }

    // And back, again without closing a port: the other servers stop getting A's messages
    // once the unsubscription of everything has reached the AI engine.
    receiveFor("ownCameras");
    bool narrowed = false;
    for (const auto deadline = steady_clock::now() + kSettleTimeout;
        !narrowed && steady_clock::now() < deadline;)
    {
        const auto own = sendOnce({0});
        narrowed = own[1].messages == 0 && own[2].messages == 0;
        if (narrowed)
        {
            EXPECT_EQ(kMessagesPerCamera, own[0].messages);
        }
    }
    EXPECT_TRUE(narrowed);

    for (size_t i = 0; i < m_servers.size(); ++i)
    {
        const PortCounts after = countsOf(m_servers[i]);
        EXPECT_EQ(1, after.enginesConnected) << "server " << i;
        EXPECT_EQ(connectedBefore[i].engineConnections, after.engineConnections) << "server " << i;
        EXPECT_EQ(connectedBefore[i].engineDisconnects, after.engineDisconnects) << "server " << i;
        const testhost::EngineHandler& handler = *m_servers[i].engine.handler;
        EXPECT_EQ(connectedEventsBefore[i], countEvents(handler, kConnected)) << "server " << i;
        EXPECT_EQ(0, countEvents(handler, kDisconnected)) << "server " << i;
        EXPECT_EQ(1, countEvents(handler, kListening)) << "server " << i;
    }
}

TEST_F(OwnCamerasTest, ACameraStaysSubscribedUntilItsLastAgentOnTheServerGoes)
{
    // Two agents of camera A on the first server, as when the server asks for a second one
    // before it releases the first.
    openCamera(0, m_servers[0]);
    const auto secondHandler = nx::sdk::makePtr<CountingHandler>();
    auto secondAgent = std::make_unique<Camera>(cameraId(900));
    ASSERT_TRUE(secondAgent->open(m_servers[0].engine.engine.get(), secondHandler.get()));
    reachCamera(0);

    m_cameras[0].reset();
    // Longer than a camera that moves takes to be followed: an unsubscription would be through.
    std::this_thread::sleep_for(1s);
    const int64_t packetsBefore = secondHandler->packets();
    const auto kept = sendOnce({0});
    EXPECT_EQ(kMessagesPerCamera, kept[0].messages);
    EXPECT_EQ(0, kept[0].noCamera);
    EXPECT_TRUE(secondHandler->waitForPackets(packetsBefore + kMessagesPerCamera, kSettleTimeout))
        << secondHandler->packets() - packetsBefore;

    secondAgent.reset();
    bool stopped = false;
    for (const auto deadline = steady_clock::now() + kSettleTimeout;
        !stopped && steady_clock::now() < deadline;)
    {
        stopped = sendOnce({0})[0].messages == 0;
    }
    EXPECT_TRUE(stopped) << "the first server still subscribes to camera A";
}

// A camera id longer than a subscription prefix may be: its server subscribes to every message,
// so that the camera is not left without, and so gets the other servers' cameras' messages too.
// They are counted as for no camera; with "ownCameras" that is expected, and not warned about.
TEST_F(OwnCamerasTest, AServerThatTakesEveryMessageCountsOtherCamerasWithoutTheWarning)
{
    const auto longHandler = nx::sdk::makePtr<CountingHandler>();
    Camera longCamera(cameraId(999) + "-" + std::string(256, 'e'));
    ASSERT_TRUE(longCamera.open(m_servers[0].engine.engine.get(), longHandler.get()));
    openCamera(2, m_servers[2]);
    ASSERT_TRUE(m_publisher.sendUntil(alarmMessage(longCamera.id, "Intrusion"),
        [&]() { return longHandler->packets() > 0; }, kDeliveryTimeout, 5ms));
    reachCamera(2);

    const auto counts = sendOnce({2});
    EXPECT_EQ(kMessagesPerCamera, counts[0].messages);
    EXPECT_EQ(kMessagesPerCamera, counts[0].noCamera);
    EXPECT_EQ(0, counts[1].messages);
    EXPECT_EQ(kMessagesPerCamera, counts[2].messages);
    EXPECT_EQ(0, counts[2].noCamera);
    for (const Server& server: m_servers)
        EXPECT_EQ(0, countEvents(*server.engine.handler, kNoCamera)) << server.engineId;
}

// Behind a forwarder the servers' subscriptions still reach the AI engine through it: the engine
// sends only what some server holds (a camera that no server holds never leaves it), and the
// forwarder sends each server only its own camera's messages.
TEST_F(OwnCamerasTest, BehindAForwarderTheEngineSendsOnlyWhatSomeServerHoldsAndEachServerItsOwn)
{
    Forwarder forwarder(kForwarderPort, kPorts);
    ASSERT_TRUE(forwarder.isOpen()) << zmq_strerror(zmq_errno());
    testhost::AiEnginePublisher engine(kForwarderPort);
    ASSERT_TRUE(engine.isOpen()) << engine.errorText();
    for (int n = 0; n < 3; ++n)
    {
        openCamera(n, m_servers[n]);
        reachCamera(n, &engine);
    }

    settledCounts(); //< The probes still on their way are not this round's.
    const int64_t forwardedBefore = forwarder.messages();
    constexpr int kNobodysCamera = 3;
    const auto counts = sendOnce({0, 1, 2, kNobodysCamera}, &engine);
    for (int n = 0; n < 3; ++n)
    {
        EXPECT_EQ(kMessagesPerCamera, counts[n].messages) << "server " << n;
        EXPECT_EQ(kMessagesPerCamera * bytesOf(n), counts[n].bytes) << "server " << n;
        EXPECT_EQ(0, counts[n].noCamera) << "server " << n;
    }
    EXPECT_EQ(3 * kMessagesPerCamera, forwarder.messages() - forwardedBefore);
}

} // namespace
} // namespace skyloom::hardening
