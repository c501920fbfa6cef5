#include "attribute_list.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <nx/kit/debug.h>

namespace nx::sdk {

const IAttribute* AttributeList::at(int32_t index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    const Ptr<Attribute>& result = m_attributes[static_cast<size_t>(index)];
    result->addRef();
    return result.get();
}

int32_t AttributeList::count() const
{
    return static_cast<int32_t>(m_attributes.size());
}

void AttributeList::add(Ptr<Attribute> attribute)
{
    if (!NX_KIT_ASSERT(attribute, ""))
        return;

    const auto existingAttribute = std::find_if(m_attributes.begin(), m_attributes.end(),
        [&attribute](const Ptr<Attribute>& stored)
        {
            return std::strcmp(stored->name(), attribute->name()) == 0;
        });

    if (existingAttribute == m_attributes.end())
    {
        // Items hold a few attributes: one allocation for the first few, not one for each.
        constexpr size_t kFirstCapacity = 4;
        if (m_attributes.capacity() == 0)
            m_attributes.reserve(kFirstCapacity);
        m_attributes.push_back(std::move(attribute));
        return;
    }

    // Names stay unique: a later value for a name overwrites the held one in place.
    NX_KIT_ASSERT((*existingAttribute)->type() == attribute->type(), "");
    (*existingAttribute)->setValue(attribute->value());
}

void AttributeList::add(const std::vector<Ptr<Attribute>>& attributes)
{
    for (const Ptr<Attribute>& attribute: attributes)
        add(attribute);
}

} // namespace nx::sdk
