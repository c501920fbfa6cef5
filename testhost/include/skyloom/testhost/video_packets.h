// Data packets that the server pushes to a device agent with doPushDataPacket(); the agent
// borrows them for the call and reads only timestampUs(). Immutable, so any thread may read
// them. CompressedVideoWithCustomMetadataPacket answers both the compressed video id and the
// custom metadata id, to check which kind an agent picks.
#pragma once

#include <cstdint>

#include <nx/sdk/analytics/i_compressed_video_packet.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

template<class PacketInterface>
class TimestampedPacket: public HostRefCountable<PacketInterface>
{
public:
    explicit TimestampedPacket(int64_t timestampUs): m_timestampUs(timestampUs) {}

    virtual int64_t timestampUs() const override { return m_timestampUs; }

private:
    const int64_t m_timestampUs;
};

using CompressedVideoPacket = TimestampedPacket<nx::sdk::analytics::ICompressedVideoPacket>;
using UncompressedVideoFrame = TimestampedPacket<nx::sdk::analytics::IUncompressedVideoFrame>;
using CustomMetadataPacket = TimestampedPacket<nx::sdk::analytics::ICustomMetadataPacket>;

/**
 * One object behind two interfaces: the compressed video chain answers every id but the custom
 * metadata one, which the second base answers. Both bases share the one reference count.
 */
class CompressedVideoWithCustomMetadataPacket:
    public TimestampedPacket<nx::sdk::analytics::ICompressedVideoPacket>,
    public nx::sdk::analytics::ICustomMetadataPacket
{
    using Primary = TimestampedPacket<nx::sdk::analytics::ICompressedVideoPacket>;

public:
    explicit CompressedVideoWithCustomMetadataPacket(int64_t timestampUs): Primary(timestampUs) {}

    virtual nx::sdk::IRefCountable* queryInterface(const char* id) override
    {
        using nx::sdk::analytics::ICustomMetadataPacket;
        if (interfaceIdMatches(id, ICustomMetadataPacket::interfaceId()))
        {
            addRef();
            return static_cast<ICustomMetadataPacket*>(this);
        }
        return Primary::queryInterface(id);
    }

    virtual int32_t addRef() const override { return Primary::addRef(); }
    virtual int32_t releaseRef() const override { return Primary::releaseRef(); }
    virtual int64_t timestampUs() const override { return Primary::timestampUs(); }
};

} // namespace skyloom::testhost
