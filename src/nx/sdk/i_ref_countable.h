// Root of every interface between the server and the plugin. Objects are reference-counted:
// born with one reference, deleted by the releaseRef() that brings the count to 0 (on whichever
// thread that is). addRef()/releaseRef() may be called from any thread.
// queryInterface() matches ids by text, never by address; a match adds one reference for the
// caller, a mismatch (or a null id) returns null and leaves the count unchanged.
#pragma once

#include <cstdint>
#include <cstring>

namespace nx::sdk {

class IRefCountable
{
public:
    static const char* interfaceId() { return "nx::sdk::IRefCountable"; }

    virtual ~IRefCountable() = default;

    /** Returns the object as the interface with the given id text, with one new reference. */
    virtual IRefCountable* queryInterface(const char* id)
    {
        if (!interfaceIdMatches(id, interfaceId()))
            return nullptr;
        addRef();
        return this;
    }

    virtual int32_t addRef() const = 0;
    virtual int32_t releaseRef() const = 0;

protected:
    static bool interfaceIdMatches(const char* requested, const char* own)
    {
        return requested != nullptr && std::strcmp(requested, own) == 0;
    }
};

} // namespace nx::sdk
