// The plugin's engine: one per plugin instance in the server; hands out device agents. Called on
// the server's threads. Returned pointers carry one reference for the server; arguments are
// borrowed for the call.
#pragma once

#include <nx/sdk/analytics/i_action.h>
#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/analytics/i_engine_info.h>
#include <nx/sdk/i_device_info.h>
#include <nx/sdk/i_plugin_diagnostic_event.h>
#include <nx/sdk/i_settings_response.h>
#include <nx/sdk/i_string.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/interface.h>
#include <nx/sdk/result.h>

namespace nx::sdk::analytics {

class IEngine: public Interface<IEngine>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IEngine"; }

    /** Server-side receiver of the engine's diagnostic events; the event is borrowed. */
    class IHandler: public Interface<IHandler>
    {
    public:
        static const char* interfaceId() { return "nx::sdk::analytics::IEngine::IHandler"; }

        virtual void handlePluginDiagnosticEvent(IPluginDiagnosticEvent* event) = 0;
    };

    virtual void setEngineInfo(const IEngineInfo* engineInfo) = 0;
    virtual void doSetSettings(
        Result<const ISettingsResponse*>* outResult, const IStringMap* settings) = 0;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void getManifest(Result<const IString*>* outResult) const = 0;
    virtual bool isCompatible(const IDeviceInfo* deviceInfo) const = 0;
    virtual void doObtainDeviceAgent(
        Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo) = 0;
    virtual void doExecuteAction(Result<IAction::Result>* outResult, IAction* action) = 0;
    virtual void setHandler(IHandler* handler) = 0;
};

} // namespace nx::sdk::analytics
