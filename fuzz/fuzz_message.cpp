// Arbitrary bytes through the device agent's whole message handling, as its receive loop runs
// it once a video frame has been seen. The first byte picks the settings: bits 0 to 4 switch
// "enableMetadata", "enableDebugDump", "skipNullFaceObject", "skipNullPlateObject" and
// "showCounter"; bits 5 to 7 pick the "timeCorrection" text (absent, valid and invalid ones).
// The rest is the message. Whatever it holds, the agent must not fail, every packet that it
// sends must be readable through the server's interfaces, stamped with the frame time and
// finite, every text must be clean and at most 1 KiB, the packets must hold at most a small
// multiple of the message's size in text, and every object must be gone once the agent is
// released.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/video_packets.h>

#include "agent/device_agent.h"
#include "common/server_text.h"
#include "fuzz_support.h"

namespace {

using namespace skyloom::testhost;
using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::MessageConverter;
using nx::vms_server_plugins::analytics::sample::needsCleaning;
using Kind = MetadataPacketRecord::Kind;

constexpr int64_t kFrameTimestampUs = 1598863206064000;

const char* const kBooleanKeys[] = {
    "enableMetadata", "enableDebugDump", "skipNullFaceObject", "skipNullPlateObject",
    "showCounter",
};

/** Null: the key is not sent. */
const char* const kTimeCorrections[] = {
    nullptr, "0", "-200", "5000", "0x10", "12ms", "2147483647", "-2147483648",
};

Settings settingsFor(uint8_t selector)
{
    Settings settings;
    for (int bit = 0; bit < 5; ++bit)
        settings[kBooleanKeys[bit]] = (selector & (1 << bit)) ? "true" : "false";
    if (const char* timeCorrection = kTimeCorrections[selector >> 5])
        settings["timeCorrection"] = timeCorrection;
    return settings;
}

bool isFinite(const nx::sdk::Rect& box)
{
    return std::isfinite(box.x) && std::isfinite(box.y)
        && std::isfinite(box.width) && std::isfinite(box.height);
}

/** A text from the message as the server gets it: bounded and free of control characters. */
void checkText(const std::string& text)
{
    FUZZ_CHECK(text.size() <= MessageConverter::kMaxTextBytes);
    FUZZ_CHECK(!needsCleaning(text));
}

void checkPackets(const DeviceAgentRecords& records, int64_t timestampUs, size_t messageSize)
{
    // What one message may make the server hold: a small multiple of its size, plus the texts
    // of the tracks that it names from the caches.
    constexpr size_t kMaxCachedBytes = MessageConverter::kTrackCacheCapacity * 3
        * MessageConverter::kMaxTextBytes;
    size_t textBytes = 0;
    // The objects' attributes as the server receives them, once per object.
    size_t objectAttributeBytes = 0;
    // At most: counter object, event, alarm objects, detections.
    FUZZ_CHECK(records.packets.size() <= 4);
    FUZZ_CHECK(records.nullArguments == 0);
    for (const MetadataPacketRecord& packet: records.packets)
    {
        FUZZ_CHECK(packet.kind != Kind::unknown);
        FUZZ_CHECK(packet.timestampUs == timestampUs);
        FUZZ_CHECK(packet.durationUs > 0);
        FUZZ_CHECK(packet.unreadableItems == 0);
        // A detection packet may be empty: every annotation can be filtered out.
        FUZZ_CHECK(packet.reportedCount >= (packet.kind == Kind::event ? 1 : 0));
        FUZZ_CHECK(static_cast<size_t>(packet.reportedCount) == packet.items.size());
        FUZZ_CHECK(packet.items.size() <= MessageConverter::kMaxListElements);
        textBytes += skyloom::testhost::textBytes(packet);
        if (packet.kind == Kind::object)
            objectAttributeBytes += skyloom::testhost::receivedAttributeBytes(packet);
        for (const MetadataItemRecord& item: packet.items)
        {
            checkText(item.caption);
            checkText(item.description);
            for (const AttributeRecord& attribute: item.attributes)
            {
                checkText(attribute.name);
                checkText(attribute.value);
            }
            FUZZ_CHECK(item.typeId.rfind("skyloom.plugin.", 0) == 0);
            if (packet.kind == Kind::object)
            {
                FUZZ_CHECK(!item.trackId.isNull());
                FUZZ_CHECK(isFinite(item.boundingBox));
            }
        }
    }
    FUZZ_CHECK(textBytes <= 4 * messageSize + 64 * 1024 + kMaxCachedBytes);
    FUZZ_CHECK(objectAttributeBytes <= MessageConverter::maxAttributeBytes(messageSize));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    skyloom::fuzz::discardLogOutput();
    skyloom::fuzz::registryStats();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    {
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string(DeviceInfo::kDefaultId)));
        const Ptr<DeviceAgent> agent(
            new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
        const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler());
        agent->setHandler(handler.get());
        FUZZ_CHECK(doSetSettings(agent.get(), settingsFor(data[0])).isOk());

        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimestampUs));
        FUZZ_CHECK(doPushDataPacket(agent.get(), frame.get()).isOk());
        const int64_t timestampUs = agent->lastFrameTimestampUs();
        FUZZ_CHECK(timestampUs != 0);

        agent->handleMessage(
            std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
        checkPackets(handler->snapshot(), timestampUs, size - 1);
    }
    skyloom::fuzz::checkRegistryBalanced();
    return 0;
}
