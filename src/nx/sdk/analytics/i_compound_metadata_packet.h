// A packet of metadata items valid for durationUs from timestampUs. at() returns a new reference
// for the caller (query it for the object or event interface), or null for a bad index.
#pragma once

#include <cstdint>

#include <nx/sdk/analytics/i_metadata.h>
#include <nx/sdk/analytics/i_metadata_packet.h>

namespace nx::sdk::analytics {

class ICompoundMetadataPacket: public Interface<ICompoundMetadataPacket, IMetadataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::ICompoundMetadataPacket"; }

    virtual int64_t durationUs() const = 0;
    virtual int32_t count() const = 0;
    virtual const IMetadata* at(int32_t index) const = 0;
};

} // namespace nx::sdk::analytics
