#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/device_agent_handler.h>

#include "fakes.h"

namespace skyloom::testhost {
namespace {

using namespace std::chrono_literals;
using namespace nx::sdk;
using namespace skyloom::testhost::test;

Ptr<FakeObjectMetadata> makeObject(const char* typeId, uint8_t trackByte)
{
    auto object = makePtr<FakeObjectMetadata>();
    object->typeIdText = typeId;
    object->confidenceValue = 0.75F;
    object->trackIdValue[15] = trackByte;
    object->subtypeText = "sub";
    object->box = Rect(0.1F, 0.2F, 0.3F, 0.4F);
    object->attributes.push_back(
        makePtr<FakeAttribute>(IAttribute::Type::string, "Color", "red", 0.5F));
    object->attributes.push_back(
        makePtr<FakeAttribute>(IAttribute::Type::number, "Count", "3", 1.0F));
    return object;
}

TEST(DeviceAgentHandler, KeepsDeepCopiesAndNoReferenceToThePacket)
{
    const auto handler = makePtr<DeviceAgentHandler>();
    const int64_t aliveBefore = hostObjectsAlive();
    {
        auto packet = makePtr<FakeObjectPacket>();
        packet->timestamp = 1'000'000;
        packet->duration = 33'000;
        packet->items.push_back(makeObject("skyloom.plugin.obj_person", 1));
        packet->items.push_back(makeObject("skyloom.plugin.obj_face", 2));
        const auto firstItem = packet->items[0];

        handler->handleMetadata(packet.get());

        EXPECT_EQ(packet->refCount(), 1);
        EXPECT_EQ(static_cast<FakeObjectMetadata*>(firstItem.get())->refCount(), 2);
        EXPECT_EQ(static_cast<FakeObjectMetadata*>(firstItem.get())->attributes[0]->refCount(), 1);
    }
    EXPECT_EQ(hostObjectsAlive(), aliveBefore); //< Everything the plugin made is gone.

    const auto packets = handler->packets();
    ASSERT_EQ(packets.size(), 1U);
    const auto& packet = packets[0];
    EXPECT_EQ(packet.kind, MetadataPacketRecord::Kind::object);
    EXPECT_EQ(packet.timestampUs, 1'000'000);
    EXPECT_EQ(packet.durationUs, 33'000);
    EXPECT_EQ(packet.reportedCount, 2);
    EXPECT_EQ(packet.unreadableItems, 0);
    ASSERT_EQ(packet.items.size(), 2U);

    const auto& person = packet.items[0];
    EXPECT_EQ(person.typeId, "skyloom.plugin.obj_person");
    EXPECT_FLOAT_EQ(person.confidence, 0.75F);
    EXPECT_EQ(person.trackId[15], 1);
    EXPECT_EQ(person.subtype, "sub");
    EXPECT_EQ(person.boundingBox, Rect(0.1F, 0.2F, 0.3F, 0.4F));
    ASSERT_EQ(person.attributes.size(), 2U);
    EXPECT_EQ(person.attributes[0].type, IAttribute::Type::string);
    EXPECT_EQ(person.attributes[0].name, "Color");
    EXPECT_EQ(person.attributes[0].value, "red");
    EXPECT_FLOAT_EQ(person.attributes[0].confidence, 0.5F);
    ASSERT_NE(person.attribute("Count"), nullptr);
    EXPECT_EQ(person.attribute("Count")->value, "3");
    EXPECT_EQ(packet.items[1].typeId, "skyloom.plugin.obj_face");
    EXPECT_EQ(packet.items[1].trackId[15], 2);
}

TEST(DeviceAgentHandler, CopiesEventItemsAndFlagsWhatItCannotRead)
{
    const auto handler = makePtr<DeviceAgentHandler>();

    const auto events = makePtr<FakeEventPacket>();
    events->timestamp = 5;
    auto event = makePtr<FakeEventMetadata>();
    event->typeIdText = "skyloom.plugin.evt_intrusion";
    event->captionText = "Intrusion";
    event->descriptionText = "Zone 1";
    event->active = true;
    events->items.push_back(event);
    events->items.push_back(nullptr); //< at(1) gives null.
    events->items.push_back(makeObject("an object in an event packet", 9));
    handler->handleMetadata(events.get());
    handler->handleMetadata(makePtr<FakeBarePacket>().get());
    handler->handleMetadata(nullptr);

    const auto records = handler->snapshot();
    ASSERT_EQ(records.packets.size(), 2U);
    const auto& eventPacket = records.packets[0];
    EXPECT_EQ(eventPacket.kind, MetadataPacketRecord::Kind::event);
    EXPECT_EQ(eventPacket.reportedCount, 3);
    EXPECT_EQ(eventPacket.unreadableItems, 2);
    ASSERT_EQ(eventPacket.items.size(), 1U);
    EXPECT_EQ(eventPacket.items[0].typeId, "skyloom.plugin.evt_intrusion");
    EXPECT_EQ(eventPacket.items[0].caption, "Intrusion");
    EXPECT_EQ(eventPacket.items[0].description, "Zone 1");
    EXPECT_TRUE(eventPacket.items[0].isActive);

    EXPECT_EQ(records.packets[1].kind, MetadataPacketRecord::Kind::unknown);
    EXPECT_EQ(records.packets[1].timestampUs, 7);
    EXPECT_EQ(records.nullArguments, 1);
}

class FakeDiagnosticEvent: public HostRefCountable<IPluginDiagnosticEvent>
{
public:
    virtual Level level() const override { return Level::warning; }
    virtual const char* caption() const override { return "C"; }
    virtual const char* description() const override { return "D"; }
};

TEST(DeviceAgentHandler, RecordsManifestsAndDiagnosticEventsUntilCleared)
{
    const auto handler = makePtr<DeviceAgentHandler>();
    const auto manifest = makePtr<FakeString>("{\"eventTypes\": []}");
    const auto event = makePtr<FakeDiagnosticEvent>();
    handler->pushManifest(manifest.get());
    handler->handlePluginDiagnosticEvent(event.get());
    handler->handlePluginDiagnosticEvent(nullptr);
    EXPECT_EQ(manifest->refCount(), 1);
    EXPECT_EQ(event->refCount(), 1);

    auto records = handler->snapshot();
    ASSERT_EQ(records.manifests.size(), 1U);
    EXPECT_EQ(records.manifests[0], "{\"eventTypes\": []}");
    ASSERT_EQ(records.diagnosticEvents.size(), 1U);
    EXPECT_EQ(records.diagnosticEvents[0].level, IPluginDiagnosticEvent::Level::warning);
    EXPECT_EQ(records.diagnosticEvents[0].caption, "C");
    EXPECT_EQ(records.diagnosticEvents[0].description, "D");
    EXPECT_EQ(records.nullArguments, 1);

    handler->clear();
    records = handler->snapshot();
    EXPECT_TRUE(records.manifests.empty());
    EXPECT_TRUE(records.diagnosticEvents.empty());
    EXPECT_EQ(records.nullArguments, 0);
}

TEST(DeviceAgentHandler, WaitForPacketsTimesOutUntilEnoughArrive)
{
    const auto handler = makePtr<DeviceAgentHandler>();
    const auto packet = makePtr<FakeObjectPacket>();
    handler->handleMetadata(packet.get());

    EXPECT_TRUE(handler->waitForPackets(1, 0ms));
    EXPECT_FALSE(handler->waitForPackets(2, 30ms));

    int callbacks = 0;
    handler->setPacketCallback([&callbacks](const MetadataPacketRecord&) { ++callbacks; });
    handler->setPacketDelay(20ms);
    std::thread plugin(
        [&]()
        {
            handler->handleMetadata(packet.get());
            handler->handleMetadata(packet.get());
        });
    EXPECT_TRUE(handler->waitForPackets(3, 10s));
    plugin.join();
    EXPECT_EQ(handler->packetCount(), 3U);
    EXPECT_EQ(callbacks, 2);
    EXPECT_EQ(packet->refCount(), 1);
}

} // namespace
} // namespace skyloom::testhost
