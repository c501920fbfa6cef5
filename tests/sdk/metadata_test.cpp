// Metadata items, their attributes and the packets that carry them.
#include <ostream>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/analytics/helpers/event_metadata.h>
#include <nx/sdk/analytics/helpers/event_metadata_packet.h>
#include <nx/sdk/analytics/helpers/object_metadata.h>
#include <nx/sdk/analytics/helpers/object_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/ptr.h>

#include "test_support.h"

namespace nx::sdk::test {
namespace {

using namespace nx::sdk::analytics;
using Type = IAttribute::Type;

Ptr<Attribute> attribute(std::string name, std::string value, Type type = Type::string)
{
    return makePtr<Attribute>(type, std::move(name), std::move(value));
}

struct Expected
{
    std::string name;
    std::string value;
    Type type;
};

/** The attributes as the server reads them, releasing each reference it gets. */
std::vector<Expected> attributesOf(const IMetadata* metadata)
{
    std::vector<Expected> result;
    for (int32_t i = 0; i < metadata->attributeCount(); ++i)
    {
        const Ptr<const IAttribute> item(metadata->attribute(i));
        result.push_back({item->name(), item->value(), item->type()});
    }
    return result;
}

bool operator==(const Expected& a, const Expected& b)
{
    return a.name == b.name && a.value == b.value && a.type == b.type;
}

std::ostream& operator<<(std::ostream& os, const Expected& e)
{
    return os << e.name << "=" << e.value << "(" << static_cast<int>(e.type) << ")";
}

/** Runs the same cases on object and event items: both keep attributes by the same rules. */
template<class Metadata>
class MetadataTest: public SdkTest {};

using MetadataTypes = ::testing::Types<ObjectMetadata, EventMetadata>;
// The empty last argument is the default name generator: clang's -Wpedantic wants it given.
TYPED_TEST_SUITE(MetadataTest, MetadataTypes, );

TYPED_TEST(MetadataTest, AttributeNamesAreUniqueAndLaterValuesWinInPlace)
{
    struct Case
    {
        std::string name;
        std::vector<Ptr<Attribute>> added;
        std::vector<Expected> expected;
        std::string expectedReport;
    };
    const std::vector<Case> cases = {
        {"replace", {attribute("a", "1"), attribute("b", "2"), attribute("a", "3")},
            {{"a", "3", Type::string}, {"b", "2", Type::string}}, ""},
        {"type mismatch keeps the type",
            {attribute("count", "1", Type::number), attribute("count", "x", Type::string)},
            {{"count", "x", Type::number}},
            "((*existingAttribute)->type() == attribute->type())"},
        {"null ignored", {attribute("a", "1"), nullptr}, {{"a", "1", Type::string}},
            "(attribute)"},
        {"case-sensitive", {attribute("Name", "1"), attribute("name", "2")},
            {{"Name", "1", Type::string}, {"name", "2", Type::string}}, ""},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        const auto metadata = makePtr<TypeParam>();
        const LogCapture log;
        metadata->addAttributes(testCase.added);
        EXPECT_EQ(testCase.expected, attributesOf(metadata.get()));
        if (testCase.expectedReport.empty())
        {
            EXPECT_EQ("", log.text());
        }
        else
        {
            EXPECT_TRUE(log.contains(testCase.expectedReport)) << log.text();
        }
    }
}

TYPED_TEST(MetadataTest, ReplacementKeepsTheStoredObjectAndDropsTheNewOne)
{
    const auto metadata = makePtr<TypeParam>();
    const auto first = makePtr<Attribute>(Type::string, "a", "1", 0.5F);
    const auto second = makePtr<Attribute>(Type::string, "a", "2", 0.9F);
    metadata->addAttribute(first);
    EXPECT_EQ(2, refCountOf(first.get()));
    metadata->addAttribute(second);
    EXPECT_EQ(1, refCountOf(second.get()));
    EXPECT_STREQ("2", first->value());

    const Ptr<const IAttribute> stored(metadata->attribute(0));
    EXPECT_EQ(static_cast<const IAttribute*>(first.get()), stored.get());
    EXPECT_EQ(0.5F, stored->confidence());
    EXPECT_EQ(3, refCountOf(first.get()));
}

TYPED_TEST(MetadataTest, NewItemHasDefaultsAndNoAttributes)
{
    const auto metadata = makePtr<TypeParam>();
    const IMetadata* const read = metadata.get();
    EXPECT_STREQ("", read->typeId());
    EXPECT_EQ(1.0F, read->confidence());
    EXPECT_EQ(0, read->attributeCount());
    EXPECT_EQ(nullptr, read->attribute(-1));
    EXPECT_EQ(nullptr, read->attribute(0));

    metadata->setTypeId("t");
    metadata->setConfidence(-2.0F);
    metadata->addAttribute(attribute("a", "1"));
    EXPECT_STREQ("t", read->typeId());
    EXPECT_EQ(-2.0F, read->confidence());
    EXPECT_EQ(nullptr, read->attribute(1));
}

class ItemTest: public SdkTest {};

TEST_F(ItemTest, ObjectAndEventDefaults)
{
    const auto object = makePtr<ObjectMetadata>();
    Uuid trackId;
    trackId[0] = 1;
    Rect box(0, 0, 0, 0);
    object->trackId(&trackId);
    object->boundingBox(&box);
    EXPECT_TRUE(trackId.isNull());
    EXPECT_EQ(Rect(-1, -1, -1, -1), box);
    EXPECT_STREQ("", object->subtype());

    const auto event = makePtr<EventMetadata>();
    EXPECT_STREQ("", event->caption());
    EXPECT_STREQ("", event->description());
    EXPECT_FALSE(event->isActive());
}

/** Runs the same cases on object and event packets, each with its own kind of item. */
template<class Packet>
class PacketTest: public SdkTest
{
protected:
    static constexpr bool kIsObjectPacket = std::is_same_v<Packet, ObjectMetadataPacket>;
    using PacketType = Packet;
    using ItemType = std::conditional_t<kIsObjectPacket, ObjectMetadata, EventMetadata>;

    static std::string nullItemCheck()
    {
        return kIsObjectPacket ? "(objectMetadata)" : "(eventMetadata)";
    }
};

using PacketTypes = ::testing::Types<ObjectMetadataPacket, EventMetadataPacket>;
TYPED_TEST_SUITE(PacketTest, PacketTypes, );

TYPED_TEST(PacketTest, NewPacketIsEmptyWithUnsetTimes)
{
    const auto packet = makePtr<typename TestFixture::PacketType>();
    const ICompoundMetadataPacket* const read = packet.get();
    EXPECT_EQ(-1, read->timestampUs());
    EXPECT_EQ(-1, read->durationUs());
    EXPECT_EQ(0, read->count());
    EXPECT_EQ(nullptr, read->at(0));
    EXPECT_EQ(nullptr, read->at(-1));

    packet->setTimestampUs(1'600'000'000'000'000);
    packet->setDurationUs(0);
    EXPECT_EQ(1'600'000'000'000'000, read->timestampUs());
    EXPECT_EQ(0, read->durationUs());
}

TYPED_TEST(PacketTest, ItemsAreSharedAndHandedOutWithNewReferences)
{
    const auto first = makePtr<typename TestFixture::ItemType>();
    const auto second = makePtr<typename TestFixture::ItemType>();
    auto packet = makePtr<typename TestFixture::PacketType>();
    packet->addItem(first.get());
    packet->addItem(second.get());
    packet->addItem(first.get());
    EXPECT_EQ(3, refCountOf(first.get()));
    EXPECT_EQ(2, refCountOf(second.get()));

    const ICompoundMetadataPacket* const read = packet.get();
    ASSERT_EQ(3, read->count());
    const Ptr<const IMetadata> atOne(read->at(1));
    EXPECT_EQ(static_cast<const IMetadata*>(second.get()), atOne.get());
    EXPECT_EQ(3, refCountOf(second.get()));

    for (const int32_t index: {3, -1, 100})
        EXPECT_EQ(nullptr, read->at(index)) << index;
    EXPECT_EQ(3, refCountOf(first.get()));
    EXPECT_EQ(3, refCountOf(second.get()));

    packet.reset();
    EXPECT_EQ(1, refCountOf(first.get()));
    EXPECT_EQ(2, refCountOf(second.get()));
}

TYPED_TEST(PacketTest, ClearDropsReferencesAndNullItemsAreRejected)
{
    const auto item = makePtr<typename TestFixture::ItemType>();
    const auto packet = makePtr<typename TestFixture::PacketType>();
    packet->addItem(item.get());
    packet->clear();
    EXPECT_EQ(0, packet->count());
    EXPECT_EQ(1, refCountOf(item.get()));

    const LogCapture log;
    packet->addItem(nullptr);
    EXPECT_EQ(0, packet->count());
    EXPECT_TRUE(log.contains(this->nullItemCheck())) << log.text();
}

} // namespace
} // namespace nx::sdk::test
