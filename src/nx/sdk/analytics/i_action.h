// Server-side action triggered by a user on an object track; borrowed for the call.
#pragma once

#include <cstdint>

#include <nx/sdk/i_string.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/interface.h>
#include <nx/sdk/uuid.h>

namespace nx::sdk::analytics {

class IAction: public Interface<IAction>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IAction"; }

    /** Value of the action's result slot; each pointer carries one reference, null by default. */
    struct Result
    {
        const IString* actionUrl = nullptr;
        const IString* messageToUser = nullptr;
    };

    virtual const char* actionId() const = 0;
    virtual void objectTrackId(Uuid* outValue) const = 0;
    virtual void deviceId(Uuid* outValue) const = 0;
    virtual int64_t timestampUs() const = 0;
    virtual const void* objectTrackInfo() const = 0;
    virtual const IStringMap* params() const = 0;
};

} // namespace nx::sdk::analytics
