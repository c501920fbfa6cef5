#include "plugin.h"

#include <exception>

#include <nx/kit/debug.h>

#include "engine.h"

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
    "engineSettingsModel": {
        "type": "Settings",
        "items": [
            {
                "type": "GroupBox",
                "caption": "Engine settings",
                "items": [
                    {
                        "type": "SpinBox",
                        "name": "ServicePort",
                        "caption": "Service Port",
                        "defaultValue": 9911,
                        "minValue": 1024,
                        "maxValue": 65535
                    },
                    {
                        "type": "TextField",
                        "name": "ServiceAddress",
                        "caption": "Service Address (IP address or interface; * for all)",
                        "defaultValue": "*"
                    },
                    {
                        "type": "TextField",
                        "name": "AllowedEngineAddresses",
                        "caption": "Allowed AI Engine Addresses (IP addresses and CIDR ranges, comma-separated; empty for any)",
                        "defaultValue": ""
                    },
                    {
                        "type": "CheckBox",
                        "name": "IsolateReceiver",
                        "caption": "Receive from AI engines in a separate, sandboxed process (recommended)",
                        "defaultValue": true,
                        "value": true
                    }
                ]
            },
            {
                "type": "GroupBox",
                "caption": "Encryption",
                "items": [
                    {
                        "type": "TextField",
                        "name": "CurveSecretKeyFile",
                        "caption": "CurveZMQ Secret Certificate File (empty for no encryption)",
                        "defaultValue": ""
                    },
                    {
                        "type": "TextField",
                        "name": "AuthorizedEnginesDirectory",
                        "caption": "Directory of the AI Engines' Public Certificates",
                        "defaultValue": ""
                    }
                ]
            },
            {
                "type": "GroupBox",
                "caption": "Diagnostics",
                "items": [
                    {
                        "type": "CheckBox",
                        "name": "LoopbackRelay",
                        "caption": "Copy every message to tcp://127.0.0.1:688 for local watchers",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "TextField",
                        "name": "MetricsFile",
                        "caption": "Metrics file for monitoring (Prometheus text format; empty: none)",
                        "defaultValue": ""
                    }
                ]
            }
        ]
    }
}
)json";
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
