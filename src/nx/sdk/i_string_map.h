// Read-only map of texts, ordered by key; index i is the i-th entry in key order. Returned
// pointers are valid while the map lives unchanged; null for a bad index or an absent key.
#pragma once

#include <cstdint>

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IStringMap: public Interface<IStringMap>
{
public:
    static const char* interfaceId() { return "nx::sdk::IStringMap"; }

    virtual int32_t count() const = 0;
    virtual const char* key(int32_t index) const = 0;
    virtual const char* value(int32_t index) const = 0;
    virtual const char* value(const char* key) const = 0;
};

} // namespace nx::sdk
