// Any packet that travels between server and plugin: video frames (server to plugin) and
// metadata packets (plugin to server). Times are microseconds on the server's timeline.
#pragma once

#include <cstdint>

#include <nx/sdk/interface.h>

namespace nx::sdk::analytics {

class IDataPacket: public Interface<IDataPacket>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IDataPacket"; }
    virtual int64_t timestampUs() const = 0;
};

} // namespace nx::sdk::analytics
