#include <skyloom/testhost/boundary_calls.h>

#include <nx/sdk/i_settings_response.h>

#include <skyloom/testhost/records.h>
#include <skyloom/testhost/string_map.h>

namespace skyloom::testhost {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

void takeError(const Error& error, CallStatus* status)
{
    status->errorCode = error.errorCode();
    status->hasErrorMessage = error.errorMessage() != nullptr;
    status->errorMessage = takeText(error.errorMessage());
}

std::optional<std::string> takeOptionalText(const IString* text)
{
    if (!text)
        return std::nullopt;
    return takeText(text);
}

template<class Target>
void takeManifest(const Result<const IString*>& result, Target* target)
{
    takeError(result.error(), target);
    target->hasManifest = result.value() != nullptr;
    target->manifest = takeText(result.value());
}

void takeSettingsResponse(const Result<const ISettingsResponse*>& result, SettingsResult* target)
{
    takeError(result.error(), target);
    const Ptr<const ISettingsResponse> response = toPtr(result.value());
    target->hasResponse = response != nullptr;
    if (!response)
        return;
    target->values = copyStringMap(toPtr(response->values()).get());
    target->errors = copyStringMap(toPtr(response->errors()).get());
    target->model = takeOptionalText(response->model());
}

template<class Interface>
Obtained<Interface> takeObtained(const Result<Interface*>& result)
{
    Obtained<Interface> obtained;
    takeError(result.error(), &obtained);
    obtained.object = toPtr(result.value());
    return obtained;
}

template<class Object>
ManifestResult getManifestOf(const Object* object)
{
    Result<const IString*> result;
    object->getManifest(&result);
    ManifestResult manifest;
    takeManifest(result, &manifest);
    return manifest;
}

template<class Object>
SettingsResult doSetSettingsOf(Object* object, const IStringMap* settings)
{
    Result<const ISettingsResponse*> result;
    object->doSetSettings(&result, settings);
    SettingsResult settingsResult;
    takeSettingsResponse(result, &settingsResult);
    return settingsResult;
}

template<class Object>
SettingsResult getPluginSideSettingsOf(const Object* object)
{
    Result<const ISettingsResponse*> result;
    object->getPluginSideSettings(&result);
    SettingsResult settingsResult;
    takeSettingsResponse(result, &settingsResult);
    return settingsResult;
}

} // namespace

std::string takeText(const IString* text)
{
    const Ptr<const IString> owned = toPtr(text);
    return owned ? copyText(owned->str()) : std::string();
}

ManifestResult getManifest(const analytics::IPlugin* plugin) { return getManifestOf(plugin); }
ManifestResult getManifest(const IEngine* engine) { return getManifestOf(engine); }
ManifestResult getManifest(const IDeviceAgent* deviceAgent) { return getManifestOf(deviceAgent); }

Obtained<IEngine> obtainEngine(analytics::IPlugin* plugin)
{
    Result<IEngine*> result;
    plugin->doObtainEngine(&result);
    return takeObtained(result);
}

Obtained<IDeviceAgent> obtainDeviceAgent(IEngine* engine, const IDeviceInfo* deviceInfo)
{
    Result<IDeviceAgent*> result;
    engine->doObtainDeviceAgent(&result, deviceInfo);
    return takeObtained(result);
}

SettingsResult doSetSettings(IEngine* engine, const IStringMap* settings)
{
    return doSetSettingsOf(engine, settings);
}

SettingsResult doSetSettings(IEngine* engine, const Settings& settings)
{
    return doSetSettingsOf(engine, makePtr<StringMap>(settings).get());
}

SettingsResult doSetSettings(IDeviceAgent* deviceAgent, const IStringMap* settings)
{
    return doSetSettingsOf(deviceAgent, settings);
}

SettingsResult doSetSettings(IDeviceAgent* deviceAgent, const Settings& settings)
{
    return doSetSettingsOf(deviceAgent, makePtr<StringMap>(settings).get());
}

SettingsResult getPluginSideSettings(const IEngine* engine)
{
    return getPluginSideSettingsOf(engine);
}

SettingsResult getPluginSideSettings(const IDeviceAgent* deviceAgent)
{
    return getPluginSideSettingsOf(deviceAgent);
}

ActionResult doExecuteAction(IEngine* engine, IAction* action)
{
    Result<IAction::Result> result;
    engine->doExecuteAction(&result, action);
    ActionResult actionResult;
    takeError(result.error(), &actionResult);
    actionResult.actionUrl = takeOptionalText(result.value().actionUrl);
    actionResult.messageToUser = takeOptionalText(result.value().messageToUser);
    return actionResult;
}

CallStatus doSetNeededMetadataTypes(
    IDeviceAgent* deviceAgent, const IMetadataTypes* neededMetadataTypes)
{
    Result<void> result;
    deviceAgent->doSetNeededMetadataTypes(&result, neededMetadataTypes);
    CallStatus status;
    takeError(result.error(), &status);
    return status;
}

CallStatus doPushDataPacket(IDeviceAgent* deviceAgent, IDataPacket* packet)
{
    CallStatus status;
    const auto consuming = queryInterface<IConsumingDeviceAgent>(deviceAgent);
    if (!consuming)
    {
        status.errorCode = ErrorCode::notImplemented;
        status.errorMessage = "host: the device agent is not an IConsumingDeviceAgent";
        return status;
    }
    Result<void> result;
    consuming->doPushDataPacket(&result, packet);
    takeError(result.error(), &status);
    return status;
}

} // namespace skyloom::testhost
