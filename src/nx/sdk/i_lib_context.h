// Library-level context that the server sets up through the exported nxLibContext() right after
// loading: the library's name and the server's object registry (owned by the context from then
// on). Neither interface is reference-counted.
#pragma once

#include <cstdint>

#include <nx/sdk/i_ref_countable.h>

namespace nx::sdk {

/** Server object told of every reference-counted object's creation and destruction. */
class IRefCountableRegistry
{
public:
    virtual ~IRefCountableRegistry() = default;
    virtual void notifyCreated(IRefCountable* object, int32_t refCount) = 0;
    virtual void notifyDestroyed(IRefCountable* object, int32_t refCount) = 0;
};

class ILibContext
{
public:
    virtual ~ILibContext() = default;
    virtual void setName(const char* name) = 0;
    /** Takes ownership of the registry. */
    virtual void setRefCountableRegistry(IRefCountableRegistry* refCountableRegistry) = 0;
};

} // namespace nx::sdk
