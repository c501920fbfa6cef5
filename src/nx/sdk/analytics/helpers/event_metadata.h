// One event (alarm): type id, confidence, caption, description, active flag and attributes.
// Filled by one thread before it is added to a packet, then only read. attribute() returns a
// new reference for the caller.
#pragma once

#include <string>
#include <vector>

#include <nx/sdk/analytics/i_event_metadata.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/helpers/attribute_list.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk::analytics {

class EventMetadata: public RefCountable<IEventMetadata>
{
public:
    virtual const char* typeId() const override;
    virtual float confidence() const override;
    virtual const IAttribute* attribute(int32_t index) const override;
    virtual int32_t attributeCount() const override;
    virtual const char* caption() const override;
    virtual const char* description() const override;
    virtual bool isActive() const override;

    void setTypeId(std::string typeId);
    void setConfidence(float confidence);

    /**
     * Appends the attribute, or, if one with the same name (case-sensitive) is held, copies only
     * its value into the held one. A null attribute is reported and ignored.
     */
    void addAttribute(Ptr<Attribute> attribute);
    void addAttributes(const std::vector<Ptr<Attribute>>& attributes);

    void setCaption(std::string caption);
    void setDescription(std::string description);
    void setIsActive(bool isActive);

private:
    std::string m_typeId;
    float m_confidence = 1.0F;
    std::string m_caption;
    std::string m_description;
    bool m_isActive = false;
    AttributeList m_attributes;
};

} // namespace nx::sdk::analytics
