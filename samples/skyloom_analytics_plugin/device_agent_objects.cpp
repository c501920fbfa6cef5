// Object metadata of the device agent: the objects of an alarm's "object_list" (which teach the
// track caches the caption, plate and group of a track) and the annotations of a detection
// message (which are gated and labelled by what the caches know), plus the track ids.
// Everything here runs on the receive thread.

#include "device_agent.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include <nx/kit/debug.h>
#include <nx/sdk/analytics/helpers/object_metadata.h>
#include <nx/sdk/analytics/helpers/object_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/helpers/uuid_helper.h>
#include <nx/sdk/rect.h>

#include "json_values.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using nlohmann::json;

namespace {

constexpr float kMinObjectWidth = 0.15F;
constexpr float kMinObjectHeight = 0.2F;

// Objects stay on screen until the next detection would normally refresh them: briefly when
// every detection is shown, longer when only alarmed tracks are.
constexpr int64_t kDurationWithMetadataUs = 300000;
constexpr int64_t kDurationAlarmsOnlyUs = 1200000;

const char* const kCaptionAttribute = "caption";
const char* const kPlateAttribute = "plate";
const char* const kGroupAttribute = "group";

/** The array at the end of the path; a missing member or another type raises the library's
 * error, so a malformed message is reported like any other conversion failure. */
const json::array_t& arrayAt(const json& message, std::initializer_list<const char*> path)
{
    const json* value = &message;
    for (const char* name: path)
        value = &value->at(name);
    return value->get_ref<const json::array_t&>();
}

bool isNullOrAbsent(const json& element, const char* name)
{
    const auto found = element.find(name);
    return found == element.end() || found->is_null();
}

/** A missing or non-text "class" simply does not match. */
bool hasClass(const json& element, const char* className)
{
    const auto found = element.find("class");
    return found != element.end() && *found == className;
}

void addTextAttribute(ObjectMetadata* object, const char* name, const std::string& value)
{
    object->addAttribute(makePtr<Attribute>(IAttribute::Type::string, name, value));
}

bool isFinite(const Rect& box)
{
    return std::isfinite(box.x) && std::isfinite(box.y)
        && std::isfinite(box.width) && std::isfinite(box.height);
}

/**
 * An alarm object's box, at least the minimum size and inside the frame. A box without a
 * positive size (or whose enlargement overflows) has no centre to grow about; it gets the
 * minimum size about its first corner instead, so the server always receives a finite box.
 */
Rect eventObjectBox(float x0, float y0, float x1, float y1)
{
    float x = x0;
    float y = y0;
    float width = x1 - x0;
    float height = y1 - y0;
    if (width > 0 && height > 0)
    {
        DeviceAgent::expandBoundingBox(x, y, width, height, kMinObjectWidth, kMinObjectHeight);
        const Rect box(x, y, width, height);
        if (isFinite(box))
            return box;
    }
    width = kMinObjectWidth;
    height = kMinObjectHeight;
    x = x0 - width / 2;
    y = y0 - height / 2;
    DeviceAgent::expandBoundingBox(x, y, width, height, kMinObjectWidth, kMinObjectHeight);
    return Rect(x, y, width, height);
}

} // namespace

Ptr<IMetadataPacket> DeviceAgent::generateObjectMetadataPacket(const json& message)
{
    static const char* const kOperation = "generateObjectMetadataPacket";
    try
    {
        // Parsed once: a pointer built from its text splits and allocates on every use.
        static const json::json_pointer kX0("/bbox/x0");
        static const json::json_pointer kY0("/bbox/y0");
        static const json::json_pointer kX1("/bbox/x1");
        static const json::json_pointer kY1("/bbox/y1");
        const int64_t timestampUs = m_lastFrameTimestampUs.load();
        const json::array_t& objects = arrayAt(message, {"event", "object_list"});
        if (objects.empty())
            return nullptr;

        auto packet = makePtr<ObjectMetadataPacket>();
        packet->setTimestampUs(timestampUs);
        packet->setDurationUs(m_enableMetadata ? kDurationWithMetadataUs : kDurationAlarmsOnlyUs);

        for (const json& element: objects)
        {
            const auto object = makePtr<ObjectMetadata>();
            object->setTypeId(objectTypeIdForClass(readText(element.at("class"))));

            const int trackId = readInt32(element.at("tid"));
            object->setTrackId(makeTrackId(trackId));

            object->setBoundingBox(eventObjectBox(
                readFloat(element.at(kX0)),
                readFloat(element.at(kY0)),
                readFloat(element.at(kX1)),
                readFloat(element.at(kY1))));

            const std::string& caption = readText(message.at("caption"));
            addTextAttribute(object.get(), kCaptionAttribute, caption);
            m_captionCache.put(trackId, caption);

            if (!isNullOrAbsent(element, "lp_text"))
            {
                const std::string& plate = readText(element.at("lp_text"));
                if (!plate.empty())
                {
                    addTextAttribute(object.get(), kPlateAttribute, plate);
                    m_plateCache.put(trackId, plate);
                }
                const std::string& group = readText(element.at("lp_group_str"));
                if (!group.empty())
                {
                    addTextAttribute(object.get(), kGroupAttribute, group);
                    m_groupCache.put(trackId, group);
                }
            }

            packet->addItem(object.get());
        }
        return packet;
    }
    catch (const std::exception& e)
    {
        NX_PRINT << kOperation << " exception: " << errorTextForLog(e.what());
        return nullptr;
    }
}

Ptr<IMetadataPacket> DeviceAgent::generateObjectMetadataPacket_only(const json& message)
{
    static const char* const kOperation = "generateObjectMetadataPacket_only";
    try
    {
        static const json::json_pointer kX0("/bbox/0");
        static const json::json_pointer kY0("/bbox/1");
        static const json::json_pointer kX1("/bbox/2");
        static const json::json_pointer kY1("/bbox/3");
        const int64_t timestampUs = m_lastFrameTimestampUs.load();
        const json::array_t& annotations = arrayAt(message, {"meta", "metadata", "annotations"});
        if (annotations.empty())
            return nullptr;

        auto packet = makePtr<ObjectMetadataPacket>();
        packet->setTimestampUs(timestampUs);
        packet->setDurationUs(m_enableMetadata ? kDurationWithMetadataUs : kDurationAlarmsOnlyUs);

        for (const json& element: annotations)
        {
            const int trackId = readInt32(element.at("track_id"));

            // Only tracks that an alarm has named, unless every detection is to be shown.
            if (!m_enableMetadata && !m_captionCache.contains(trackId))
                continue;
            // A plate the engine has not read yet says nothing, unless an alarm read it before.
            if (m_skipNullPlateObject && hasClass(element, "lp")
                && isNullOrAbsent(element, "lp_text") && !m_plateCache.contains(trackId))
            {
                continue;
            }
            if (m_skipNullFaceObject && hasClass(element, "face")
                && isNullOrAbsent(element, "face"))
            {
                continue;
            }

            const auto object = makePtr<ObjectMetadata>();
            object->setTypeId(objectTypeIdForClass(readText(element.at("class"))));
            object->setTrackId(makeTrackId(trackId));

            if (m_captionCache.contains(trackId))
                addTextAttribute(object.get(), kCaptionAttribute, m_captionCache.get(trackId));
            if (m_plateCache.contains(trackId))
                addTextAttribute(object.get(), kPlateAttribute, m_plateCache.get(trackId));
            if (m_groupCache.contains(trackId))
                addTextAttribute(object.get(), kGroupAttribute, m_groupCache.get(trackId));

            const float x0 = readFloat(element.at(kX0));
            const float y0 = readFloat(element.at(kY0));
            const float x1 = readFloat(element.at(kX1));
            const float y1 = readFloat(element.at(kY1));
            // Corners that each fit a float can still be too far apart for one.
            const Rect box(x0, y0, x1 - x0, y1 - y0);
            if (!isFinite(box))
            {
                throw std::out_of_range("bounding box from (" + std::to_string(x0) + ", "
                    + std::to_string(y0) + ") to (" + std::to_string(x1) + ", "
                    + std::to_string(y1) + ") is too large");
            }
            object->setBoundingBox(box);

            packet->addItem(object.get());
        }
        return packet;
    }
    catch (const std::exception& e)
    {
        NX_PRINT << kOperation << " exception: " << errorTextForLog(e.what());
        return nullptr;
    }
}

std::string DeviceAgent::objectTypeIdForClass(const std::string& className)
{
    // Names as views: comparing lengths first, not strlen and a compare per entry.
    static const std::pair<std::string_view, const char*> kTypeIds[] = {
        {"human", "skyloom.plugin.obj_person"},
        {"person", "skyloom.plugin.obj_person"},
        {"fallen", "skyloom.plugin.obj_fallen"},
        {"no-helmet", "skyloom.plugin.obj_nohelmet"},
        {"no-vest", "skyloom.plugin.obj_novest"},
        {"animal", "skyloom.plugin.obj_animal"},
        {"bike", "skyloom.plugin.obj_bike"},
        {"car", "skyloom.plugin.obj_car"},
        {"lp", "skyloom.plugin.obj_lp"},
        {"fire", "skyloom.plugin.obj_fire"},
        {"abandoned", "skyloom.plugin.obj_abandoned"},
        {"violence", "skyloom.plugin.obj_violence"},
        {"counter", "skyloom.plugin.obj_counter"},
    };
    for (const auto& [name, typeId]: kTypeIds)
    {
        if (std::string_view(className) == name)
            return typeId;
    }
    return "skyloom.plugin.obj_unregistered";
}

void DeviceAgent::expandBoundingBox(
    float& x, float& y, float& width, float& height, float minWidth, float minHeight)
{
    // Grows about the centre, then shifts (never shrinks) the box into the frame. std::max(a, b)
    // gives b only when a < b, std::min(a, b) only when b < a.
    const float cx = width / 2 + x;
    const float cy = height / 2 + y;
    const float sx = std::max(1.0F, minWidth / width);
    const float sy = std::max(1.0F, minHeight / height);
    width *= sx;
    height *= sy;
    x = cx - width / 2;
    y = cy - height / 2;
    x = std::max(0.0F, x);
    y = std::max(0.0F, y);
    // The far edges are applied last and win for a box larger than the frame.
    x = std::min(1 - width, x);
    y = std::min(1 - height, y);
}

Uuid DeviceAgent::makeTrackId(int trackId) const
{
    // Bytes 0..11 of the base followed by the track id as a big-endian 32-bit number: exactly
    // what printing the first 29 characters of m_trackIdBaseString (brace, digits, hyphens) and
    // "%08x" of the id and parsing that text back gives, since the text is always the base's.
    // Composed directly: the print and the parse were a quarter of an alarm object's conversion.
    Uuid trackUuid = m_trackIdBase;
    const auto value = static_cast<uint32_t>(trackId);
    trackUuid[12] = static_cast<uint8_t>(value >> 24);
    trackUuid[13] = static_cast<uint8_t>(value >> 16);
    trackUuid[14] = static_cast<uint8_t>(value >> 8);
    trackUuid[15] = static_cast<uint8_t>(value);
    return trackUuid;
}

void DeviceAgent::renewTrackIdBase()
{
    m_trackIdBase = UuidHelper::randomUuid();
    m_trackIdBaseString = UuidHelper::toStdString(m_trackIdBase, UuidHelper::all);
}

} // namespace nx::vms_server_plugins::analytics::sample
