// Reference counts, registry notifications, interface queries and the binary form of the
// interfaces, all seen through the abstract interfaces as the server sees them.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/analytics/helpers/event_metadata.h>
#include <nx/sdk/analytics/helpers/event_metadata_packet.h>
#include <nx/sdk/analytics/helpers/object_metadata.h>
#include <nx/sdk/analytics/helpers/object_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/helpers/plugin_diagnostic_event.h>
#include <nx/sdk/helpers/settings_response.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/string_map.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/result.h>

#include "test_support.h"

namespace nx::sdk::test {
namespace {

using namespace nx::sdk::analytics;

class InterfaceTest: public SdkTest {};

TEST_F(InterfaceTest, CountsRiseAndFallAndTheLastReleaseDestroys)
{
    const int destroyedBefore = registry().destroyedCount();
    const IString* const string = new String("text");
    const auto* const asRefCountable = static_cast<const IRefCountable*>(string);
    EXPECT_TRUE(registry().isLive(asRefCountable));

    EXPECT_EQ(2, string->addRef());
    EXPECT_EQ(3, string->addRef());
    EXPECT_EQ(2, string->releaseRef());
    EXPECT_EQ(1, string->releaseRef());
    EXPECT_EQ(destroyedBefore, registry().destroyedCount());

    EXPECT_EQ(0, string->releaseRef());
    EXPECT_EQ(destroyedBefore + 1, registry().destroyedCount());
    EXPECT_EQ(asRefCountable, registry().lastDestroyed());
    EXPECT_EQ(0, registry().lastDestroyedRefCount());
    EXPECT_FALSE(registry().isLive(asRefCountable));
}

TEST_F(InterfaceTest, PtrCopiesShareAndReleaseTheirReferences)
{
    const Ptr<IString> first = makePtr<String>("x");
    EXPECT_EQ(1, refCountOf(first.get()));
    {
        const Ptr<IString> copy = first;
        const Ptr<IString> shared = sharePtr(first.get());
        EXPECT_EQ(3, refCountOf(first.get()));
    }
    EXPECT_EQ(1, refCountOf(first.get()));
}

TEST_F(InterfaceTest, ReferencesFromManyThreadsBalance)
{
    const Ptr<IString> string = makePtr<String>("shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [&string]()
            {
                for (int i = 0; i < 10000; ++i)
                {
                    const Ptr<IString> copy = string;
                    copy->addRef();
                    copy->releaseRef();
                }
            });
    }
    for (std::thread& thread: threads)
        thread.join();
    EXPECT_EQ(1, refCountOf(string.get()));
}

/** Copies the id to a buffer of its own so that only its text can match. */
std::vector<char> idCopy(const char* id)
{
    return std::vector<char>(id, id + std::strlen(id) + 1);
}

struct QueryCase
{
    std::string name;
    std::function<IRefCountable*()> create; //< Returns the one reference of a new object.
    std::vector<const char*> answeredIds;
};

std::vector<QueryCase> queryCases()
{
    return {
        {"ObjectMetadataPacket", [] { return new ObjectMetadataPacket(); }, {
            "nx::sdk::analytics::IObjectMetadataPacket",
            "nx::sdk::analytics::ICompoundMetadataPacket",
            "nx::sdk::analytics::IMetadataPacket",
            "nx::sdk::analytics::IDataPacket",
            "nx::sdk::IRefCountable"}},
        {"EventMetadataPacket", [] { return new EventMetadataPacket(); }, {
            "nx::sdk::analytics::IEventMetadataPacket",
            "nx::sdk::analytics::ICompoundMetadataPacket",
            "nx::sdk::analytics::IMetadataPacket",
            "nx::sdk::analytics::IDataPacket",
            "nx::sdk::IRefCountable"}},
        {"ObjectMetadata", [] { return new ObjectMetadata(); }, {
            "nx::sdk::analytics::IObjectMetadata",
            "nx::sdk::analytics::IMetadata",
            "nx::sdk::IRefCountable"}},
        {"EventMetadata", [] { return new EventMetadata(); }, {
            "nx::sdk::analytics::IEventMetadata",
            "nx::sdk::analytics::IMetadata",
            "nx::sdk::IRefCountable"}},
        {"SettingsResponse", [] { return new SettingsResponse(); }, {
            "nx::sdk::ISettingsResponse1",
            "nx::sdk::ISettingsResponse",
            "nx::sdk::IRefCountable"}},
        {"String", [] { return new String(); }, {"nx::sdk::IString", "nx::sdk::IRefCountable"}},
        {"StringMap", [] { return new StringMap(); },
            {"nx::sdk::IStringMap", "nx::sdk::IRefCountable"}},
        {"Attribute", [] { return new Attribute(IAttribute::Type::string, "n", "v"); },
            {"nx::sdk::IAttribute", "nx::sdk::IRefCountable"}},
        {"PluginDiagnosticEvent",
            [] { return new PluginDiagnosticEvent(IPluginDiagnosticEvent::Level::info, "", ""); },
            {"nx::sdk::IPluginDiagnosticEvent", "nx::sdk::IRefCountable"}},
    };
}

const std::vector<const char*> kAllIds = {
    "nx::sdk::IRefCountable", "nx::sdk::IString", "nx::sdk::IStringMap", "nx::sdk::IAttribute",
    "nx::sdk::ISettingsResponse", "nx::sdk::ISettingsResponse1",
    "nx::sdk::IPluginDiagnosticEvent", "nx::sdk::IPlugin", "nx::sdk::analytics::IPlugin",
    "nx::sdk::analytics::IEngine", "nx::sdk::analytics::IDeviceAgent",
    "nx::sdk::analytics::IConsumingDeviceAgent", "nx::sdk::analytics::IDataPacket",
    "nx::sdk::analytics::IMetadataPacket", "nx::sdk::analytics::ICompoundMetadataPacket",
    "nx::sdk::analytics::IObjectMetadataPacket", "nx::sdk::analytics::IEventMetadataPacket",
    "nx::sdk::analytics::IMetadata", "nx::sdk::analytics::IObjectMetadata",
    "nx::sdk::analytics::IEventMetadata", "nx::sdk::analytics::ICompressedVideoPacket1",
    // Near misses: prefixes, suffixes and case must not match.
    "nx::sdk::analytics::IObjectMetadataPacke", "nx::sdk::analytics::IObjectMetadataPacket1",
    "nx::sdk::ISettingsResponse2", "nx::sdk::irefcountable", "", "IRefCountable",
};

TEST_F(InterfaceTest, QueryMatchesIdsByTextAlongTheBaseChain)
{
    for (const QueryCase& testCase: queryCases())
    {
        SCOPED_TRACE(testCase.name);
        IRefCountable* const object = testCase.create();
        for (const char* id: kAllIds)
        {
            SCOPED_TRACE(id);
            const bool answered = std::find_if(
                testCase.answeredIds.begin(), testCase.answeredIds.end(),
                [id](const char* own) { return std::strcmp(own, id) == 0; })
                != testCase.answeredIds.end();

            const std::vector<char> copy = idCopy(id);
            IRefCountable* const found = object->queryInterface(copy.data());
            if (!answered)
            {
                EXPECT_EQ(nullptr, found);
                EXPECT_EQ(1, refCountOf(object));
                continue;
            }
            // Single inheritance: every interface of the object starts at its address.
            EXPECT_EQ(object, found);
            EXPECT_EQ(2, refCountOf(object));
            found->releaseRef();
        }
        EXPECT_EQ(nullptr, object->queryInterface(nullptr));
        EXPECT_EQ(1, refCountOf(object));
        EXPECT_EQ(0, object->releaseRef());
    }
}

TEST_F(InterfaceTest, SettingsResponseAnswersBothVersionsWithOneObject)
{
    const auto response = makePtr<SettingsResponse>();
    const auto first = queryInterface<ISettingsResponse0>(
        static_cast<IRefCountable*>(response.get()));
    const auto current = queryInterface<ISettingsResponse>(first.get());
    ASSERT_TRUE(first);
    ASSERT_TRUE(current);
    EXPECT_EQ(static_cast<ISettingsResponse0*>(current.get()), first.get());
    EXPECT_EQ(3, refCountOf(response.get()));
}

TEST_F(InterfaceTest, TypedQueryOfAnUnrelatedInterfaceIsEmpty)
{
    const auto packet = makePtr<ObjectMetadataPacket>();
    EXPECT_FALSE(queryInterface<IEventMetadataPacket>(packet));
    EXPECT_FALSE(queryInterface<IMetadata>(packet));
    EXPECT_EQ(1, refCountOf(packet.get()));
    IRefCountable* const none = nullptr;
    EXPECT_FALSE(queryInterface<IString>(none));
}

TEST_F(InterfaceTest, ResultHasTheFixedLayout)
{
    static_assert(std::is_standard_layout_v<Result<const IString*>>);
    static_assert(std::is_standard_layout_v<Result<void>>);
    static_assert(sizeof(ErrorCode) == 4);
    static_assert(sizeof(Result<void>) == 16);
    static_assert(sizeof(Result<const IString*>) == 24);
    static_assert(sizeof(Result<int64_t>) == 24);

    // Member names are private; read the bytes where a host compiled elsewhere reads them.
    Result<const IString*> result = error(ErrorCode::otherError, "message");
    unsigned char bytes[sizeof(result)];
    std::memcpy(bytes, &result, sizeof(result));

    int32_t errorCode = 0;
    const IString* errorMessage = nullptr;
    const IString* value = reinterpret_cast<const IString*>(1);
    std::memcpy(&errorCode, bytes + 0, sizeof(errorCode));
    std::memcpy(&errorMessage, bytes + 8, sizeof(errorMessage));
    std::memcpy(&value, bytes + 16, sizeof(value));
    EXPECT_EQ(-100, errorCode);
    ASSERT_EQ(result.error().errorMessage(), errorMessage);
    EXPECT_STREQ("message", errorMessage->str());
    EXPECT_EQ(nullptr, value);
    errorMessage->releaseRef();

    const Result<int64_t> withValue(int64_t{0x1122334455667788});
    int64_t storedValue = 0;
    std::memcpy(&storedValue, reinterpret_cast<const unsigned char*>(&withValue) + 16, 8);
    EXPECT_EQ(0x1122334455667788, storedValue);
}

/**
 * Calls the virtual function in the given slot of the object's vtable, as a host compiled apart
 * does (Itanium ABI: slots 0 and 1 are the destructors, then the operations in order).
 */
template<typename Return, typename... Args>
Return callSlot(const void* object, int slot, Args... args)
{
    const void* const* vtable = nullptr;
    std::memcpy(&vtable, object, sizeof(vtable));
    using Function = Return (*)(const void*, Args...);
    Function function = nullptr;
    std::memcpy(&function, &vtable[slot], sizeof(function));
    return function(object, args...);
}

constexpr int kFirstOwnSlot = 5; //< After 2 destructors, queryInterface, addRef, releaseRef.

TEST_F(InterfaceTest, RefCountableSlotsComeFirst)
{
    const IString* const string = new String("a");
    const auto id = idCopy("nx::sdk::IString");
    const auto found =
        callSlot<const IRefCountable*>(string, 2, static_cast<const char*>(id.data()));
    EXPECT_EQ(string, found);
    EXPECT_EQ(3, callSlot<int32_t>(string, 3));
    EXPECT_EQ(2, callSlot<int32_t>(string, 4));
    EXPECT_EQ(1, string->releaseRef());
    EXPECT_STREQ("a", callSlot<const char*>(string, kFirstOwnSlot));
    EXPECT_EQ(0, callSlot<int32_t>(string, 4));
}

TEST_F(InterfaceTest, StringMapSlotsAndTheValueOverloads)
{
    const auto map = makePtr<StringMap>();
    map->setItem("0", "by key");
    map->setItem("1", "second");
    const IStringMap* const asInterface = map.get();

    EXPECT_STREQ("by key", asInterface->value(0));
    EXPECT_STREQ("second", asInterface->value("1"));
    EXPECT_STREQ("by key", asInterface->value("0"));

    const void* object = asInterface;
    EXPECT_EQ(2, (callSlot<int32_t>(object, kFirstOwnSlot)));
    EXPECT_STREQ("1", (callSlot<const char*>(object, kFirstOwnSlot + 1, int32_t{1})));
    EXPECT_STREQ("second", (callSlot<const char*>(object, kFirstOwnSlot + 2, int32_t{1})));
    EXPECT_STREQ("second", (callSlot<const char*>(object, kFirstOwnSlot + 3, "1")));
}

TEST_F(InterfaceTest, MetadataSlotsFollowTheInterfaceOrder)
{
    const auto object = makePtr<ObjectMetadata>();
    object->setTypeId("type");
    object->setConfidence(0.5F);
    object->setSubtype("sub");
    object->setBoundingBox(Rect(0.1F, 0.2F, 0.3F, 0.4F));
    object->addAttribute(makePtr<Attribute>(IAttribute::Type::number, "n", "7", 0.25F));
    Uuid trackId;
    trackId[15] = 9;
    object->setTrackId(trackId);
    const void* const metadata = static_cast<const IObjectMetadata*>(object.get());

    EXPECT_STREQ("type", (callSlot<const char*>(metadata, 5)));
    EXPECT_EQ(0.5F, (callSlot<float>(metadata, 6)));
    const auto attribute = callSlot<const IAttribute*>(metadata, 7, int32_t{0});
    ASSERT_NE(nullptr, attribute);
    EXPECT_EQ(1, (callSlot<int32_t>(metadata, 8)));
    Uuid readTrackId;
    callSlot<void>(metadata, 9, &readTrackId);
    EXPECT_EQ(trackId, readTrackId);
    EXPECT_STREQ("sub", (callSlot<const char*>(metadata, 10)));
    Rect box;
    callSlot<void>(metadata, 11, &box);
    EXPECT_EQ(Rect(0.1F, 0.2F, 0.3F, 0.4F), box);

    EXPECT_EQ(IAttribute::Type::number, (callSlot<IAttribute::Type>(attribute, 5)));
    EXPECT_STREQ("n", (callSlot<const char*>(attribute, 6)));
    EXPECT_STREQ("7", (callSlot<const char*>(attribute, 7)));
    EXPECT_EQ(0.25F, (callSlot<float>(attribute, 8)));
    attribute->releaseRef();

    const auto event = makePtr<EventMetadata>();
    event->setCaption("caption");
    event->setDescription("description");
    event->setIsActive(true);
    const void* const eventMetadata = static_cast<const IEventMetadata*>(event.get());
    EXPECT_STREQ("caption", (callSlot<const char*>(eventMetadata, 9)));
    EXPECT_STREQ("description", (callSlot<const char*>(eventMetadata, 10)));
    EXPECT_TRUE((callSlot<bool>(eventMetadata, 11)));
}

TEST_F(InterfaceTest, PacketAndValueSlotsFollowTheInterfaceOrder)
{
    const auto packet = makePtr<EventMetadataPacket>();
    packet->setTimestampUs(111);
    packet->setDurationUs(222);
    const auto item = makePtr<EventMetadata>();
    packet->addItem(item.get());
    const void* const compound = static_cast<const ICompoundMetadataPacket*>(packet.get());
    EXPECT_EQ(111, (callSlot<int64_t>(compound, 5)));
    EXPECT_EQ(222, (callSlot<int64_t>(compound, 6)));
    EXPECT_EQ(1, (callSlot<int32_t>(compound, 7)));
    const auto at = callSlot<const IMetadata*>(compound, 8, int32_t{0});
    EXPECT_EQ(static_cast<const IMetadata*>(item.get()), at);
    at->releaseRef();

    const auto response = makePtr<SettingsResponse>(
        makePtr<StringMap>(), makePtr<StringMap>(), makePtr<String>("model"));
    const void* const settings = static_cast<const ISettingsResponse*>(response.get());
    const auto values = callSlot<const IStringMap*>(settings, 5);
    const auto errors = callSlot<const IStringMap*>(settings, 6);
    const auto model = callSlot<const IString*>(settings, 7);
    ASSERT_TRUE(values && errors && model);
    EXPECT_NE(values, errors);
    EXPECT_STREQ("model", model->str());
    values->releaseRef();
    errors->releaseRef();
    model->releaseRef();

    const auto event = makePtr<PluginDiagnosticEvent>(
        IPluginDiagnosticEvent::Level::warning, "caption", "description");
    const void* const diagnostic = static_cast<const IPluginDiagnosticEvent*>(event.get());
    EXPECT_EQ(IPluginDiagnosticEvent::Level::warning,
        (callSlot<IPluginDiagnosticEvent::Level>(diagnostic, 5)));
    EXPECT_STREQ("caption", (callSlot<const char*>(diagnostic, 6)));
    EXPECT_STREQ("description", (callSlot<const char*>(diagnostic, 7)));
}

} // namespace
} // namespace nx::sdk::test
