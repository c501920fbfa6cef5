// The bound of the parsers' memory: each agent keeps a parser with buffers for the largest
// message it parsed (about 14 bytes per byte of text), so a large message must not leave them
// behind. 256 cameras each get one message of nearly 4 MiB (the relay's limit), every byte of it
// structure (a long list of numbers in a member that is not read), and then normal traffic: the
// process's resident size ends where it began, within 64 MiB.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/testhost.h>

#include "agent/device_agent.h"
#include "conversion/message_parser.h"

namespace {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::MessageParser;
using namespace skyloom::testhost;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized =
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

constexpr int kCameras = 256;
constexpr int64_t kFrameTimeUs = 1598863206064000;
constexpr int64_t kAllowedGrowthKiB = 64 * 1024;
constexpr size_t kLargeBytes = 4 * 1024 * 1024 - 64;

std::string cameraId(int index)
{
    char id[40];
    std::snprintf(id, sizeof(id), "8f120e8a-2ced-c84a-aa40-%012d", index);
    return id;
}

std::string alarm(const std::string& id, const std::string& more = "")
{
    return R"({"src_uuid":")" + id + R"(","source":"source_0","caption":"Fire","description":)"
        R"("d","event":{"object_list":[{"class":"person","tid":3,"bbox":{"x0":0.1,"y0":0.1,)"
        R"("x1":0.5,"y1":0.5}}]})" + more + "}";
}

/** An alarm of `bytes` bytes, nearly all of them a list of one-digit numbers. */
std::string largeAlarm(const std::string& id, size_t bytes)
{
    const size_t frame = alarm(id, R"(,"pad":[0])").size();
    std::string list = "0";
    list.reserve(bytes);
    while (frame + list.size() + 2 <= bytes)
        list += ",0";
    return alarm(id, R"(,"pad":[)" + list + "]");
}

struct Camera
{
    Ptr<DeviceAgentHandler> handler{new DeviceAgentHandler()};
    Ptr<DeviceAgent> agent;
    std::string id;
};

TEST(ParserMemory, LargeMessagesOfManyCamerasLeaveNoBuffersBehind)
{
    if (kSanitized)
    {
        // Their allocators hold freed memory back (ASan's quarantine), so the resident size
        // tells nothing of the parsers; the next test checks that the buffers are let go.
        GTEST_SKIP() << "a sanitizer's allocator keeps freed memory";
    }
    std::vector<Camera> cameras(kCameras);
    for (int i = 0; i < kCameras; ++i)
    {
        Camera& camera = cameras[static_cast<size_t>(i)];
        camera.id = cameraId(i);
        const Ptr<DeviceInfo> info(new DeviceInfo("{" + camera.id + "}"));
        camera.agent = Ptr<DeviceAgent>(new DeviceAgent(info.get(), DeviceAgent::ReceiveThread::none));
        camera.agent->setHandler(camera.handler.get());
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
        ASSERT_TRUE(doPushDataPacket(camera.agent.get(), frame.get()).isOk());
        camera.agent->handleMessage(alarm(camera.id)); //< The parser at its normal size.
        camera.handler->clear();
    }
    const int64_t beforeKiB = residentKiB();
    ASSERT_GT(beforeKiB, 0);

    const std::string large = largeAlarm(cameras[0].id, kLargeBytes);
    ASSERT_GT(large.size(), MessageParser::kLargeMessageBytes);
    for (Camera& camera: cameras)
    {
        std::string text = large;
        text.replace(text.find(cameras[0].id), camera.id.size(), camera.id);
        EXPECT_TRUE(camera.agent->handleMessage(text).drops.empty());
        // Checked as it goes: without the bound the test would take gigabytes.
        ASSERT_LT(residentKiB() - beforeKiB, kAllowedGrowthKiB) << "camera " << camera.id;
    }
    for (int round = 0; round < 10; ++round)
    {
        for (Camera& camera: cameras)
            camera.agent->handleMessage(alarm(camera.id));
    }
    const int64_t growthKiB = residentKiB() - beforeKiB;
    std::cout << "[ MEASURED ] resident size after " << kCameras << " messages of "
        << large.size() << " bytes and normal traffic: " << growthKiB << " KiB more\n";
    EXPECT_LT(growthKiB, kAllowedGrowthKiB);
    for (Camera& camera: cameras)
    {
        // Every large alarm and every normal one converted: an event and its person each.
        EXPECT_EQ(2U * 11, camera.handler->packetCount()) << camera.id;
        camera.agent->setHandler(nullptr);
    }
}

TEST(ParserMemory, ParserLetsItsBuffersGoAfterALargeMessage)
{
    MessageParser parser;
    ASSERT_TRUE(parser.parse(alarm("a")).parsed());
    const size_t normal = parser.capacity();
    EXPECT_LT(normal, 4096U);

    const std::string large = largeAlarm("a", MessageParser::kLargeMessageBytes + 1024);
    ASSERT_GT(large.size(), MessageParser::kLargeMessageBytes);
    const MessageParser::Result parsed = parser.parse(large);
    ASSERT_TRUE(parsed.parsed()) << parsed.failure;
    EXPECT_GE(parser.capacity(), large.size()); //< Readable until finished.
    parser.finish();
    EXPECT_EQ(0U, parser.capacity());

    // Up to the size, the capacity stays for the next message: no allocation per message.
    const std::string limit = largeAlarm("a", MessageParser::kLargeMessageBytes);
    ASSERT_TRUE(parser.parse(limit).parsed());
    parser.finish();
    EXPECT_GE(parser.capacity(), limit.size());
    ASSERT_TRUE(parser.parse(alarm("a")).parsed());
    EXPECT_GE(parser.capacity(), limit.size());
}

} // namespace
