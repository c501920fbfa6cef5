// Implementation base of every concrete reference-counted class: `class Foo:
// public RefCountable<IFoo>`. Holds the atomic count (1 at construction) and reports creation and
// destruction to the server's registry, if the library context holds one.
#pragma once

#include <atomic>
#include <cstdint>

#include <nx/sdk/i_ref_countable.h>

namespace nx::sdk {

namespace detail {

/** Forward to the library context's registry, if set (reads the pointer without a lock). */
void notifyRegistryCreated(IRefCountable* object, int32_t refCount);
void notifyRegistryDestroyed(IRefCountable* object, int32_t refCount);

} // namespace detail

template<class RefCountableInterface>
class RefCountable: public RefCountableInterface
{
public:
    RefCountable(const RefCountable&) = delete;
    RefCountable& operator=(const RefCountable&) = delete;

    virtual int32_t addRef() const override { return ++m_refCount; }

    virtual int32_t releaseRef() const override
    {
        const int32_t newCount = --m_refCount;
        if (newCount == 0 && m_owner)
            delete m_owner;
        return newCount;
    }

    int32_t refCount() const { return m_refCount.load(); }

protected:
    RefCountable() { detail::notifyRegistryCreated(this, refCount()); }
    virtual ~RefCountable() override { detail::notifyRegistryDestroyed(this, refCount()); }

private:
    mutable std::atomic<int32_t> m_refCount{1};
    const IRefCountable* const m_owner = this;
};

} // namespace nx::sdk
