// A stand-in plugin library for the loader's tests: exports the three entry points, keeps the
// name and registry that the host hands its context, reports its plugin object to that
// registry, and tells what it was given through the plugin's manifest. Its engine cannot be
// obtained, which is enough to drive the loader and the result helpers end to end.
#include <atomic>
#include <memory>
#include <string>

#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/i_lib_context.h>
#include <nx/sdk/i_string.h>

namespace {

class Context: public nx::sdk::ILibContext
{
public:
    virtual void setName(const char* name) override
    {
        m_name = name ? name : "";
        ++m_setNameCalls;
    }

    virtual void setRefCountableRegistry(nx::sdk::IRefCountableRegistry* registry) override
    {
        if (!m_registry)
            m_registry.reset(registry);
    }

    std::string m_name;
    int m_setNameCalls = 0;
    std::unique_ptr<nx::sdk::IRefCountableRegistry> m_registry;
};

Context& context()
{
    static Context instance;
    return instance;
}

template<class Interface>
class Counted: public Interface
{
public:
    Counted() { if (auto* r = context().m_registry.get()) r->notifyCreated(this, m_count); }
    virtual ~Counted() override
    {
        if (auto* r = context().m_registry.get())
            r->notifyDestroyed(this, m_count);
    }

    virtual int32_t addRef() const override { return ++m_count; }
    virtual int32_t releaseRef() const override
    {
        const int32_t count = --m_count;
        if (count == 0)
            delete this;
        return count;
    }

private:
    mutable std::atomic<int32_t> m_count{1};
};

class Text: public Counted<nx::sdk::IString>
{
public:
    explicit Text(std::string text): m_text(std::move(text)) {}
    virtual const char* str() const override { return m_text.c_str(); }

private:
    std::string m_text;
};

class Plugin: public Counted<nx::sdk::analytics::IPlugin>
{
public:
    virtual void setUtilityProvider(nx::sdk::IUtilityProvider*) override {}

    virtual void getManifest(nx::sdk::Result<const nx::sdk::IString*>* outResult) const override
    {
        *outResult = static_cast<const nx::sdk::IString*>(new Text(
            "name=" + context().m_name
            + ";setNameCalls=" + std::to_string(context().m_setNameCalls)
            + ";registry=" + (context().m_registry ? "yes" : "no")));
    }

    virtual void doObtainEngine(
        nx::sdk::Result<nx::sdk::analytics::IEngine*>* outResult) override
    {
        *outResult = nx::sdk::Error(nx::sdk::ErrorCode::otherError, new Text("no engine here"));
    }
};

} // namespace

extern "C" {

__attribute__((visibility("default"))) nx::sdk::IPlugin* createNxPlugin()
{
    return new Plugin();
}

__attribute__((visibility("default"))) nx::sdk::ILibContext* nxLibContext()
{
    return &context();
}

__attribute__((visibility("default"))) const char* nxSdkVersion()
{
    return "4.1.0 R9";
}

} // extern "C"
