// Server-side information about the engine; the plugin reads its id.
#pragma once

#include <nx/sdk/interface.h>

namespace nx::sdk::analytics {

class IEngineInfo: public Interface<IEngineInfo>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IEngineInfo"; }

    virtual const char* id() const = 0;
    virtual const char* name() const = 0;
};

} // namespace nx::sdk::analytics
