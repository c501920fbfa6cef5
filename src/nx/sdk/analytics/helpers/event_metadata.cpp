#include "event_metadata.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <nx/kit/debug.h>

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
    if (index < 0 || index >= attributeCount())
        return nullptr;
    const Ptr<Attribute>& result = m_attributes[static_cast<size_t>(index)];
    result->addRef();
    return result.get();
}

int32_t EventMetadata::attributeCount() const
{
    return static_cast<int32_t>(m_attributes.size());
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

void EventMetadata::addAttributes(const std::vector<Ptr<Attribute>>& attributes)
{
    for (const Ptr<Attribute>& attribute: attributes)
        addAttribute(attribute);
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
