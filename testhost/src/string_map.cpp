#include <skyloom/testhost/string_map.h>

#include <iterator>

namespace skyloom::testhost {

StringMap::StringMap(Items items): m_items(std::move(items))
{
}

StringMap::StringMap(std::initializer_list<std::pair<const std::string, std::string>> items):
    m_items(items)
{
}

int32_t StringMap::count() const
{
    return static_cast<int32_t>(m_items.size());
}

const StringMap::Items::value_type* StringMap::entryAt(int32_t index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    return &*std::next(m_items.begin(), index);
}

const char* StringMap::key(int32_t index) const
{
    const auto* entry = entryAt(index);
    return entry ? entry->first.c_str() : nullptr;
}

const char* StringMap::value(int32_t index) const
{
    const auto* entry = entryAt(index);
    return entry ? entry->second.c_str() : nullptr;
}

const char* StringMap::value(const char* key) const
{
    if (!key)
        return nullptr;
    const auto found = m_items.find(key);
    return found != m_items.end() ? found->second.c_str() : nullptr;
}

void StringMap::setItem(const std::string& key, const std::string& value)
{
    m_items[key] = value;
}

void StringMap::clear()
{
    m_items.clear();
}

StringMap::Items copyStringMap(const nx::sdk::IStringMap* map)
{
    StringMap::Items items;
    if (!map)
        return items;
    const int32_t count = map->count();
    for (int32_t i = 0; i < count; ++i)
    {
        const char* key = map->key(i);
        const char* value = map->value(i);
        items[key ? key : ""] = value ? value : "";
    }
    return items;
}

} // namespace skyloom::testhost
