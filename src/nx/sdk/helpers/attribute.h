// A named text value of a metadata item (type, name, value, confidence). Shared between the
// items that hold it through Ptr<Attribute>; filled before the item is handed over, then read.
#pragma once

#include <string>

#include <nx/sdk/i_attribute.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk {

class Attribute: public RefCountable<IAttribute>
{
public:
    Attribute(IAttribute::Type type, std::string name, std::string value, float confidence = 1.0F);

    virtual Type type() const override;
    virtual const char* name() const override;
    virtual const char* value() const override;
    virtual float confidence() const override;

    void setValue(std::string value);

private:
    Type m_type;
    std::string m_name;
    std::string m_value;
    float m_confidence;
};

} // namespace nx::sdk
