#include <gtest/gtest.h>

#include <nx/sdk/analytics/i_consuming_device_agent.h>
#include <nx/sdk/i_settings_response.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/string_map.h>
#include <skyloom/testhost/video_packets.h>

#include "fakes.h"

namespace skyloom::testhost {
namespace {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace skyloom::testhost::test;

class FakeSettingsResponse: public HostRefCountable<ISettingsResponse>
{
public:
    Ptr<StringMap> valuesMap = makePtr<StringMap>(StringMap::Items{{"a", "1"}});
    Ptr<StringMap> errorsMap;
    Ptr<FakeString> modelText = makePtr<FakeString>("{\"items\": []}");

    virtual const IStringMap* values() const override { return share(valuesMap); }
    virtual const IStringMap* errors() const override { return share(errorsMap); }
    virtual const IString* model() const override { return share(modelText); }

private:
    template<class T>
    static T* share(const Ptr<T>& ptr) { return sharePtr(ptr).releasePtr(); }
};

/** Fails every call when `failing`, the way plugin objects report errors. */
class FakeAgent: public HostRefCountable<IConsumingDeviceAgent>
{
public:
    bool failing = false;
    StringMap::Items receivedSettings;
    int64_t pushedTimestampUs = -1;

    virtual void doSetSettings(
        Result<const ISettingsResponse*>* outResult, const IStringMap* settings) override
    {
        receivedSettings = copyStringMap(settings);
        if (failing)
            *outResult = Error(ErrorCode::invalidParams, newString("Settings are invalid"));
        else
            *outResult = static_cast<const ISettingsResponse*>(new FakeSettingsResponse());
    }

    virtual void getPluginSideSettings(Result<const ISettingsResponse*>*) const override {}

    virtual void getManifest(Result<const IString*>* outResult) const override
    {
        if (failing)
            *outResult = Error(ErrorCode::internalError, newString("no manifest"));
        else
            *outResult = newString("{\"supportedTypes\": []}");
    }

    virtual void setHandler(IHandler*) override {}
    virtual void doSetNeededMetadataTypes(Result<void>*, const IMetadataTypes*) override {}

    virtual void doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) override
    {
        pushedTimestampUs = dataPacket->timestampUs();
        if (failing)
        {
            *outResult =
                Error(ErrorCode::otherError, newString("pushCompressedVideoFrame() failed."));
        }
    }
};

TEST(BoundaryCalls, SuccessfulResultsAreCopiedAndReleased)
{
    const auto agent = makePtr<FakeAgent>();
    const int64_t aliveBefore = hostObjectsAlive();

    const auto manifest = getManifest(agent.get());
    EXPECT_TRUE(manifest.isOk());
    EXPECT_TRUE(manifest.hasManifest);
    EXPECT_EQ(manifest.manifest, "{\"supportedTypes\": []}");

    const auto settings = doSetSettings(agent.get(), Settings{{"enableMetadata", "true"}});
    EXPECT_TRUE(settings.isOk());
    EXPECT_FALSE(settings.hasErrorMessage);
    EXPECT_EQ(agent->receivedSettings, (StringMap::Items{{"enableMetadata", "true"}}));
    EXPECT_TRUE(settings.hasResponse);
    EXPECT_EQ(settings.values, (StringMap::Items{{"a", "1"}}));
    EXPECT_TRUE(settings.errors.empty());
    EXPECT_EQ(settings.model, "{\"items\": []}");

    const auto untouched = getPluginSideSettings(static_cast<const IDeviceAgent*>(agent.get()));
    EXPECT_TRUE(untouched.isOk());
    EXPECT_FALSE(untouched.hasResponse);

    const auto packet = makePtr<CompressedVideoPacket>(42);
    EXPECT_TRUE(doPushDataPacket(agent.get(), packet.get()).isOk());
    EXPECT_EQ(agent->pushedTimestampUs, 42);
    EXPECT_EQ(packet->refCount(), 1);

    EXPECT_EQ(hostObjectsAlive(), aliveBefore + 1); //< Only the packet is left.
}

TEST(BoundaryCalls, ErrorsAreCopiedAndTheirMessagesReleased)
{
    const auto agent = makePtr<FakeAgent>();
    agent->failing = true;
    const auto packet = makePtr<CompressedVideoPacket>(0);
    const int64_t aliveBefore = hostObjectsAlive();

    const auto manifest = getManifest(agent.get());
    EXPECT_EQ(manifest.errorCode, ErrorCode::internalError);
    EXPECT_EQ(manifest.errorMessage, "no manifest");
    EXPECT_FALSE(manifest.hasManifest);

    const auto settings = doSetSettings(agent.get(), Settings{});
    EXPECT_EQ(settings.errorCode, ErrorCode::invalidParams);
    EXPECT_TRUE(settings.hasErrorMessage);
    EXPECT_EQ(settings.errorMessage, "Settings are invalid");
    EXPECT_FALSE(settings.hasResponse);

    const auto pushed = doPushDataPacket(agent.get(), packet.get());
    EXPECT_FALSE(pushed.isOk());
    EXPECT_EQ(pushed.errorCode, ErrorCode::otherError);
    EXPECT_EQ(pushed.errorMessage, "pushCompressedVideoFrame() failed.");

    EXPECT_EQ(hostObjectsAlive(), aliveBefore);
}

} // namespace
} // namespace skyloom::testhost
