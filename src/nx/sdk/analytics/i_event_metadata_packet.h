#pragma once

#include <nx/sdk/analytics/i_compound_metadata_packet.h>

namespace nx::sdk::analytics {

class IEventMetadataPacket: public Interface<IEventMetadataPacket, ICompoundMetadataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IEventMetadataPacket"; }
};

} // namespace nx::sdk::analytics
