// Inputs found by fuzzing the device agent's message handling (fuzz/fuzz_message.cpp), kept as
// named cases. Each message goes through handleMessage() of an agent that has seen a frame, as
// its receive loop would hand it over; the server's handler must get only sound packets, and the
// agent must go on converting the next message.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/testhost.h>

#include "agent/device_agent.h"

namespace {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using namespace skyloom::testhost;
using Kind = MetadataPacketRecord::Kind;

constexpr int64_t kFrameTimeUs = 1598863206064000;
constexpr char kCameraId[] = "8f120e8a-2ced-c84a-aa40-59a59f563488";

std::string message(const std::string& body)
{
    return std::string(R"({"src_uuid":")") + kCameraId + "\"," + body + "}";
}

bool isFinite(const nx::sdk::Rect& box)
{
    return std::isfinite(box.x) && std::isfinite(box.y) && std::isfinite(box.width)
        && std::isfinite(box.height);
}

class FuzzRegression: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        m_agent = Ptr<DeviceAgent>(
            new DeviceAgent(m_deviceInfo.get(), DeviceAgent::ReceiveThread::none));
        m_agent->setHandler(m_handler.get());
        ASSERT_TRUE(doSetSettings(m_agent.get(),
            Settings{{"enableMetadata", "true"}, {"showCounter", "true"}}).isOk());
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
        ASSERT_TRUE(doPushDataPacket(m_agent.get(), frame.get()).isOk());
    }

    std::vector<MetadataPacketRecord> feed(const std::string& text)
    {
        m_handler->clear();
        m_agent->handleMessage(text);
        return m_handler->packets();
    }

    /** A plain alarm still converts after the case: the agent is not left broken. */
    void expectNextMessageConverts()
    {
        const auto packets = feed(message(R"("source":"intrusion","caption":"Next",)"
            R"("description":"d","event":{"object_list":[]})"));
        ASSERT_EQ(1U, packets.size());
        EXPECT_EQ(Kind::event, packets[0].kind);
    }

    const Ptr<DeviceInfo> m_deviceInfo{new DeviceInfo(std::string("{") + kCameraId + "}")};
    const Ptr<DeviceAgentHandler> m_handler{new DeviceAgentHandler()};
    Ptr<DeviceAgent> m_agent;
};

// Each corner fits a float, their distance does not: the box was sent with an infinite size.
TEST_F(FuzzRegression, DetectionBoxTooLargeForAFloatWasSentWithAnInfiniteSize)
{
    const auto packets = feed(message(R"("meta":{"metadata":{"annotations":[)"
        R"({"track_id":1,"class":"person","bbox":[0.1,0.1,0.2,0.2]},)"
        R"({"track_id":2,"class":"human","bbox":[-3e38,-3e38,3e38,3e38]}]}})"));
    ASSERT_EQ(1U, packets.size());
    ASSERT_EQ(2U, packets[0].items.size());
    EXPECT_EQ(nx::sdk::Rect(0, 0, 1, 1), packets[0].items[1].boundingBox); //< Cut to the frame.
    expectNextMessageConverts();
}

// The same corners on an alarm object: its box gets the minimum size about the first corner
// and is kept inside the frame.
TEST_F(FuzzRegression, AlarmBoxTooLargeForAFloatBecomesAMinimumBoxInsideTheFrame)
{
    const auto packets = feed(message(R"("source":"intrusion","caption":"C","description":"d",)"
        R"("event":{"object_list":[{"tid":1,"class":"person",)"
        R"("bbox":{"x0":-3e38,"y0":-3e38,"x1":3e38,"y1":3e38}}]})"));
    ASSERT_EQ(2U, packets.size());
    ASSERT_EQ(Kind::object, packets[1].kind);
    ASSERT_EQ(1U, packets[1].items.size());
    const nx::sdk::Rect box = packets[1].items[0].boundingBox;
    EXPECT_TRUE(isFinite(box));
    EXPECT_FLOAT_EQ(0.0F, box.x);
    EXPECT_FLOAT_EQ(0.0F, box.y);
    EXPECT_FLOAT_EQ(0.15F, box.width);
    EXPECT_FLOAT_EQ(0.2F, box.height);
    expectNextMessageConverts();
}

} // namespace
