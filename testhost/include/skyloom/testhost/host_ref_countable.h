// The host's own reference-counting base for server-side objects: `class Foo:
// public HostRefCountable<IFoo>`. Count 1 at construction, deleted by the releaseRef() that
// brings it to 0, on whichever thread that is. It reports to no registry (the plugin's registry
// is for the plugin's objects); instead a process-wide tally counts host objects alive, so that
// tests can see whether the plugin kept or dropped a reference it should not have.
#pragma once

#include <atomic>
#include <cstdint>

#include <nx/sdk/interface.h>

namespace skyloom::testhost {

namespace detail {

void hostObjectCreated();
void hostObjectDestroyed();

} // namespace detail

/** Number of HostRefCountable objects alive in the process (any thread may read it). */
int64_t hostObjectsAlive();

template<class Interface>
class HostRefCountable: public Interface
{
public:
    HostRefCountable(const HostRefCountable&) = delete;
    HostRefCountable& operator=(const HostRefCountable&) = delete;

    virtual int32_t addRef() const override { return ++m_refCount; }

    virtual int32_t releaseRef() const override
    {
        const int32_t newCount = --m_refCount;
        if (newCount == 0)
            delete this;
        return newCount;
    }

    int32_t refCount() const { return m_refCount.load(); }

protected:
    HostRefCountable() { detail::hostObjectCreated(); }
    virtual ~HostRefCountable() override { detail::hostObjectDestroyed(); }

private:
    mutable std::atomic<int32_t> m_refCount{1};
};

} // namespace skyloom::testhost
