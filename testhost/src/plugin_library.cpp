#include <skyloom/testhost/plugin_library.h>

#include <dlfcn.h>

#include <cstdlib>
#include <map>
#include <mutex>

namespace skyloom::testhost {

namespace {

// Libraries whose context this process has set up, by dlopen handle; never shrinks, as no
// library is ever unloaded.
std::mutex g_setUpMutex;
std::map<void*, std::shared_ptr<RegistryStats>> g_setUpLibraries;

std::string dlErrorText()
{
    const char* text = dlerror();
    return text ? std::string(text) : std::string("unknown dynamic loader error");
}

template<class Func>
bool resolve(void* handle, const char* name, Func* func, std::string* errorText)
{
    dlerror();
    void* symbol = dlsym(handle, name);
    if (!symbol)
    {
        *errorText = std::string("Symbol ") + name + " not found: " + dlErrorText();
        return false;
    }
    *func = reinterpret_cast<Func>(symbol);
    return true;
}

} // namespace

std::string defaultPluginPath()
{
    if (const char* fromEnvironment = std::getenv("SKYLOOM_PLUGIN_PATH"))
    {
        if (fromEnvironment[0] != '\0')
            return fromEnvironment;
    }
#if defined(SKYLOOM_PLUGIN_PATH)
    return SKYLOOM_PLUGIN_PATH;
#else
    return std::string();
#endif
}

bool PluginLibrary::fail(std::string text)
{
    m_errorText = std::move(text);
    return false;
}

bool PluginLibrary::load(const std::string& path, const std::string& libName)
{
    if (m_handle)
        return fail("Already loaded: " + m_path);
    if (path.empty())
        return fail("No plugin library path given (set SKYLOOM_PLUGIN_PATH)");

    m_path = path;
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!m_handle)
        return fail("Cannot load " + path + ": " + dlErrorText());

    if (!resolveSymbols())
    {
        m_handle = nullptr; //< Not closed either: its static objects may already be running.
        return false;
    }
    setUpLibContext(libName);
    m_errorText.clear();
    return true;
}

bool PluginLibrary::resolveSymbols()
{
    return resolve(m_handle, "createNxPlugin", &m_createNxPlugin, &m_errorText)
        && resolve(m_handle, "nxLibContext", &m_nxLibContext, &m_errorText)
        && resolve(m_handle, "nxSdkVersion", &m_nxSdkVersion, &m_errorText);
}

void PluginLibrary::setUpLibContext(const std::string& libName)
{
    std::lock_guard<std::mutex> lock(g_setUpMutex);
    auto& stats = g_setUpLibraries[m_handle];
    m_setUpByThisLoader = !stats;
    if (m_setUpByThisLoader)
    {
        stats = std::make_shared<RegistryStats>();
        nx::sdk::ILibContext* context = m_nxLibContext();
        context->setName(libName.c_str());
        context->setRefCountableRegistry(new Registry(stats)); //< The context owns it.
    }
    m_stats = stats;
}

std::string PluginLibrary::sdkVersion() const
{
    if (!m_nxSdkVersion || !m_handle)
        return std::string();
    const char* version = m_nxSdkVersion();
    return version ? std::string(version) : std::string();
}

nx::sdk::Ptr<nx::sdk::analytics::IPlugin> PluginLibrary::createPlugin(
    nx::sdk::IUtilityProvider* utilityProvider)
{
    if (!m_handle)
    {
        fail("createPlugin() before a successful load()");
        return nullptr;
    }
    const auto basePlugin = nx::sdk::toPtr(m_createNxPlugin());
    if (!basePlugin)
    {
        fail("createNxPlugin() returned null");
        return nullptr;
    }
    auto plugin = nx::sdk::queryInterface<nx::sdk::analytics::IPlugin>(basePlugin);
    if (!plugin)
    {
        fail("The plugin does not offer nx::sdk::analytics::IPlugin");
        return nullptr;
    }
    if (utilityProvider)
        plugin->setUtilityProvider(utilityProvider);
    return plugin;
}

} // namespace skyloom::testhost
