#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/string_map.h>

namespace skyloom::testhost {
namespace {

using nx::sdk::makePtr;

// The plugin sees the map only through the interface, so every check goes through it.
const nx::sdk::IStringMap* asInterface(const nx::sdk::Ptr<StringMap>& map) { return map.get(); }

TEST(StringMap, IndexesFollowByteOrderOfKeys)
{
    const auto map = makePtr<StringMap>();
    // "\xC3\xA9" (an accented letter) must sort after ASCII: bytes compare as unsigned.
    for (const char* key: {"b", "\xC3\xA9", "a0", "B", "a", "_"})
        map->setItem(key, std::string("v_") + key);

    const std::vector<std::string> expected{"B", "_", "a", "a0", "b", "\xC3\xA9"};
    const auto* view = asInterface(map);
    ASSERT_EQ(view->count(), (int32_t) expected.size());
    for (int32_t i = 0; i < view->count(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(view->key(i), expected[(size_t) i]);
        EXPECT_EQ(view->value(i), "v_" + expected[(size_t) i]);
    }
}

TEST(StringMap, BadIndexesAndAbsentKeysGiveNull)
{
    const auto map = makePtr<StringMap>(StringMap::Items{{"k0", "zero"}, {"k1", "one"}});
    const auto* view = asInterface(map);

    for (const int32_t index: {-1, 2, 1000, INT32_MIN})
    {
        SCOPED_TRACE(index);
        EXPECT_EQ(view->key(index), nullptr);
        EXPECT_EQ(view->value(index), nullptr);
    }
    EXPECT_EQ(view->value(static_cast<const char*>(nullptr)), nullptr);
    EXPECT_EQ(view->value("k2"), nullptr);
    EXPECT_EQ(view->value("K0"), nullptr);
}

TEST(StringMap, ValueByIndexAndByKeyAreDistinctOperations)
{
    // Keys that look like indexes: a mix-up of the two overloads shows as a wrong value.
    const auto map = makePtr<StringMap>(StringMap::Items{{"1", "by key"}, {"0", "first"}});
    const auto* view = asInterface(map);
    EXPECT_STREQ(view->value(1), "by key"); //< Index 1 is key "1" in key order.
    EXPECT_STREQ(view->value(0), "first");
    EXPECT_STREQ(view->value("1"), "by key");
    EXPECT_STREQ(view->value("0"), "first");
}

TEST(StringMap, SetItemReplacesAndClearEmpties)
{
    const auto map = makePtr<StringMap>();
    map->setItem("ServicePort", "9911");
    map->setItem("ServicePort", "9912");
    map->setItem("", "empty key is a key");
    EXPECT_EQ(map->count(), 2);
    EXPECT_STREQ(map->value("ServicePort"), "9912");
    EXPECT_STREQ(map->value(""), "empty key is a key");

    map->clear();
    EXPECT_EQ(map->count(), 0);
    EXPECT_EQ(map->key(0), nullptr);
}

TEST(StringMap, CopyOfAnyMapKeepsEveryItem)
{
    const StringMap::Items items{{"enableMetadata", "true"}, {"timeCorrection", "-250"}};
    const auto map = makePtr<StringMap>(items);
    EXPECT_EQ(copyStringMap(map.get()), items);
    EXPECT_TRUE(copyStringMap(nullptr).empty());
}

} // namespace
} // namespace skyloom::testhost
