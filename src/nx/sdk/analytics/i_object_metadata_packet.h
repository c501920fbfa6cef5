#pragma once

#include <nx/sdk/analytics/i_compound_metadata_packet.h>

namespace nx::sdk::analytics {

class IObjectMetadataPacket: public Interface<IObjectMetadataPacket, ICompoundMetadataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IObjectMetadataPacket"; }
};

} // namespace nx::sdk::analytics
