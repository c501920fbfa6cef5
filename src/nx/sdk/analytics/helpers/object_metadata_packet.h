// The objects reported for one moment: timestamp and duration (microseconds, -1 until set)
// and the items in insertion order. Filled by one thread before it is handed to the server,
// then only read. The packet holds one reference to each item; at() returns a new reference
// for the caller.
#pragma once

#include <cstdint>
#include <vector>

#include <nx/sdk/analytics/i_object_metadata.h>
#include <nx/sdk/analytics/i_object_metadata_packet.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk::analytics {

class ObjectMetadataPacket: public RefCountable<IObjectMetadataPacket>
{
public:
    virtual int64_t timestampUs() const override;
    virtual int64_t durationUs() const override;
    virtual int32_t count() const override;

    /** Null for an index outside 0..count()-1. */
    virtual const IMetadata* at(int32_t index) const override;

    void setTimestampUs(int64_t timestampUs);
    void setDurationUs(int64_t durationUs);

    /** Adds a reference of its own; the caller keeps its reference. Null is reported, ignored. */
    void addItem(const IObjectMetadata* objectMetadata);

    /** Drops the packet's references to all items. */
    void clear();

private:
    int64_t m_timestampUs = -1;
    int64_t m_durationUs = -1;
    std::vector<Ptr<const IObjectMetadata>> m_items;
};

} // namespace nx::sdk::analytics
