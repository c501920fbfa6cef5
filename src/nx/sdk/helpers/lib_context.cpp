#include "lib_context.h"

#include <cstdio>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/ref_countable.h>

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX "[nx::sdk::LibContext] "

namespace nx::sdk {

namespace {

constexpr const char* kIncorrectName = "incorrectly_named_lib_context";

std::string nameChangeMessage(const std::string& oldName, const char* newName)
{
    static constexpr const char* kTemplate = "Attempt to change LibContext name from %s to %s.";
    const std::string oldLiteral = nx::kit::utils::quotedLiteral(oldName);
    const std::string newLiteral = nx::kit::utils::quotedLiteral(newName);
    const int length = std::snprintf(nullptr, 0, kTemplate, oldLiteral.c_str(), newLiteral.c_str());
    if (length < 0)
        return kTemplate;
    std::string result(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&result[0], result.size(), kTemplate, oldLiteral.c_str(), newLiteral.c_str());
    result.resize(static_cast<size_t>(length));
    return result;
}

} // namespace

LibContext::~LibContext()
{
    // Objects destroyed after the context (other statics at unload) must find no registry.
    delete m_refCountableRegistry.exchange(nullptr);
}

void LibContext::setName(const char* name)
{
    const std::lock_guard<std::mutex> lock(m_mutex);

    if (!NX_KIT_ASSERT(m_name == kDefaultName, nameChangeMessage(m_name, name)))
        return;

    if (!NX_KIT_ASSERT(name, "") || !NX_KIT_ASSERT(name[0] != '\0', ""))
        m_name = kIncorrectName;
    else
        m_name = name;
}

void LibContext::setRefCountableRegistry(IRefCountableRegistry* refCountableRegistry)
{
    const std::lock_guard<std::mutex> lock(m_mutex);

    // A second registry is not taken, and not deleted either: it may well be the one held.
    if (!NX_KIT_ASSERT(!m_refCountableRegistry,
        "LibContext refCountableRegistry has already been set."))
    {
        return;
    }
    m_refCountableRegistry.store(refCountableRegistry);
}

LibContext& libContext()
{
    static LibContext context;
    return context;
}

namespace detail {

void notifyRegistryCreated(IRefCountable* object, int32_t refCount)
{
    if (IRefCountableRegistry* const registry = libContext().refCountableRegistry())
        registry->notifyCreated(object, refCount);
}

void notifyRegistryDestroyed(IRefCountable* object, int32_t refCount)
{
    if (IRefCountableRegistry* const registry = libContext().refCountableRegistry())
        registry->notifyDestroyed(object, refCount);
}

} // namespace detail

} // namespace nx::sdk

extern "C" {

nx::sdk::ILibContext* nxLibContext()
{
    return &nx::sdk::libContext();
}

const char* nxSdkVersion()
{
    return "4.1.0 R9";
}

} // extern "C"
