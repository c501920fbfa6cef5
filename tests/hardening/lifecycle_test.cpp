// Objects of the loaded plugin library released and reconfigured while the AI engine's messages
// flow flat out: settings and handlers replaced under the receive threads, device agents
// released in the middle of their work, and the engine released under its relay and its agents.
// The same binary also runs under valgrind (hardening_memcheck), so the rounds are few and the
// waits are for events, not for time.
//
// One engine serves the binary (its relay needs five seconds to start); the tests run in the
// order written and the last one releases the engine. Each test releases what it created, so
// that the registry is back to the plugin and the engine alone; at the end it is empty.
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

/** How much slower than natively the code runs here: valgrind's run sets SKYLOOM_SLOWDOWN. */
double slowdown()
{
    const char* value = std::getenv("SKYLOOM_SLOWDOWN");
    const double factor = value ? std::atof(value) : 1.0;
    return factor >= 1.0 ? factor : 1.0;
}


using namespace std::chrono;
using nx::sdk::makePtr;
using nx::sdk::Ptr;

const int kServicePort = testhost::testPort(0);
constexpr char kEngineId[] = "{2b2b2b2b-0000-4000-8000-000000000002}";

/** Packets a handler must see in each phase before the next change (proves the flow). */
constexpr int64_t kPacketsPerPhase = 3;

class HardeningLifecycle: public SharedEngineSuite<HardeningLifecycle>
{
protected:
    static void SetUpTestSuite() { startSharedEngine(kServicePort, kEngineId); }
};

/** Alarms and detections for the given cameras, in turn. */
Flooder::Generator messagesFor(std::vector<std::string> cameraIds)
{
    std::vector<std::string> messages;
    for (const auto& id: cameraIds)
    {
        messages.push_back(alarmMessage(id, "Flow", 3));
        messages.push_back(metaMessage(id, 3));
    }
    return [messages](int64_t i) { return messages[static_cast<size_t>(i) % messages.size()]; };
}

/**
 * Pushes video frames to the agent from a thread of its own, as the server's video thread. A
 * push while the agent has no handler is refused (and logged) by the agent: that is expected.
 */
class FrameFeeder
{
public:
    explicit FrameFeeder(Camera& camera):
        m_thread([this, &camera]()
            {
                for (int64_t i = 1; !m_stop; ++i)
                {
                    camera.pushFrame(kFrameTimestampUs + i * 40000);
                    ++m_pushes;
                    std::this_thread::sleep_for(5ms);
                }
            })
    {
    }

    ~FrameFeeder() { stop(); }

    /** The number of frames pushed. */
    int stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_pushes.load();
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_pushes{0};
    std::thread m_thread;
};

//-------------------------------------------------------------------------------------------------

TEST_F(HardeningLifecycle, SettingsAndHandlerReplacedWhileMessagesFlow)
{
    const auto first = makePtr<CountingHandler>();
    const auto second = makePtr<CountingHandler>();
    Camera camera(cameraId(11));
    ASSERT_TRUE(camera.open(s_engine.engine.get(), first.get()));

    Flooder flooder(kServicePort, messagesFor({camera.id}));
    FrameFeeder feeder(camera);
    ASSERT_TRUE(first->waitForPackets(1, kDeliveryTimeout)) << "nothing flows";

    const testhost::Settings settings[] = {
        {{"enableMetadata", "true"}, {"enableDebugDump", "true"}, {"showCounter", "true"},
            {"timeCorrection", "-200"}},
        {{"enableMetadata", "false"}, {"enableDebugDump", "false"}, {"showCounter", "false"},
            {"skipNullFaceObject", "false"}, {"timeCorrection", "5000"}},
        {{"enableMetadata", "true"}, {"skipNullPlateObject", "false"}, {"timeCorrection", "x"}},
    };
    CountingHandler* const handlers[] = {first.get(), second.get()};
    for (int round = 0; round < 6; ++round)
    {
        SCOPED_TRACE(round);
        const auto result = testhost::doSetSettings(camera.agent.get(), settings[round % 3]);
        EXPECT_TRUE(result.isOk()) << result.errorMessage;

        // No handler for a while: the packets of that time are dropped by the agent.
        camera.agent->setHandler(nullptr);
        std::this_thread::sleep_for(20ms);

        CountingHandler* const handler = handlers[round % 2];
        const int64_t before = handler->packets();
        camera.agent->setHandler(handler);
        EXPECT_TRUE(handler->waitForPackets(before + kPacketsPerPhase, kDeliveryTimeout));
    }

    EXPECT_GT(flooder.stop(), 0);
    EXPECT_FALSE(flooder.failed());
    EXPECT_GT(feeder.stop(), 0);
    camera.agent.reset();

    // The agent let go of both handlers, and every packet was whole.
    EXPECT_EQ(1, first->refCount());
    EXPECT_EQ(1, second->refCount());
    EXPECT_EQ(0, first->badPackets());
    EXPECT_EQ(0, second->badPackets());
    expectOnlyEngineLeft();
}

TEST_F(HardeningLifecycle, AgentsReleasedWhileMessagesFlowFlatOut)
{
    constexpr int kCameras = 4;
    constexpr int kRounds = 4;
    std::vector<std::string> ids;
    for (int i = 0; i < kCameras; ++i)
        ids.push_back(cameraId(20 + i));
    Flooder flooder(kServicePort, messagesFor(ids));

    for (int round = 0; round < kRounds; ++round)
    {
        SCOPED_TRACE(round);
        std::vector<Ptr<CountingHandler>> handlers;
        std::vector<Camera> cameras;
        cameras.reserve(kCameras);
        for (int i = 0; i < kCameras; ++i)
        {
            handlers.push_back(makePtr<CountingHandler>());
            // Some agents are slow to hand over their packets, so that a release meets them in
            // the middle of a push.
            handlers.back()->setPacketDelay(milliseconds(i % 2));
            cameras.emplace_back(ids[static_cast<size_t>(i)]);
            ASSERT_TRUE(cameras.back().open(s_engine.engine.get(), handlers.back().get()));
        }
        for (const auto& handler: handlers)
            ASSERT_TRUE(handler->waitForPackets(kPacketsPerPhase, kDeliveryTimeout));

        // Released in a different order every round; a released agent calls its handler no more.
        for (int k = 0; k < kCameras; ++k)
        {
            const size_t i = static_cast<size_t>((k + round) % kCameras);
            const auto start = steady_clock::now();
            cameras[i].agent.reset();
            const auto releaseMs =
                duration<double, std::milli>(steady_clock::now() - start).count();
            if (k == 0)
                std::cout << "[ MEASURED ] release of an agent under traffic: " << releaseMs
                    << " ms" << std::endl;
            EXPECT_LT(releaseMs, 1000 * slowdown());
            const int64_t atRelease = handlers[i]->packets();
            EXPECT_EQ(1, handlers[i]->refCount());
            std::this_thread::sleep_for(50ms);
            EXPECT_EQ(atRelease, handlers[i]->packets());
            EXPECT_EQ(0, handlers[i]->badPackets());
        }
    }

    EXPECT_GT(flooder.stop(), 0);
    EXPECT_FALSE(flooder.failed());
    expectOnlyEngineLeft();
}

TEST_F(HardeningLifecycle, EngineReleasedWhileMessagesFlowFlatOut)
{
    const auto handler = makePtr<CountingHandler>();
    Camera camera(cameraId(30));
    ASSERT_TRUE(camera.open(s_engine.engine.get(), handler.get()));
    const auto engineHandler = s_engine.handler;
    const std::string printPrefix = s_engine.printPrefix;

    Flooder flooder(kServicePort, messagesFor({camera.id}));
    ASSERT_TRUE(handler->waitForPackets(kPacketsPerPhase, kDeliveryTimeout));

    // The server may drop the engine before the agents that it made: the agents live on, they
    // only hear nothing more, whatever still reaches the service port.
    const auto start = steady_clock::now();
    s_engine = {};
    const auto releaseMs = duration<double, std::milli>(steady_clock::now() - start).count();
    std::cout << "[ MEASURED ] release of an engine under traffic: " << releaseMs << " ms"
        << std::endl;
    EXPECT_LT(releaseMs, 1000 * slowdown());
    s_errorText = "the engine is gone";
    const testhost::LogFile log;
    EXPECT_EQ(1, log.countLinesContaining(printPrefix + "threadFuncZeromqLoop terminated!!"));
    EXPECT_EQ(1, engineHandler->refCount());
    EXPECT_TRUE(camera.pushFrame());

    std::this_thread::sleep_for(300ms); //< The agent's queue runs empty.
    const int64_t afterEngine = handler->packets();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(afterEngine, handler->packets());
    EXPECT_GT(flooder.stop(), 0);
    camera.agent.reset();
    EXPECT_EQ(1, handler->refCount());
    EXPECT_EQ(0, handler->badPackets());

    s_plugin->releaseExpectingNothingLeft();
}

} // namespace
} // namespace skyloom::hardening
