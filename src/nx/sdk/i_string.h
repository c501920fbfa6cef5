// A reference-counted text. str() stays valid while the object lives unchanged.
#pragma once

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IString: public Interface<IString>
{
public:
    static const char* interfaceId() { return "nx::sdk::IString"; }
    virtual const char* str() const = 0;
};

} // namespace nx::sdk
