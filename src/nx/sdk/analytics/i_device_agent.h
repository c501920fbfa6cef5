// The plugin's object for one camera. Called on the server's threads. Results travel through
// result slots; returned pointers carry one reference for the server. The handler is the
// server's: the agent takes its own reference and calls it from any of its threads.
#pragma once

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/analytics/i_metadata_types.h>
#include <nx/sdk/i_plugin_diagnostic_event.h>
#include <nx/sdk/i_settings_response.h>
#include <nx/sdk/i_string.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/interface.h>
#include <nx/sdk/result.h>

namespace nx::sdk::analytics {

class IDeviceAgent: public Interface<IDeviceAgent>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IDeviceAgent"; }

    /** Server-side receiver of the agent's output; arguments are borrowed for the call. */
    class IHandler: public Interface<IHandler>
    {
    public:
        static const char* interfaceId() { return "nx::sdk::analytics::IDeviceAgent::IHandler"; }

        virtual void handleMetadata(IMetadataPacket* metadataPacket) = 0;
        virtual void handlePluginDiagnosticEvent(IPluginDiagnosticEvent* event) = 0;
        virtual void pushManifest(const IString* manifest) = 0;
    };

    virtual void doSetSettings(
        Result<const ISettingsResponse*>* outResult, const IStringMap* settings) = 0;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const = 0;
    virtual void getManifest(Result<const IString*>* outResult) const = 0;
    virtual void setHandler(IHandler* handler) = 0;
    virtual void doSetNeededMetadataTypes(
        Result<void>* outResult, const IMetadataTypes* neededMetadataTypes) = 0;
};

} // namespace nx::sdk::analytics
