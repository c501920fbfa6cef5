#include "engine.h"

#include <utility>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/lib_context.h>
#include <nx/sdk/helpers/plugin_diagnostic_event.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/uuid_helper.h>

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::sdk::analytics {

namespace {

constexpr char kPrefixStart[] = "[engine";
constexpr char kPrefixEnd[] = "..}] ";

/** The id part of the prefix: "_" + id, cut to 10 characters; empty without information. */
std::string idPart(const IEngineInfo* engineInfo)
{
    if (!engineInfo)
        return "";
    const char* const id = engineInfo->id();
    return ("_" + std::string(id ? id : "")).substr(0, 10);
}

} // namespace

Engine::Engine(bool enableOutput):
    logUtils(enableOutput, std::string(kPrefixStart) + kPrefixEnd)
{
    NX_PRINT << "Created " << this << ": \"" << libContext().name() << "\"";
}

Engine::~Engine()
{
    NX_PRINT << "Destroyed " << this;
}

void Engine::setEngineInfo(const IEngineInfo* engineInfo)
{
    logUtils.guardBoundaryCall(__func__, static_cast<Result<void>*>(nullptr),
        [&]() { logUtils.setPrintPrefix(kPrefixStart + idPart(engineInfo) + kPrefixEnd); });
}

void Engine::doSetSettings(Result<const ISettingsResponse*>* outResult, const IStringMap* settings)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]()
        {
            if (!logUtils.convertAndOutputStringMap(&m_settings, settings, "Received settings"))
            {
                *outResult = error(
                    ErrorCode::invalidParams, "Unable to convert the input string map");
                return;
            }
            *outResult = settingsReceived();
        });
}

void Engine::getPluginSideSettings(Result<const ISettingsResponse*>* /*outResult*/) const
{
}

void Engine::getManifest(Result<const IString*>* outResult) const
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { *outResult = makePtr<String>(manifestString()).releasePtr(); });
}

bool Engine::isCompatible(const IDeviceInfo* /*deviceInfo*/) const
{
    return true;
}

void Engine::doExecuteAction(Result<IAction::Result>* outResult, IAction* action)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { runAction(outResult, action); });
}

void Engine::runAction(Result<IAction::Result>* outResult, IAction* action)
{
    if (!action)
    {
        NX_PRINT << "doExecuteAction" << "(): INTERNAL ERROR: action is null";
        *outResult = error(ErrorCode::invalidParams, "Action is null");
        return;
    }

    const char* const actionIdText = action->actionId();
    const std::string actionId = actionIdText ? actionIdText : "";
    Uuid objectTrackId;
    action->objectTrackId(&objectTrackId);
    Uuid deviceId;
    action->deviceId(&deviceId);
    const int64_t timestampUs = action->timestampUs();

    NX_OUTPUT << "doExecuteAction" << "():";
    NX_OUTPUT << "{";
    NX_OUTPUT << "    actionId: " << nx::kit::utils::quotedLiteral(actionIdText);
    NX_OUTPUT << "    objectTrackId: " << UuidHelper::toStdString(objectTrackId);
    NX_OUTPUT << "    deviceId: " << UuidHelper::toStdString(deviceId);
    NX_OUTPUT << "    timestampUs: " << timestampUs;

    // params() hands over a reference of its own, released here.
    const Ptr<const IStringMap> paramsMap = toPtr(action->params());
    std::map<std::string, std::string> params;
    if (!logUtils.convertAndOutputStringMap(&params, paramsMap.get(), "params", 4))
    {
        *outResult = error(ErrorCode::invalidParams, "Invalid action parameters");
        return;
    }

    NX_OUTPUT << "}";

    *outResult = executeAction(
        actionId, objectTrackId, deviceId, timestampUs, action->objectTrackInfo(), params);
}

void Engine::setHandler(IHandler* handler)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = sharePtr(handler);
}

Result<const ISettingsResponse*> Engine::settingsReceived()
{
    return Result<const ISettingsResponse*>();
}

Result<IAction::Result> Engine::executeAction(
    const std::string& /*actionId*/,
    Uuid /*objectTrackId*/,
    Uuid /*deviceId*/,
    int64_t /*timestampUs*/,
    const void* /*objectTrackInfo*/,
    const std::map<std::string, std::string>& /*params*/)
{
    return IAction::Result();
}

std::string Engine::settingValue(const std::string& name)
{
    return m_settings[name];
}

void Engine::pushPluginDiagnosticEvent(
    IPluginDiagnosticEvent::Level level, std::string caption, std::string description)
{
    const std::lock_guard<std::mutex> lock(m_mutex);

    if (!m_handler)
    {
        NX_PRINT << "pushPluginDiagnosticEvent" << "(): INTERNAL ERROR: "
            << "setHandler() was not called; ignoring the Plugin Diagnostic Event.";
        return;
    }

    const auto event = makePtr<PluginDiagnosticEvent>(
        level, std::move(caption), std::move(description));
    NX_OUTPUT << "Producing Plugin Diagnostic Event:\n" << event->toString();
    m_handler->handlePluginDiagnosticEvent(event.get());
}

} // namespace nx::sdk::analytics
