#include "plugin.h"

#include <exception>

#include <nx/kit/debug.h>

#include "engine.h"
#include "settings/settings_model.h"

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

Result<IEngine*> Plugin::doObtainEngine()
{
    return new Engine();
}

std::string Plugin::manifestString() const
{
    return R"json({
    "id": "skyloom.plugin",
    "name": "Skyloom Analytics Plugin",
    "description": "Skyloom Analytics Plugin",
    "version": "1.1.0",
    "vendor": "Skyloom",
    "engineSettingsModel": )json" + engineSettingsModel() + "\n}\n";
}

} // namespace nx::vms_server_plugins::analytics::sample

namespace {

void logCreationFailure(const char* what) noexcept
{
    try
    {
        NX_PRINT << "createNxPlugin(): exception: " << what;
    }
    catch (...)
    {
        // Out of memory while reporting: nothing more can be done without throwing.
    }
}

} // namespace

extern "C" nx::sdk::IPlugin* createNxPlugin()
{
    // Nothing may be thrown back into the server.
    try
    {
        return new nx::vms_server_plugins::analytics::sample::Plugin();
    }
    catch (const std::exception& e)
    {
        logCreationFailure(e.what());
    }
    catch (...)
    {
        logCreationFailure("unknown");
    }
    return nullptr;
}
