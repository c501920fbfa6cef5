// Server-side video packets that the server pushes to a device agent. The plugin only asks for
// these interfaces by id and reads timestampUs(); further operations are the server's.
#pragma once

#include <nx/sdk/analytics/i_data_packet.h>

namespace nx::sdk::analytics {

class ICompressedVideoPacket: public Interface<ICompressedVideoPacket, IDataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::ICompressedVideoPacket1"; }
};

class IUncompressedVideoFrame: public Interface<IUncompressedVideoFrame, IDataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IUncompressedVideoFrame1"; }
};

class ICustomMetadataPacket: public Interface<ICustomMetadataPacket, IDataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::ICustomMetadataPacket"; }
};

} // namespace nx::sdk::analytics
