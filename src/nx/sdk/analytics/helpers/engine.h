// Base of an analytics engine: keeps the engine settings and the server's handler, turns results
// into the server's result slots and writes the life-cycle log lines. A subclass supplies the
// manifest, the device agent factory and its reaction to new settings. The IEngine operations
// run on the server's threads; pushPluginDiagnosticEvent() may be called from any thread.
// Pointers stored into result slots carry one reference for the server.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/helpers/log_utils.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk::analytics {

class Engine: public RefCountable<IEngine>
{
protected:
    explicit Engine(bool enableOutput);

public:
    virtual ~Engine() override;

    // IEngine, in slot order.
    virtual void setEngineInfo(const IEngineInfo* engineInfo) override;
    virtual void doSetSettings(
        Result<const ISettingsResponse*>* outResult, const IStringMap* settings) override;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    virtual void getManifest(Result<const IString*>* outResult) const override;
    virtual bool isCompatible(const IDeviceInfo* deviceInfo) const override;
    virtual void doObtainDeviceAgent(
        Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo) override = 0;
    virtual void doExecuteAction(Result<IAction::Result>* outResult, IAction* action) override;
    virtual void setHandler(IHandler* handler) override;

protected:
    // Operations of the subclass, in slot order after those of IEngine.

    /** The engine manifest (JSON text). */
    virtual std::string manifestString() const = 0;

    /** Called after new settings were stored; by default success with no settings response. */
    virtual Result<const ISettingsResponse*> settingsReceived();

    /** By default success with no action URL and no message for the user. */
    virtual Result<IAction::Result> executeAction(
        const std::string& actionId,
        Uuid objectTrackId,
        Uuid deviceId,
        int64_t timestampUs,
        const void* objectTrackInfo,
        const std::map<std::string, std::string>& params);

protected:
    /**
     * The stored value, or the empty text (entered into the settings then) for an unknown name.
     * Server threads only: the settings carry no lock.
     */
    std::string settingValue(const std::string& name);

    /** Hands a new event to the server's handler; logged and dropped before setHandler(). */
    void pushPluginDiagnosticEvent(
        IPluginDiagnosticEvent::Level level, std::string caption, std::string description);

protected:
    LogUtils logUtils;

private:
    void runAction(Result<IAction::Result>* outResult, IAction* action);

private:
    std::mutex m_mutex; //< Guards m_handler, held during every call into it.
    std::map<std::string, std::string> m_settings; //< Written and read on server threads.
    Ptr<IEngine::IHandler> m_handler;
};

} // namespace nx::sdk::analytics
