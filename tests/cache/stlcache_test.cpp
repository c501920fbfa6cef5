// The bounded LRU cache as the device agent uses it: which keys survive, what counts as a use,
// and the errors a caller can see.

#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "conversion/stlcache/stlcache.h"

namespace {

using Cache = stlcache::bounded_cache<
    int, std::string, stlcache::policy_lru, std::less<int>, std::allocator, stlcache::lock_none>;
using LruPolicy = stlcache::policy_lru::bind<int, std::allocator>;

constexpr size_t kCapacity = 128;

/** A policy that never names a victim, as a user-written policy might. */
class NeverExpirePolicy: public stlcache::policy<int, std::allocator>
{
public:
    explicit NeverExpirePolicy(size_t /*capacity*/) {}
    virtual void insert(const int&) override {}
    virtual void remove(const int&) override {}
    virtual void mark_used(const int&) override {}
    virtual void clear() override {}
    virtual void swap(stlcache::policy<int, std::allocator>&) override {}
    virtual const stlcache::_victim<int> victim() override { return {}; }
};

struct policy_never_expire
{
    template<typename Key, template<typename> class Allocator>
    struct bind: NeverExpirePolicy
    {
        explicit bind(size_t capacity): NeverExpirePolicy(capacity) {}
    };
};

/** The keys 1..max that the cache still holds (contains() is a use, so call it last). */
std::set<int> storedKeys(Cache& cache, int max)
{
    std::set<int> keys;
    for (int key = 1; key <= max; ++key)
    {
        if (cache.contains(key))
            keys.insert(key);
    }
    return keys;
}

std::set<int> range(int first, int last)
{
    std::set<int> keys;
    for (int key = first; key <= last; ++key)
        keys.insert(key);
    return keys;
}

void putKeys(Cache& cache, int first, int last)
{
    for (int key = first; key <= last; ++key)
        cache.put(key, "value " + std::to_string(key));
}

TEST(BoundedCache, FullCacheExpiresTheFirstKeyPut)
{
    Cache cache(kCapacity);
    putKeys(cache, 1, 129);

    EXPECT_EQ(kCapacity, cache.size());
    EXPECT_EQ(kCapacity, cache.max_size());
    EXPECT_EQ(range(2, 129), storedKeys(cache, 129));
    EXPECT_EQ("value 129", cache.get(129));
}

TEST(BoundedCache, EachKindOfUseProtectsAKeyFromExpiry)
{
    // Key 1 is used after key 2 was put, so key 2 becomes the least recently used.
    struct Case
    {
        const char* use;
        void (*apply)(Cache& cache);
    };
    const Case cases[] = {
        {"contains", [](Cache& cache) { cache.contains(1); }},
        {"get", [](Cache& cache) { cache.get(1); }},
        {"put of the existing key", [](Cache& cache) { cache.put(1, "replaced"); }},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.use);
        Cache cache(kCapacity);
        putKeys(cache, 1, 2);
        testCase.apply(cache);
        putKeys(cache, 3, 129);

        std::set<int> expected = range(3, 129);
        expected.insert(1);
        EXPECT_EQ(expected, storedKeys(cache, 129));
    }
}

TEST(BoundedCache, PutOfExistingKeyReplacesDataAndKeepsCount)
{
    Cache cache(4);
    EXPECT_TRUE(cache.put(7, "first"));
    EXPECT_TRUE(cache.put(8, "other"));
    EXPECT_FALSE(cache.put(7, "second"));

    EXPECT_EQ(2U, cache.size());
    EXPECT_EQ("second", cache.get(7));
    EXPECT_EQ("other", cache.get(8));
}

TEST(BoundedCache, ContainsOfAbsentKeyChangesNothing)
{
    Cache cache(3);
    putKeys(cache, 1, 3);

    EXPECT_FALSE(cache.contains(42));
    EXPECT_EQ(3U, cache.size());

    // The expiry order is still 1, 2, 3.
    putKeys(cache, 4, 4);
    EXPECT_EQ(range(2, 4), storedKeys(cache, 4));
}

TEST(BoundedCache, GetOfAbsentKeyThrowsWithTheKey)
{
    Cache cache(kCapacity);
    putKeys(cache, 1, 2);
    try
    {
        cache.get(-17);
        FAIL() << "get() of an absent key returned";
    }
    catch (const stlcache::exception_invalid_key<int>& e)
    {
        EXPECT_STREQ("Key is not in cache", e.what());
        EXPECT_EQ(-17, e.key());
    }
    EXPECT_EQ(2U, cache.size());
}

TEST(BoundedCache, InsertAndEraseReportWhatTheyChanged)
{
    Cache cache(2);
    EXPECT_TRUE(cache.insert(1, "one"));
    EXPECT_FALSE(cache.insert(1, "other")) << "insert() never overwrites";
    EXPECT_EQ("one", cache.get(1));

    EXPECT_EQ(1U, cache.erase(1));
    EXPECT_EQ(0U, cache.erase(1));
    EXPECT_TRUE(cache.empty());
    EXPECT_FALSE(cache.contains(1));
}

TEST(BoundedCache, ErasedKeyIsNoLongerAVictim)
{
    Cache cache(2);
    putKeys(cache, 1, 2);
    cache.erase(1);
    putKeys(cache, 3, 3); //< Room was left: nothing expires.
    EXPECT_EQ((std::set<int>{2, 3}), storedKeys(cache, 3));
}

// Regression: inserting a stored key once gave the policy a second entry for it, which came back
// as a victim that was no longer stored; the next insertion into the full cache then looped
// forever.
TEST(BoundedCache, InsertOfStoredKeyLeavesNoStaleVictim)
{
    Cache cache(2);
    cache.insert(1, "one");
    cache.insert(2, "two");
    cache.insert(1, "again");
    putKeys(cache, 3, 4);
    EXPECT_EQ((std::set<int>{3, 4}), storedKeys(cache, 4));
}

TEST(BoundedCache, FullCacheWithoutVictimRefusesNewKey)
{
    stlcache::bounded_cache<int, std::string, policy_never_expire> cache(1);
    EXPECT_TRUE(cache.put(1, "one"));
    try
    {
        cache.put(2, "two");
        FAIL() << "a full cache without a victim took a key";
    }
    catch (const stlcache::exception_cache_full& e)
    {
        EXPECT_STREQ(
            "The cache is full and no element can be expired at the moment. "
            "Remove some elements manually",
            e.what());
    }
    EXPECT_EQ(1U, cache.size());
    EXPECT_TRUE(cache.contains(1));
    EXPECT_FALSE(cache.contains(2));
}

TEST(LruPolicy, VictimIsLeastRecentlyUsedAndEmptyVictimThrows)
{
    LruPolicy policy(kCapacity);
    EXPECT_FALSE(policy.victim());
    try
    {
        policy.victim().value();
        FAIL() << "an empty victim gave a key";
    }
    catch (const stlcache::exception_empty_victim& e)
    {
        EXPECT_STREQ("Tried to access empty victim", e.what());
    }

    policy.insert(1);
    policy.insert(2);
    policy.insert(3);
    EXPECT_EQ(1, *policy.victim());
    policy.mark_used(1);
    EXPECT_EQ(2, *policy.victim());
    policy.remove(2);
    EXPECT_EQ(3, *policy.victim());
    policy.clear();
    EXPECT_FALSE(policy.victim());
}

TEST(LruPolicy, SwapExchangesStateWithSameKindOnly)
{
    LruPolicy first(kCapacity);
    LruPolicy second(kCapacity);
    first.insert(1);
    second.insert(2);
    second.insert(3);

    first.swap(second);
    EXPECT_EQ(2, *first.victim());
    EXPECT_EQ(1, *second.victim());
    first.remove(2); //< The swapped index still finds the moved keys.
    EXPECT_EQ(3, *first.victim());

    NeverExpirePolicy other(kCapacity);
    try
    {
        first.swap(other);
        FAIL() << "policies of different kinds were swapped";
    }
    catch (const stlcache::exception_invalid_policy& e)
    {
        EXPECT_STREQ("Attempted to swap incompatible policies", e.what());
    }
    EXPECT_EQ(3, *first.victim());
}

} // namespace
