// Stand-ins for the plugin's side of the boundary, built on the host's own counting base so
// that hostObjectsAlive() shows whether the code under test let go of everything.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nx/sdk/analytics/i_event_metadata.h>
#include <nx/sdk/analytics/i_event_metadata_packet.h>
#include <nx/sdk/analytics/i_object_metadata.h>
#include <nx/sdk/analytics/i_object_metadata_packet.h>
#include <nx/sdk/i_attribute.h>
#include <nx/sdk/i_string.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost::test {

class FakeString: public HostRefCountable<nx::sdk::IString>
{
public:
    explicit FakeString(std::string text): m_text(std::move(text)) {}
    virtual const char* str() const override { return m_text.c_str(); }

private:
    std::string m_text;
};

/** A new string with one reference, as the plugin hands them out. */
inline const nx::sdk::IString* newString(const std::string& text)
{
    return new FakeString(text);
}

class FakeAttribute: public HostRefCountable<nx::sdk::IAttribute>
{
public:
    FakeAttribute(Type type, std::string name, std::string value, float confidence):
        m_type(type), m_name(std::move(name)), m_value(std::move(value)), m_confidence(confidence)
    {
    }

    virtual Type type() const override { return m_type; }
    virtual const char* name() const override { return m_name.c_str(); }
    virtual const char* value() const override { return m_value.c_str(); }
    virtual float confidence() const override { return m_confidence; }

private:
    Type m_type;
    std::string m_name;
    std::string m_value;
    float m_confidence;
};

template<class ItemInterface>
class FakeMetadata: public HostRefCountable<ItemInterface>
{
public:
    std::string typeIdText;
    float confidenceValue = 1.0F;
    std::vector<nx::sdk::Ptr<FakeAttribute>> attributes;

    virtual const char* typeId() const override { return typeIdText.c_str(); }
    virtual float confidence() const override { return confidenceValue; }
    virtual int32_t attributeCount() const override { return (int32_t) attributes.size(); }

    virtual const nx::sdk::IAttribute* attribute(int32_t index) const override
    {
        if (index < 0 || index >= attributeCount())
            return nullptr;
        attributes[(size_t) index]->addRef();
        return attributes[(size_t) index].get();
    }
};

class FakeObjectMetadata: public FakeMetadata<nx::sdk::analytics::IObjectMetadata>
{
public:
    nx::sdk::Uuid trackIdValue;
    std::string subtypeText;
    nx::sdk::Rect box;

    virtual void trackId(nx::sdk::Uuid* out) const override { *out = trackIdValue; }
    virtual const char* subtype() const override { return subtypeText.c_str(); }
    virtual void boundingBox(nx::sdk::Rect* out) const override { *out = box; }
};

class FakeEventMetadata: public FakeMetadata<nx::sdk::analytics::IEventMetadata>
{
public:
    std::string captionText;
    std::string descriptionText;
    bool active = false;

    virtual const char* caption() const override { return captionText.c_str(); }
    virtual const char* description() const override { return descriptionText.c_str(); }
    virtual bool isActive() const override { return active; }
};

/** Items may be null, to stand for an index at which at() fails. */
template<class PacketInterface>
class FakePacket: public HostRefCountable<PacketInterface>
{
public:
    int64_t timestamp = 0;
    int64_t duration = 0;
    std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadata>> items;

    virtual int64_t timestampUs() const override { return timestamp; }
    virtual int64_t durationUs() const override { return duration; }
    virtual int32_t count() const override { return (int32_t) items.size(); }

    virtual const nx::sdk::analytics::IMetadata* at(int32_t index) const override
    {
        if (index < 0 || index >= count() || !items[(size_t) index])
            return nullptr;
        items[(size_t) index]->addRef();
        return items[(size_t) index].get();
    }
};

using FakeObjectPacket = FakePacket<nx::sdk::analytics::IObjectMetadataPacket>;
using FakeEventPacket = FakePacket<nx::sdk::analytics::IEventMetadataPacket>;

/** A metadata packet of neither known kind. */
class FakeBarePacket: public HostRefCountable<nx::sdk::analytics::IMetadataPacket>
{
public:
    virtual int64_t timestampUs() const override { return 7; }
};

} // namespace skyloom::testhost::test
