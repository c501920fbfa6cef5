// The host's settings and parameter maps (IStringMap), ordered by key byte by byte. Fill it on
// one thread before handing it to the plugin; the plugin only reads it for the call. Returned
// texts stay valid while the map lives unchanged.
#pragma once

#include <initializer_list>
#include <map>
#include <string>
#include <utility>

#include <nx/sdk/i_string_map.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

class StringMap: public HostRefCountable<nx::sdk::IStringMap>
{
public:
    using Items = std::map<std::string, std::string>;

    StringMap() = default;
    explicit StringMap(Items items);
    StringMap(std::initializer_list<std::pair<const std::string, std::string>> items);

    virtual int32_t count() const override;
    virtual const char* key(int32_t index) const override;
    virtual const char* value(int32_t index) const override;
    virtual const char* value(const char* key) const override;

    void setItem(const std::string& key, const std::string& value);
    void clear();
    const Items& items() const { return m_items; }

private:
    const Items::value_type* entryAt(int32_t index) const;

private:
    Items m_items;
};

/** Plain copy of any IStringMap (null gives an empty map); the map is only borrowed. */
StringMap::Items copyStringMap(const nx::sdk::IStringMap* map);

} // namespace skyloom::testhost
