// The plugin's answer to new settings. Each getter returns the held object with one new
// reference for the caller, or null. One object answers both versions' ids.
#pragma once

#include <nx/sdk/i_string.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/interface.h>

namespace nx::sdk {

class ISettingsResponse0: public Interface<ISettingsResponse0>
{
public:
    static const char* interfaceId() { return "nx::sdk::ISettingsResponse"; }

    virtual const IStringMap* values() const = 0;
    virtual const IStringMap* errors() const = 0;
};

class ISettingsResponse: public Interface<ISettingsResponse, ISettingsResponse0>
{
public:
    static const char* interfaceId() { return "nx::sdk::ISettingsResponse1"; }

    virtual const IString* model() const = 0;
};

} // namespace nx::sdk
