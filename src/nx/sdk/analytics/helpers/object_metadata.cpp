#include "object_metadata.h"

#include <utility>

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
    return m_attributes.at(index);
}

int32_t ObjectMetadata::attributeCount() const
{
    return m_attributes.count();
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
    m_attributes.add(std::move(attribute));
}

void ObjectMetadata::addAttributes(const std::vector<Ptr<Attribute>>& attributes)
{
    m_attributes.add(attributes);
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
