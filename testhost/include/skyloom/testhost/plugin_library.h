// Loads the plugin library the way the server does: dlopen, the three exported functions, then
// the library context's name and the host's registry before any object is created. Use from one
// thread. The library is never unloaded (no dlclose): plugin objects and threads may outlive
// this loader, and unloading under them would crash; the process exit ends everything.
// A library already set up in this process (same dlopen handle) is not set up again: the second
// loader shares the first one's RegistryStats, because the library context takes its registry
// only once.
#pragma once

#include <memory>
#include <string>

#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/i_lib_context.h>
#include <nx/sdk/i_plugin.h>
#include <nx/sdk/i_utility_provider.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/registry.h>

namespace skyloom::testhost {

/** The environment variable SKYLOOM_PLUGIN_PATH, else the build's plugin path, else "". */
std::string defaultPluginPath();

class PluginLibrary
{
public:
    static constexpr const char* kDefaultLibName = "skyloom_analytics_plugin";

    using CreateNxPluginFunc = nx::sdk::IPlugin* (*)();
    using NxLibContextFunc = nx::sdk::ILibContext* (*)();
    using NxSdkVersionFunc = const char* (*)();

    /** False on failure, with the reason in errorText(). Loading twice is an error. */
    bool load(const std::string& path, const std::string& libName = kDefaultLibName);

    bool isLoaded() const { return m_handle != nullptr; }
    const std::string& errorText() const { return m_errorText; }
    const std::string& path() const { return m_path; }

    /** Counts of the plugin's objects; null before a successful load(). */
    std::shared_ptr<RegistryStats> registryStats() const { return m_stats; }

    /** False when this process had already set the library up before this load(). */
    bool setUpByThisLoader() const { return m_setUpByThisLoader; }

    /** nxSdkVersion(); "" when not loaded. */
    std::string sdkVersion() const;

    /**
     * createNxPlugin(), asked for its analytics interface; gives the utility provider to it if
     * one is passed. Null on failure, with the reason in errorText().
     */
    nx::sdk::Ptr<nx::sdk::analytics::IPlugin> createPlugin(
        nx::sdk::IUtilityProvider* utilityProvider = nullptr);

private:
    bool fail(std::string text);
    bool resolveSymbols();
    void setUpLibContext(const std::string& libName);

private:
    std::string m_path;
    std::string m_errorText;
    void* m_handle = nullptr;
    CreateNxPluginFunc m_createNxPlugin = nullptr;
    NxLibContextFunc m_nxLibContext = nullptr;
    NxSdkVersionFunc m_nxSdkVersion = nullptr;
    std::shared_ptr<RegistryStats> m_stats;
    bool m_setUpByThisLoader = false;
};

} // namespace skyloom::testhost
