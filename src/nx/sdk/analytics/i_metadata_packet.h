#pragma once

#include <nx/sdk/analytics/i_data_packet.h>

namespace nx::sdk::analytics {

class IMetadataPacket: public Interface<IMetadataPacket, IDataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IMetadataPacket"; }
};

} // namespace nx::sdk::analytics
