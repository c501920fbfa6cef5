// The object that createNxPlugin() returns; the server gives it the utility provider (borrowed
// for the call: the plugin takes its own reference).
#pragma once

#include <nx/sdk/i_utility_provider.h>
#include <nx/sdk/interface.h>

namespace nx::sdk {

class IPlugin: public Interface<IPlugin>
{
public:
    static const char* interfaceId() { return "nx::sdk::IPlugin"; }

    virtual void setUtilityProvider(IUtilityProvider* utilityProvider) = 0;
};

} // namespace nx::sdk
