// Text map ordered by byte-wise key comparison; index i is the i-th entry in key order. Filled
// by one thread, then only read; returned pointers are valid while the map is not changed.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include <nx/sdk/i_string_map.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk {

class StringMap: public RefCountable<IStringMap>
{
public:
    virtual int32_t count() const override;

    /** Null for an index outside 0..count()-1. */
    virtual const char* key(int32_t index) const override;

    /** Null for an index outside 0..count()-1. */
    virtual const char* value(int32_t index) const override;

    /** Null for a null key or an absent one. */
    virtual const char* value(const char* key) const override;

    /** Replaces an earlier value under the same key. An empty key is reported, then stored. */
    void setItem(const std::string& key, const std::string& value);

    void clear();

private:
    /** The entry at the index, or null when the index is out of range. */
    const std::pair<const std::string, std::string>* entryAt(int32_t index) const;

private:
    std::map<std::string, std::string> m_map;
};

} // namespace nx::sdk
