// A message for the server's operator (shown in the server's notifications).
#pragma once

#include <cstdint>

#include <nx/sdk/interface.h>

namespace nx::sdk {

class IPluginDiagnosticEvent: public Interface<IPluginDiagnosticEvent>
{
public:
    static const char* interfaceId() { return "nx::sdk::IPluginDiagnosticEvent"; }

    enum class Level: int32_t { info = 0, warning = 1, error = 2 };

    virtual Level level() const = 0;
    virtual const char* caption() const = 0;
    virtual const char* description() const = 0;
};

} // namespace nx::sdk
