// Server object handed to the plugin; the plugin only holds a reference to it.
#pragma once

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IUtilityProvider: public Interface<IUtilityProvider>
{
public:
    static const char* interfaceId() { return "nx::sdk::IUtilityProvider"; }
};

} // namespace nx::sdk
