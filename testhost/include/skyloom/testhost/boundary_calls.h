// The server's side of the calls with a result slot: each helper hands the plugin a default
// Result, copies what comes back into plain values and releases every reference the result
// carried (error message, manifest, settings response, action texts), so nothing leaks.
// Objects the caller keeps (engine, device agent) come back in a Ptr that owns the reference.
// Call them on any one thread per plugin object, as the server does.
#pragma once

#include <map>
#include <optional>
#include <string>

#include <nx/sdk/analytics/i_action.h>
#include <nx/sdk/analytics/i_consuming_device_agent.h>
#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/analytics/i_metadata_types.h>
#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/i_device_info.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/result.h>

namespace skyloom::testhost {

/** The error part of any result, copied. */
struct CallStatus
{
    nx::sdk::ErrorCode errorCode = nx::sdk::ErrorCode::noError;
    bool hasErrorMessage = false;
    std::string errorMessage;

    bool isOk() const { return errorCode == nx::sdk::ErrorCode::noError; }
};

struct ManifestResult: CallStatus
{
    bool hasManifest = false;
    std::string manifest;
};

struct SettingsResult: CallStatus
{
    bool hasResponse = false;
    std::map<std::string, std::string> values; //< Empty when the response has no values map.
    std::map<std::string, std::string> errors; //< Empty when the response has no errors map.
    std::optional<std::string> model;
};

struct ActionResult: CallStatus
{
    std::optional<std::string> actionUrl;
    std::optional<std::string> messageToUser;
};

template<class Interface>
struct Obtained: CallStatus
{
    nx::sdk::Ptr<Interface> object; //< Null when the call failed or returned nothing.
};

using Settings = std::map<std::string, std::string>;

/** The text of a returned string; releases the reference it carried. Null gives "". */
std::string takeText(const nx::sdk::IString* text);

ManifestResult getManifest(const nx::sdk::analytics::IPlugin* plugin);
ManifestResult getManifest(const nx::sdk::analytics::IEngine* engine);
ManifestResult getManifest(const nx::sdk::analytics::IDeviceAgent* deviceAgent);

Obtained<nx::sdk::analytics::IEngine> obtainEngine(nx::sdk::analytics::IPlugin* plugin);
Obtained<nx::sdk::analytics::IDeviceAgent> obtainDeviceAgent(
    nx::sdk::analytics::IEngine* engine, const nx::sdk::IDeviceInfo* deviceInfo);

SettingsResult doSetSettings(
    nx::sdk::analytics::IEngine* engine, const nx::sdk::IStringMap* settings);
SettingsResult doSetSettings(nx::sdk::analytics::IEngine* engine, const Settings& settings);
SettingsResult doSetSettings(
    nx::sdk::analytics::IDeviceAgent* deviceAgent, const nx::sdk::IStringMap* settings);
SettingsResult doSetSettings(
    nx::sdk::analytics::IDeviceAgent* deviceAgent, const Settings& settings);

SettingsResult getPluginSideSettings(const nx::sdk::analytics::IEngine* engine);
SettingsResult getPluginSideSettings(const nx::sdk::analytics::IDeviceAgent* deviceAgent);

ActionResult doExecuteAction(
    nx::sdk::analytics::IEngine* engine, nx::sdk::analytics::IAction* action);

CallStatus doSetNeededMetadataTypes(nx::sdk::analytics::IDeviceAgent* deviceAgent,
    const nx::sdk::analytics::IMetadataTypes* neededMetadataTypes);

/**
 * Pushes through IConsumingDeviceAgent. An agent that does not offer it gives
 * notImplemented with a host-side message, without calling the agent.
 */
CallStatus doPushDataPacket(
    nx::sdk::analytics::IDeviceAgent* deviceAgent, nx::sdk::analytics::IDataPacket* packet);

} // namespace skyloom::testhost
