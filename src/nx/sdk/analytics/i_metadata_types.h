// Server object listing the metadata types the server needs; the plugin never reads it.
#pragma once

#include <nx/sdk/interface.h>

namespace nx::sdk::analytics {

class IMetadataTypes: public Interface<IMetadataTypes>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IMetadataTypes"; }
};

} // namespace nx::sdk::analytics
