// One metadata item (object or event). attribute() returns a new reference for the caller, or
// null for an index outside 0..attributeCount()-1.
#pragma once

#include <cstdint>

#include <nx/sdk/i_attribute.h>
#include <nx/sdk/interface.h>

namespace nx::sdk::analytics {

class IMetadata: public Interface<IMetadata>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IMetadata"; }

    virtual const char* typeId() const = 0;
    virtual float confidence() const = 0;
    virtual const IAttribute* attribute(int32_t index) const = 0;
    virtual int32_t attributeCount() const = 0;
};

} // namespace nx::sdk::analytics
