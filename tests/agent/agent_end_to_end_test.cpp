// The whole road of a message: a publisher playing the AI engine sends to the engine's service
// port, the engine's relay republishes to the agents in-process, and the receive thread of the
// camera's device agent converts it and hands the packets to the server's handler. The plugin
// library is loaded the way the server loads it. One test only: the relay needs about five
// seconds to start.
#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <skyloom/testhost/testhost.h>

namespace {

using namespace std::chrono;
using namespace std::chrono_literals;
using namespace skyloom::testhost;
using nx::sdk::Ptr;
using nx::sdk::analytics::IDeviceAgent;
using Kind = MetadataPacketRecord::Kind;

const int kServicePort = testPort(0);
constexpr int64_t kFrameTimeUs = 1598863206064000;

const std::string kIdA = "8f120e8a-2ced-c84a-aa40-59a59f563488";
const std::string kIdB = "0b7e1c2d-1111-4a2b-9c3d-0123456789ab";

std::string alarm(const std::string& cameraId, const std::string& caption)
{
    return R"({"src_uuid":")" + cameraId + R"(","timestamp":"1598863206064000",)"
        + R"("source":"source_0","caption":")" + caption + R"(","description":"d",)"
        + R"("event":{"counter":{"value":[1622],"is_init_cnt":false},"object_list":[]}})";
}

bool hasCaption(const std::vector<MetadataPacketRecord>& packets, const std::string& caption)
{
    for (const auto& packet: packets)
    {
        for (const auto& item: packet.items)
        {
            if (item.caption == caption || item.attribute(caption))
                return true;
        }
    }
    return false;
}

struct Camera
{
    explicit Camera(const std::string& id): info(new DeviceInfo("{" + id + "}")) {}

    Ptr<DeviceInfo> info;
    Ptr<DeviceAgentHandler> handler{new DeviceAgentHandler()};
    Ptr<IDeviceAgent> agent;
};

void pushFrame(Camera& camera)
{
    const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
    ASSERT_TRUE(doPushDataPacket(camera.agent.get(), frame.get()).isOk());
}

TEST(AgentEndToEnd, MessagesReachOnlyTheirCameraAfterItsFirstFrame)
{
    PluginLibrary library;
    ASSERT_TRUE(library.load(SKYLOOM_PLUGIN_PATH)) << library.errorText();
    const auto stats = library.registryStats();
    LogFile log;
    log.mark();

    {
        const auto plugin = library.createPlugin();
        ASSERT_TRUE(plugin);
        auto engine = obtainEngine(plugin.get());
        ASSERT_TRUE(engine.isOk() && engine.object) << engine.errorMessage;
        ASSERT_TRUE(doSetSettings(engine.object.get(),
            Settings{{"ServicePort", std::to_string(kServicePort)}}).isOk());

        Camera a(kIdA);
        Camera b(kIdB);
        for (Camera* camera: {&a, &b})
        {
            auto obtained = obtainDeviceAgent(engine.object.get(), camera->info.get());
            ASSERT_TRUE(obtained.isOk() && obtained.object) << obtained.errorMessage;
            camera->agent = obtained.object;
            camera->agent->setHandler(camera->handler.get());
            ASSERT_TRUE(doSetSettings(camera->agent.get(),
                Settings{{"showCounter", "true"}, {"enableDebugDump", "true"}}).isOk());
        }

        // Only B has seen a frame. Once B's probes get through, the relay is live, so A's
        // messages sent alongside reach A too, which must drop them unread.
        pushFrame(b);
        AiEnginePublisher publisher(kServicePort);
        ASSERT_TRUE(publisher.isOpen()) << publisher.errorText();
        const auto deadline = steady_clock::now() + 30s;
        while (b.handler->packetCount() == 0 && steady_clock::now() < deadline)
        {
            publisher.send(alarm(kIdA, "Early"));
            publisher.send(alarm(kIdB, "Probe"));
            std::this_thread::sleep_for(50ms);
        }
        ASSERT_GT(b.handler->packetCount(), 0U) << "the relay never delivered";
        for (int i = 0; i < 3; ++i)
            publisher.send(alarm(kIdA, "Early"));
        AiEnginePublisher::settle(1500ms);

        pushFrame(a);
        ASSERT_TRUE(publisher.sendUntil(alarm(kIdA, "Occupancy"),
            [&]() { return a.handler->packetCount() >= 2; }, 10s));
        AiEnginePublisher::settle(500ms);

        const auto packetsA = a.handler->packets();
        ASSERT_GE(packetsA.size(), 2U);
        ASSERT_EQ(Kind::object, packetsA[0].kind);
        ASSERT_EQ(1U, packetsA[0].items.size());
        const AttributeRecord* counter = packetsA[0].items[0].attribute("Occupancy");
        ASSERT_TRUE(counter);
        EXPECT_EQ("1622", counter->value);
        ASSERT_EQ(Kind::event, packetsA[1].kind);
        ASSERT_EQ(1U, packetsA[1].items.size());
        EXPECT_EQ("Occupancy", packetsA[1].items[0].caption);
        EXPECT_EQ(kFrameTimeUs, packetsA[1].timestampUs);
        EXPECT_FALSE(hasCaption(packetsA, "Early"));
        EXPECT_FALSE(hasCaption(packetsA, "Probe"));

        const auto packetsB = b.handler->packets();
        EXPECT_TRUE(hasCaption(packetsB, "Probe"));
        EXPECT_FALSE(hasCaption(packetsB, "Early"));
        EXPECT_FALSE(hasCaption(packetsB, "Occupancy"));

        // Dropped messages are not even dumped; the dumps of B's converted ones are there.
        EXPECT_EQ(0, log.countLinesContaining("\"Early\""));
        EXPECT_GT(log.countLinesContaining("\"caption\": \"Probe\""), 0);

        // Stopping an agent wakes its receive thread at once.
        const auto releaseStart = steady_clock::now();
        a.agent.reset();
        const auto releaseMs =
            duration<double, std::milli>(steady_clock::now() - releaseStart).count();
        std::cout << "[ MEASURED ] release of an agent: " << releaseMs << " ms" << std::endl;
        EXPECT_LT(releaseMs, 1000);
        EXPECT_EQ(1, log.countLinesContaining(
            "[device_{8f120e8a..}] threadFuncZeromqProcess terminated!!"));

        b.agent.reset();
        engine.object.reset();
    }

    EXPECT_TRUE(stats->waitUntilBalanced(15s)) << "alive: " << stats->alive();
    EXPECT_EQ(0, stats->anomalies());
}

} // namespace
