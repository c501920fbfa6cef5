#include "event_metadata.h"

#include <utility>

namespace nx::sdk::analytics {

const char* EventMetadata::typeId() const
{
    return m_typeId.c_str();
}

float EventMetadata::confidence() const
{
    return m_confidence;
}

const IAttribute* EventMetadata::attribute(int32_t index) const
{
    return m_attributes.at(index);
}

int32_t EventMetadata::attributeCount() const
{
    return m_attributes.count();
}

const char* EventMetadata::caption() const
{
    return m_caption.c_str();
}

const char* EventMetadata::description() const
{
    return m_description.c_str();
}

bool EventMetadata::isActive() const
{
    return m_isActive;
}

void EventMetadata::setTypeId(std::string typeId)
{
    m_typeId = std::move(typeId);
}

void EventMetadata::setConfidence(float confidence)
{
    m_confidence = confidence;
}

void EventMetadata::addAttribute(Ptr<Attribute> attribute)
{
    m_attributes.add(std::move(attribute));
}

void EventMetadata::addAttributes(const std::vector<Ptr<Attribute>>& attributes)
{
    m_attributes.add(attributes);
}

void EventMetadata::setCaption(std::string caption)
{
    m_caption = std::move(caption);
}

void EventMetadata::setDescription(std::string description)
{
    m_description = std::move(description);
}

void EventMetadata::setIsActive(bool isActive)
{
    m_isActive = isActive;
}

} // namespace nx::sdk::analytics
