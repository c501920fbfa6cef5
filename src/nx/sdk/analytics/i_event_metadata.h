// An event (alarm): type id, caption, description and whether it is active.
#pragma once

#include <nx/sdk/analytics/i_metadata.h>

namespace nx::sdk::analytics {

class IEventMetadata: public Interface<IEventMetadata, IMetadata>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IEventMetadata"; }

    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
    virtual bool isActive() const = 0;
};

} // namespace nx::sdk::analytics
