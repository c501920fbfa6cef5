#include "plugin.h"

#include <exception>
#include <utility>

#include <nx/kit/debug.h>
#include <nx/sdk/helpers/lib_context.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/to_string.h>

namespace nx::sdk::analytics {

namespace {

constexpr char kNoEngineMessage[] =
    "Either doObtainEngine() should be overridden, or the constructor with createEngine "
    "argument (deprecated) should be called.";

constexpr char kNoManifestMessage[] =
    "Either manifestString() should be overridden, or the constructor with pluginManifest "
    "argument (deprecated) should be called.";

constexpr char kUnableToCreateEngine[] = "Unable to create Engine";

/**
 * Runs `call`, the body of an operation that the server invokes: an exception that escapes it
 * is logged and stored into the result slot as internalError, never passed to the server.
 */
template<typename Value, typename Call>
void guardBoundaryCall(const char* functionName, Result<Value>* outResult, Call&& call) noexcept
{
    const auto report =
        [&](const char* what) noexcept
        {
            try
            {
                NX_PRINT << "ERROR: " << libContext().name() << ": " << functionName
                    << "(): exception: " << what;
                *outResult = error(ErrorCode::internalError, std::string("Exception: ") + what);
            }
            catch (...)
            {
                // Out of memory while reporting: nothing more can be done without throwing.
            }
        };

    try
    {
        call();
    }
    catch (const std::exception& e)
    {
        report(e.what());
    }
    catch (...)
    {
        report("unknown exception");
    }
}

} // namespace

Plugin::Plugin()
{
    logLifeCycleEvent("Created");
}

Plugin::Plugin(std::string pluginManifest, CreateEngine createEngine):
    m_pluginManifest(std::move(pluginManifest)),
    m_createEngine(std::move(createEngine))
{
    logLifeCycleEvent("Created");
}

Plugin::~Plugin()
{
    logLifeCycleEvent("Destroyed");
}

void Plugin::setUtilityProvider(IUtilityProvider* utilityProvider)
{
    m_utilityProvider = sharePtr(utilityProvider);
}

void Plugin::getManifest(Result<const IString*>* outResult) const
{
    guardBoundaryCall(__func__, outResult,
        [&]()
        {
            const std::string manifest =
                m_pluginManifest.empty() ? manifestString() : m_pluginManifest;
            *outResult = makePtr<String>(manifest).releasePtr();
        });
}

void Plugin::doObtainEngine(Result<IEngine*>* outResult)
{
    guardBoundaryCall(__func__, outResult, [&]() { obtainEngine(outResult); });
}

void Plugin::obtainEngine(Result<IEngine*>* outResult)
{
    if (m_createEngine)
    {
        IEngine* const engine = m_createEngine(this);
        if (!engine)
        {
            logError(kUnableToCreateEngine);
            *outResult = error(ErrorCode::otherError, kUnableToCreateEngine);
            return;
        }
        *outResult = engine;
        return;
    }

    const Result<IEngine*> result = doObtainEngine();
    if (!result.isOk())
        logError(toString(result.error().errorMessage()));
    *outResult = result;
}

Result<IEngine*> Plugin::doObtainEngine()
{
    NX_KIT_ASSERT(false, kNoEngineMessage);
    return error(ErrorCode::internalError, kNoEngineMessage);
}

std::string Plugin::manifestString() const
{
    NX_KIT_ASSERT(false, kNoManifestMessage);
    return "";
}

void Plugin::logLifeCycleEvent(const std::string& event) const
{
    NX_PRINT << event << " " << libContext().name() << "[" << this << "]";
}

void Plugin::logError(const std::string& message) const
{
    NX_PRINT << "ERROR: " << libContext().name() << ": " << message;
}

} // namespace nx::sdk::analytics
