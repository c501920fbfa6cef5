// A bounded key-to-value cache with a pluggable expiry policy (least-recently-used is provided)
// and a pluggable lock. Header-only. A full cache expires the policy's victim before it takes a
// new key; it never grows beyond its capacity.
//
// Threads: with lock_none (the device agent's choice) a cache belongs to one thread. The cache
// owns its policy and lock by value; get() returns a reference into the cache, valid until the
// entry is erased or replaced.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace stlcache {

//-------------------------------------------------------------------------------------------------
// Exceptions.

class exception_cache_full: public std::runtime_error
{
public:
    exception_cache_full():
        std::runtime_error(
            "The cache is full and no element can be expired at the moment. "
            "Remove some elements manually")
    {
    }
};

/** Raised by get() for a key that is not stored; carries that key. */
template<typename Key>
class exception_invalid_key: public std::runtime_error
{
public:
    explicit exception_invalid_key(Key key):
        std::runtime_error("Key is not in cache"), m_key(std::move(key))
    {
    }

    const Key& key() const { return m_key; }

private:
    Key m_key;
};

class exception_empty_victim: public std::runtime_error
{
public:
    exception_empty_victim(): std::runtime_error("Tried to access empty victim") {}
};

class exception_invalid_policy: public std::runtime_error
{
public:
    exception_invalid_policy(): std::runtime_error("Attempted to swap incompatible policies") {}
};

//-------------------------------------------------------------------------------------------------
// Victim: the key a policy wants expired next, or none.

template<typename Key>
class _victim
{
public:
    _victim() = default;
    explicit _victim(Key key): m_key(std::move(key)) {}

    bool isInitialized() const { return m_key.has_value(); }
    explicit operator bool() const { return isInitialized(); }

    /** @throws exception_empty_victim when there is no victim. */
    const Key& value() const
    {
        if (!m_key)
            throw exception_empty_victim();
        return *m_key;
    }

    const Key& operator*() const { return value(); }

private:
    std::optional<Key> m_key;
};

//-------------------------------------------------------------------------------------------------
// Policies.

/**
 * Expiry policy: told about every key that enters, leaves or is used, it names the next victim.
 * The slot order of the virtual operations is fixed. There is deliberately no virtual
 * destructor: a cache holds its policy by its concrete type, and the protected destructor
 * forbids deleting one through this base.
 */
template<typename Key, template<typename> class Allocator>
class policy
{
public:
    virtual void insert(const Key& key) = 0;
    virtual void remove(const Key& key) = 0;
    virtual void mark_used(const Key& key) = 0;
    virtual void clear() = 0;
    /** @throws exception_invalid_policy if `other` is not of the same kind. */
    virtual void swap(policy<Key, Allocator>& other) = 0;
    virtual const _victim<Key> victim() = 0;

protected:
    policy() = default;
    policy(const policy&) = default;
    policy& operator=(const policy&) = default;
    ~policy() = default;
};

/**
 * Least-recently-used expiry: keys in a list from most to least recently used, and an index from
 * key to list position. Keys are ordered in the index with std::less<Key>, so a cache with
 * another Compare must order keys the same way. Not copyable: the index points into the list.
 */
template<typename Key, template<typename> class Allocator>
class _policy_lru_type: public policy<Key, Allocator>
{
public:
    explicit _policy_lru_type(std::size_t /*capacity*/) {}
    _policy_lru_type(const _policy_lru_type&) = delete;
    _policy_lru_type& operator=(const _policy_lru_type&) = delete;
    ~_policy_lru_type() = default;

    virtual void insert(const Key& key) override
    {
        // A key that is already known is only used again: a second list entry for it would
        // outlive its removal and come back later as a victim that is not stored.
        if (m_index.count(key) != 0)
        {
            mark_used(key);
            return;
        }
        m_order.push_front(key);
        try
        {
            m_index.emplace(key, m_order.begin());
        }
        catch (...)
        {
            m_order.pop_front();
            throw;
        }
    }

    virtual void remove(const Key& key) override
    {
        const auto found = m_index.find(key);
        if (found == m_index.end())
            return;
        m_order.erase(found->second);
        m_index.erase(found);
    }

    virtual void mark_used(const Key& key) override
    {
        const auto found = m_index.find(key);
        if (found == m_index.end())
            return;
        // splice keeps the node (and so the iterator in the index) valid.
        m_order.splice(m_order.begin(), m_order, found->second);
    }

    virtual void clear() override
    {
        m_index.clear();
        m_order.clear();
    }

    virtual void swap(policy<Key, Allocator>& other) override
    {
        auto* const otherLru = dynamic_cast<_policy_lru_type*>(&other);
        if (!otherLru)
            throw exception_invalid_policy();
        // Swapping lists keeps their nodes, so the swapped indexes stay valid.
        m_order.swap(otherLru->m_order);
        m_index.swap(otherLru->m_index);
    }

    virtual const _victim<Key> victim() override
    {
        if (m_order.empty())
            return _victim<Key>();
        return _victim<Key>(m_order.back());
    }

private:
    using Order = std::list<Key, Allocator<Key>>;
    using Index = std::map<
        Key,
        typename Order::iterator,
        std::less<Key>,
        Allocator<std::pair<const Key, typename Order::iterator>>>;

    Order m_order;
    Index m_index;
};

/** Selector of least-recently-used expiry for bounded_cache. */
struct policy_lru
{
    template<typename Key, template<typename> class Allocator>
    struct bind: _policy_lru_type<Key, Allocator>
    {
        explicit bind(std::size_t capacity): _policy_lru_type<Key, Allocator>(capacity) {}
    };
};

//-------------------------------------------------------------------------------------------------
// Locks.

/** Acquires a cache for reading or writing; the handle releases it when destroyed. */
template<typename ReadHandle, typename WriteHandle>
class lock
{
public:
    virtual ReadHandle acquireRead() = 0;
    virtual WriteHandle acquireWrite() = 0;

protected:
    lock() = default;
    lock(const lock&) = default;
    lock& operator=(const lock&) = default;
    ~lock() = default;
};

/** No locking: for a cache that only one thread touches. */
class lock_none: public lock<void*, void*>
{
public:
    virtual void* acquireRead() override { return nullptr; }
    virtual void* acquireWrite() override { return nullptr; }
};

//-------------------------------------------------------------------------------------------------
// The cache.

template<
    typename Key,
    typename Data,
    typename Policy,
    typename Compare = std::less<Key>,
    template<typename> class Allocator = std::allocator,
    typename Lock = lock_none>
class bounded_cache
{
public:
    using key_type = Key;
    using data_type = Data;
    using size_type = std::size_t;
    using policy_type = typename Policy::template bind<Key, Allocator>;

    explicit bounded_cache(size_type capacity): m_capacity(capacity), m_policy(capacity) {}

    bounded_cache(const bounded_cache&) = delete;
    bounded_cache& operator=(const bounded_cache&) = delete;

    size_type size() const { return m_storage.size(); }
    size_type max_size() const { return m_capacity; }
    bool empty() const { return m_storage.empty(); }

    /** Whether the key is stored; a stored key counts as used. */
    bool contains(const Key& key)
    {
        [[maybe_unused]] auto handle = m_lock.acquireRead();
        m_policy.mark_used(key);
        return m_storage.find(key) != m_storage.end();
    }

    /**
     * The stored data of the key, which counts as used.
     * @throws exception_invalid_key<Key> if the key is not stored.
     */
    Data& get(const Key& key)
    {
        if (!contains(key))
            throw exception_invalid_key<Key>(key);
        m_policy.mark_used(key);
        return m_storage.find(key)->second;
    }

    /**
     * Stores the data under the key: a new key is inserted (expiring a victim if the cache is
     * full), an existing one gets the new data and counts as used.
     * @return Whether the key was new.
     */
    bool put(const Key& key, const Data& data)
    {
        const auto found = m_storage.find(key);
        if (found == m_storage.end())
            return insert(key, data);
        m_policy.mark_used(key);
        found->second = data;
        return false;
    }

    /**
     * Inserts a key that is not stored yet, first expiring victims while the cache is full.
     * @return False, with nothing changed, if the key is already stored.
     * @throws exception_cache_full if the cache is full and the policy names no stored victim.
     */
    bool insert(const Key& key, const Data& data)
    {
        [[maybe_unused]] auto handle = m_lock.acquireRead();
        if (m_storage.find(key) != m_storage.end())
            return false;
        while (m_storage.size() >= m_capacity)
        {
            const _victim<Key> victim = m_policy.victim();
            // A victim that is not stored frees nothing; trying again could loop forever.
            if (!victim || erase(*victim) == 0)
                throw exception_cache_full();
        }
        const auto inserted = m_storage.emplace(key, data).first;
        try
        {
            m_policy.insert(key);
        }
        catch (...)
        {
            m_storage.erase(inserted);
            throw;
        }
        return true;
    }

    /** @return The number of entries removed: 0 or 1. */
    size_type erase(const Key& key)
    {
        const size_type removed = m_storage.erase(key);
        m_policy.remove(key);
        return removed;
    }

    void clear()
    {
        m_storage.clear();
        m_policy.clear();
    }

private:
    using Storage = std::map<Key, Data, Compare, Allocator<std::pair<const Key, Data>>>;

    const size_type m_capacity;
    Storage m_storage;
    policy_type m_policy;
    Lock m_lock;
};

} // namespace stlcache
