// The library's context: its name (for life-cycle log lines) and the server's object registry.
// One per library, created on first use of libContext() (thread-safe); the server sets both
// values once through the exported nxLibContext() before it creates any object. setName and
// setRefCountableRegistry are serialised by the context's mutex; the readers take no lock.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include <nx/sdk/i_lib_context.h>

namespace nx::sdk {

class LibContext: public ILibContext
{
public:
    static constexpr const char* kDefaultName = "unnamed_lib_context";

    virtual ~LibContext() override;

    virtual void setName(const char* name) override;
    virtual void setRefCountableRegistry(IRefCountableRegistry* refCountableRegistry) override;

    const std::string& name() const { return m_name; }
    IRefCountableRegistry* refCountableRegistry() const { return m_refCountableRegistry.load(); }

private:
    std::mutex m_mutex;
    std::string m_name = kDefaultName;
    /**
     * Owned: deleted by the destructor. Atomic because every object's constructor and destructor
     * reads it without the mutex, possibly while the server sets it.
     */
    std::atomic<IRefCountableRegistry*> m_refCountableRegistry{nullptr};
};

LibContext& libContext();

} // namespace nx::sdk

extern "C" {

/** Exported: the library's context, for the server to name it and hand over its registry. */
__attribute__((visibility("default"))) nx::sdk::ILibContext* nxLibContext();

/** Exported: the SDK version this library is built against, "4.1.0 R9". */
__attribute__((visibility("default"))) const char* nxSdkVersion();

} // extern "C"
