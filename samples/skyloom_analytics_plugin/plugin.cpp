#include "plugin.h"

#include <nx/kit/debug.h>

#include "engine.h"
#include "settings/settings_model.h"

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

Result<IEngine*> Plugin::doObtainEngine()
{
    return new Engine(m_intervals);
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
