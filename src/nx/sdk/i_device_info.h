// Server-side description of one camera; borrowed by the plugin for the call it is passed to.
#pragma once

#include <cstdint>

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IDeviceInfo: public Interface<IDeviceInfo>
{
public:
    static const char* interfaceId() { return "nx::sdk::IDeviceInfo"; }

    virtual const char* id() const = 0;
    virtual const char* vendor() const = 0;
    virtual const char* model() const = 0;
    virtual const char* firmware() const = 0;
    virtual const char* name() const = 0;
    virtual const char* url() const = 0;
    virtual const char* login() const = 0;
    virtual const char* password() const = 0;
    virtual const char* sharedId() const = 0;
    virtual const char* logicalId() const = 0;
    virtual int32_t channelNumber() const = 0;
};

} // namespace nx::sdk
