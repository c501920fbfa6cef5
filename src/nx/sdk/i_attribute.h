// A named text value attached to a metadata item.
#pragma once

#include <cstdint>

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IAttribute: public Interface<IAttribute>
{
public:
    static const char* interfaceId() { return "nx::sdk::IAttribute"; }

    enum class Type: int32_t
    {
        undefined = 0,
        number = 1,
        boolean = 2,
        string = 3,
        reference = 4,
        object = 5,
        color = 6,
    };

    virtual Type type() const = 0;
    virtual const char* name() const = 0;
    virtual const char* value() const = 0;
    virtual float confidence() const = 0;
};

} // namespace nx::sdk
