#include <gtest/gtest.h>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/action.h>
#include <skyloom/testhost/video_packets.h>

namespace skyloom::testhost {
namespace {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

TEST(VideoPackets, EachKindAnswersItsOwnChainOnly)
{
    const char* const ids[] = {
        "nx::sdk::analytics::ICompressedVideoPacket1",
        "nx::sdk::analytics::IUncompressedVideoFrame1",
        "nx::sdk::analytics::ICustomMetadataPacket",
    };
    const Ptr<IDataPacket> packets[] = {
        makePtr<CompressedVideoPacket>(1),
        makePtr<UncompressedVideoFrame>(2),
        makePtr<CustomMetadataPacket>(3),
    };
    for (int p = 0; p < 3; ++p)
    {
        for (int i = 0; i < 3; ++i)
        {
            SCOPED_TRACE(std::to_string(p) + " asked for " + ids[i]);
            const std::string id = ids[i]; //< Matched by text, not by address.
            const auto found = toPtr(packets[p]->queryInterface(id.c_str()));
            EXPECT_EQ(found != nullptr, p == i);
        }
        const auto base = queryInterface<IDataPacket>(packets[p]);
        ASSERT_TRUE(base);
        EXPECT_EQ(base->timestampUs(), p + 1);
    }
}

TEST(VideoPackets, DualPacketSharesOneCountAcrossBothInterfaces)
{
    const int64_t aliveBefore = hostObjectsAlive();
    auto* packet = new CompressedVideoWithCustomMetadataPacket(1234);
    IDataPacket* asData = static_cast<ICompressedVideoPacket*>(packet);

    auto compressed = queryInterface<ICompressedVideoPacket>(asData);
    auto custom = queryInterface<ICustomMetadataPacket>(asData);
    ASSERT_TRUE(compressed);
    ASSERT_TRUE(custom);
    EXPECT_EQ(asData->queryInterface("nx::sdk::analytics::IUncompressedVideoFrame1"), nullptr);
    EXPECT_EQ(compressed->timestampUs(), 1234);
    EXPECT_EQ(custom->timestampUs(), 1234);
    EXPECT_EQ(packet->refCount(), 3);

    // Dropping the last reference through the second interface must still delete the object.
    asData->releaseRef();
    compressed.reset();
    EXPECT_EQ(hostObjectsAlive(), aliveBefore + 1);
    custom.reset();
    EXPECT_EQ(hostObjectsAlive(), aliveBefore);
}

TEST(Action, ParamsCarryANewReferenceAndMayBeNull)
{
    const auto action = makePtr<Action>();
    const auto params = makePtr<StringMap>(StringMap::Items{{"key", "value"}});
    action->setParams(params);
    ASSERT_EQ(params->refCount(), 2);

    const Ptr<const IStringMap> received = toPtr(static_cast<IAction*>(action.get())->params());
    EXPECT_EQ(received.get(), params.get());
    EXPECT_EQ(params->refCount(), 3);

    action->setParams(nullptr);
    EXPECT_EQ(action->params(), nullptr);
}

} // namespace
} // namespace skyloom::testhost
