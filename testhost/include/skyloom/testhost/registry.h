// The host's object registry, handed to the plugin's library context, which owns it from then on
// and deletes it when the library is unloaded (at process exit at the latest). Every count it
// sees lives in a RegistryStats that the host shares, so the numbers stay readable after the
// registry is gone. notify* are called on any plugin thread; every RegistryStats accessor is
// thread-safe (one lock per stats object).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>

#include <nx/sdk/i_lib_context.h>

namespace skyloom::testhost {

class RegistryStats
{
public:
    int64_t created() const;
    int64_t destroyed() const;

    /** Objects reported created and not yet destroyed. */
    int64_t alive() const;

    /**
     * Reports that break the reference-counting contract: a creation with a count other than 1,
     * a destruction with a count other than 0, a destruction of an address not reported alive,
     * or a creation of an address already alive.
     */
    int64_t anomalies() const;

    bool registryDeleted() const;

    /** Waits until no reported object is alive; false if that does not happen in time. */
    bool waitUntilBalanced(std::chrono::milliseconds timeout) const;

    void recordCreated(const void* object, int32_t refCount);
    void recordDestroyed(const void* object, int32_t refCount);
    void recordRegistryDeleted();

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_balanced;
    int64_t m_created = 0;
    int64_t m_destroyed = 0;
    int64_t m_anomalies = 0;
    bool m_registryDeleted = false;
    std::set<const void*> m_alive;
};

class Registry: public nx::sdk::IRefCountableRegistry
{
public:
    explicit Registry(std::shared_ptr<RegistryStats> stats);
    virtual ~Registry() override;

    virtual void notifyCreated(nx::sdk::IRefCountable* object, int32_t refCount) override;
    virtual void notifyDestroyed(nx::sdk::IRefCountable* object, int32_t refCount) override;

private:
    const std::shared_ptr<RegistryStats> m_stats;
};

} // namespace skyloom::testhost
