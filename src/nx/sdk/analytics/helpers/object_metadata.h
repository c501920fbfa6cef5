// One detected object: type id, confidence, track id, subtype, bounding box and attributes.
// Filled by one thread before it is added to a packet, then only read. attribute() returns a
// new reference for the caller.
#pragma once

#include <string>
#include <vector>

#include <nx/sdk/analytics/i_object_metadata.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/helpers/attribute_list.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/rect.h>
#include <nx/sdk/ref_countable.h>
#include <nx/sdk/uuid.h>

namespace nx::sdk::analytics {

class ObjectMetadata: public RefCountable<IObjectMetadata>
{
public:
    virtual const char* typeId() const override;
    virtual float confidence() const override;
    virtual const IAttribute* attribute(int32_t index) const override;
    virtual int32_t attributeCount() const override;
    virtual void trackId(Uuid* outValue) const override;
    virtual const char* subtype() const override;
    virtual void boundingBox(Rect* outValue) const override;

    void setTypeId(std::string typeId);
    void setConfidence(float confidence);

    /**
     * Appends the attribute, or, if one with the same name (case-sensitive) is held, copies only
     * its value into the held one. A null attribute is reported and ignored.
     */
    void addAttribute(Ptr<Attribute> attribute);
    void addAttributes(const std::vector<Ptr<Attribute>>& attributes);

    void setTrackId(const Uuid& trackId);
    void setSubtype(std::string subtype);
    void setBoundingBox(const Rect& rect);

private:
    std::string m_typeId;
    float m_confidence = 1.0F;
    Uuid m_trackId;
    std::string m_subtype;
    AttributeList m_attributes;
    Rect m_rect;
};

} // namespace nx::sdk::analytics
