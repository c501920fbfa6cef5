// Base of an analytics plugin: answers the server's manifest and engine requests from the
// subclass's manifestString() and doObtainEngine(), holds the utility provider and logs its
// life cycle with the prefix "[plugin] ". Called on the server's threads. The engine stored into
// the result slot carries one reference for the server.
#pragma once

#include <functional>
#include <string>

#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk::analytics {

class Plugin: public RefCountable<IPlugin>
{
public:
    /** Returns a new engine (one reference for the caller) or null. */
    using CreateEngine = std::function<IEngine*(Plugin* plugin)>;

    Plugin();

    /** The older form: manifest and engine factory given here instead of by overriding. */
    Plugin(std::string pluginManifest, CreateEngine createEngine);

    virtual ~Plugin() override;

    // nx::sdk::IPlugin and analytics::IPlugin, in slot order.
    virtual void setUtilityProvider(IUtilityProvider* utilityProvider) override;
    virtual void getManifest(Result<const IString*>* outResult) const override;
    virtual void doObtainEngine(Result<IEngine*>* outResult) override;

protected:
    // Operations of the subclass, in slot order after those of the interfaces.

    /** Returns a new engine; the default reports that neither form was supplied. */
    virtual Result<IEngine*> doObtainEngine();

    /** The plugin manifest (JSON text); the default reports that it was not supplied. */
    virtual std::string manifestString() const;

private:
    void obtainEngine(Result<IEngine*>* outResult);
    void logLifeCycleEvent(const std::string& event) const;
    void logError(const std::string& message) const;

private:
    const std::string m_pluginManifest;
    const CreateEngine m_createEngine;
    Ptr<IUtilityProvider> m_utilityProvider;
};

} // namespace nx::sdk::analytics
