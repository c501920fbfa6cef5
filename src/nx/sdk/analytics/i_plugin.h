// The analytics plugin: manifest and engine factory. Called on the server's threads; returned
// pointers carry one reference for the server.
#pragma once

#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/i_plugin.h>
#include <nx/sdk/i_string.h>
#include <nx/sdk/result.h>

namespace nx::sdk::analytics {

class IPlugin: public Interface<IPlugin, nx::sdk::IPlugin>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IPlugin"; }

    virtual void getManifest(Result<const IString*>* outResult) const = 0;
    virtual void doObtainEngine(Result<IEngine*>* outResult) = 0;
};

} // namespace nx::sdk::analytics
