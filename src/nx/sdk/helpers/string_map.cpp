#include "string_map.h"

#include <iterator>

#include <nx/kit/debug.h>

namespace nx::sdk {

int32_t StringMap::count() const
{
    return static_cast<int32_t>(m_map.size());
}

const std::pair<const std::string, std::string>* StringMap::entryAt(int32_t index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    return &*std::next(m_map.begin(), index);
}

const char* StringMap::key(int32_t index) const
{
    const auto entry = entryAt(index);
    return entry ? entry->first.c_str() : nullptr;
}

const char* StringMap::value(int32_t index) const
{
    const auto entry = entryAt(index);
    return entry ? entry->second.c_str() : nullptr;
}

const char* StringMap::value(const char* key) const
{
    if (!key)
        return nullptr;
    const auto it = m_map.find(key);
    return it == m_map.end() ? nullptr : it->second.c_str();
}

void StringMap::setItem(const std::string& key, const std::string& value)
{
    NX_KIT_ASSERT(!key.empty(), "");
    m_map[key] = value;
}

void StringMap::clear()
{
    m_map.clear();
}

} // namespace nx::sdk
