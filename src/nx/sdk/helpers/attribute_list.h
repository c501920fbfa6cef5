// The attributes of one metadata item, in insertion order, with names kept unique. Filled by one
// thread before the item is handed over, then only read.
#pragma once

#include <cstdint>
#include <vector>

#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/i_attribute.h>
#include <nx/sdk/ptr.h>

namespace nx::sdk {

class AttributeList
{
public:
    /** A new reference for the caller, or null for an index outside 0..count()-1. */
    const IAttribute* at(int32_t index) const;
    int32_t count() const;

    /**
     * Appends the attribute, or, if one with the same name (case-sensitive) is held, copies only
     * its value into the held one. A null attribute is reported and ignored.
     */
    void add(Ptr<Attribute> attribute);
    void add(const std::vector<Ptr<Attribute>>& attributes);

private:
    std::vector<Ptr<Attribute>> m_attributes;
};

} // namespace nx::sdk
