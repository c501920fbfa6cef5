#include "object_metadata.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <nx/kit/debug.h>

namespace nx::sdk::analytics {

const char* ObjectMetadata::typeId() const
{
    return m_typeId.c_str();
}

float ObjectMetadata::confidence() const
{
    return m_confidence;
}

const IAttribute* ObjectMetadata::attribute(int32_t index) const
{
    if (index < 0 || index >= attributeCount())
        return nullptr;
    const Ptr<Attribute>& result = m_attributes[static_cast<size_t>(index)];
    result->addRef();
    return result.get();
}

int32_t ObjectMetadata::attributeCount() const
{
    return static_cast<int32_t>(m_attributes.size());
}

void ObjectMetadata::trackId(Uuid* outValue) const
{
    if (outValue)
        *outValue = m_trackId;
}

const char* ObjectMetadata::subtype() const
{
    return m_subtype.c_str();
}

void ObjectMetadata::boundingBox(Rect* outValue) const
{
    if (outValue)
        *outValue = m_rect;
}

void ObjectMetadata::setTypeId(std::string typeId)
{
    m_typeId = std::move(typeId);
}

void ObjectMetadata::setConfidence(float confidence)
{
    m_confidence = confidence;
}

void ObjectMetadata::addAttribute(Ptr<Attribute> attribute)
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
        m_attributes.push_back(std::move(attribute));
        return;
    }

    // Names stay unique: a later value for a name overwrites the held one in place.
    NX_KIT_ASSERT((*existingAttribute)->type() == attribute->type(), "");
    (*existingAttribute)->setValue(attribute->value());
}

void ObjectMetadata::addAttributes(const std::vector<Ptr<Attribute>>& attributes)
{
    for (const Ptr<Attribute>& attribute: attributes)
        addAttribute(attribute);
}

void ObjectMetadata::setTrackId(const Uuid& trackId)
{
    m_trackId = trackId;
}

void ObjectMetadata::setSubtype(std::string subtype)
{
    m_subtype = std::move(subtype);
}

void ObjectMetadata::setBoundingBox(const Rect& rect)
{
    m_rect = rect;
}

} // namespace nx::sdk::analytics
