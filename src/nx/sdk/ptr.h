// Owning smart pointer for reference-counted objects. Constructing from a raw pointer adopts the
// reference the pointer carries; copies addRef(); destruction/reset releaseRef(). Not itself
// thread-safe (like std::shared_ptr instances); the counts it touches are atomic.
#pragma once

#include <cstddef>
#include <type_traits>
#include <utility>

#include <nx/sdk/i_ref_countable.h>

namespace nx::sdk {

template<class RefCountable>
class Ptr
{
public:
    Ptr() = default;
    Ptr(std::nullptr_t) {}

    /** Adopts the reference that `ptr` carries (no addRef). */
    explicit Ptr(RefCountable* ptr): m_ptr(ptr) {}

    Ptr(const Ptr& other): m_ptr(other.m_ptr) { addRef(); }
    Ptr(Ptr&& other) noexcept: m_ptr(other.m_ptr) { other.m_ptr = nullptr; }

    template<class Other, typename = std::enable_if_t<std::is_convertible_v<Other*, RefCountable*>>>
    Ptr(const Ptr<Other>& other): m_ptr(other.get()) { addRef(); }

    template<class Other, typename = std::enable_if_t<std::is_convertible_v<Other*, RefCountable*>>>
    Ptr(Ptr<Other>&& other) noexcept: m_ptr(other.releasePtr()) {}

    ~Ptr() { releaseRef(); }

    Ptr& operator=(const Ptr& other)
    {
        Ptr copy(other);
        std::swap(m_ptr, copy.m_ptr);
        return *this;
    }

    Ptr& operator=(Ptr&& other) noexcept
    {
        if (this != &other)
        {
            releaseRef();
            m_ptr = other.m_ptr;
            other.m_ptr = nullptr;
        }
        return *this;
    }

    Ptr& operator=(std::nullptr_t) { reset(); return *this; }

    void reset() { releaseRef(); m_ptr = nullptr; }

    /** Gives up ownership: the caller now holds the reference. */
    RefCountable* releasePtr()
    {
        RefCountable* result = m_ptr;
        m_ptr = nullptr;
        return result;
    }

    RefCountable* get() const { return m_ptr; }
    RefCountable* operator->() const { return m_ptr; }
    RefCountable& operator*() const { return *m_ptr; }
    explicit operator bool() const { return m_ptr != nullptr; }

    template<class Other>
    bool operator==(const Ptr<Other>& other) const { return m_ptr == other.get(); }
    template<class Other>
    bool operator!=(const Ptr<Other>& other) const { return m_ptr != other.get(); }
    bool operator==(std::nullptr_t) const { return m_ptr == nullptr; }
    bool operator!=(std::nullptr_t) const { return m_ptr != nullptr; }

private:
    void addRef() { if (m_ptr) m_ptr->addRef(); }
    void releaseRef() { if (m_ptr) m_ptr->releaseRef(); }

private:
    RefCountable* m_ptr = nullptr;
};

/** Adopts the reference that `ptr` carries. */
template<class RefCountable>
Ptr<RefCountable> toPtr(RefCountable* ptr) { return Ptr<RefCountable>(ptr); }

/** Takes a new reference on `ptr` (borrowed pointers, e.g. call arguments). */
template<class RefCountable>
Ptr<RefCountable> sharePtr(RefCountable* ptr)
{
    if (ptr)
        ptr->addRef();
    return Ptr<RefCountable>(ptr);
}

template<class RefCountable>
Ptr<RefCountable> sharePtr(const Ptr<RefCountable>& ptr) { return ptr; }

template<class RefCountable, typename... Args>
Ptr<RefCountable> makePtr(Args&&... args)
{
    return Ptr<RefCountable>(new RefCountable(std::forward<Args>(args)...));
}

/**
 * Typed query: asks `object` for the interface `Target` by its id; the returned Ptr owns the
 * reference that a match adds. Null for a null object or a mismatch.
 */
template<class Target, class Source>
Ptr<std::conditional_t<std::is_const_v<Source>, const Target, Target>> queryInterface(
    Source* object)
{
    using Result = std::conditional_t<std::is_const_v<Source>, const Target, Target>;
    if (!object)
        return Ptr<Result>();
    IRefCountable* found = const_cast<std::remove_const_t<Source>*>(object)->queryInterface(
        Target::interfaceId());
    return Ptr<Result>(static_cast<Target*>(found));
}

template<class Target, class Source>
auto queryInterface(const Ptr<Source>& object) { return queryInterface<Target>(object.get()); }

} // namespace nx::sdk
