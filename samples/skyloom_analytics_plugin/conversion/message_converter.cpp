// The conversions of one camera's messages: the alarm (event, counter), the alarm's objects
// (which teach the track caches) and the detections (gated and labelled by the caches).

#include "message_converter.h"

#include <array>
#include <cstring>
#include <exception>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <nx/sdk/analytics/helpers/event_metadata.h>
#include <nx/sdk/analytics/helpers/event_metadata_packet.h>
#include <nx/sdk/analytics/helpers/object_metadata.h>
#include <nx/sdk/analytics/helpers/object_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>

#include "boxes.h"
#include "common/server_text.h"
#include "json_text.h"
#include "json_values.h"
#include "log_texts.h"
#include "type_ids.h"

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace log_texts;

namespace {

constexpr int64_t kEventDurationUs = 300000;
constexpr int64_t kCounterDurationUs = 600000000;
// Objects stay on screen until the next detection would normally refresh them: briefly when
// every detection is shown, longer when only alarmed tracks are.
constexpr int64_t kDurationWithMetadataUs = 300000;
constexpr int64_t kDurationAlarmsOnlyUs = 1200000;

const char* const kCaptionAttribute = "caption";
const char* const kPlateAttribute = "plate";
const char* const kGroupAttribute = "group";
/** Names the counter's value when the alarm has no caption to name it. */
const char* const kUnnamedCounterAttribute = "Counter";

const Rect kCounterBox(0.05F, 0.05F, 0.001F, 0.001F);

/**
 * The counter value of an alarm ("event"."counter"."value"[0], or the member "0" of an object),
 * or nothing if the path ends at a missing member, a missing element or a null value. A step
 * through any other value than an object (or, for the last, an array), null included, throws.
 * `counter` is the event's member "counter", found before.
 */
std::optional<JsonAt> findCounterValue(JsonValue event, const std::optional<JsonValue>& counter)
{
    JsonAt at(event, JsonPlace().member("event"));
    if (!isObject(at.value()))
        at.throwNot("an object");
    if (!counter)
        return std::nullopt;
    at = at.found(counter, "counter");
    if (!isObject(at.value()))
        at.throwNot("an object");
    const std::optional<JsonValue> found = findMember(at.value(), "value");
    if (!found)
        return std::nullopt;
    at = at.found(found, "value");
    const JsonValue value = at.value();
    if (isArray(value))
    {
        const simdjson::dom::array elements = at.array();
        if (elements.begin() == elements.end())
            return std::nullopt;
        at = at.elementAt(*elements.begin(), 0);
    }
    else if (isObject(value))
    {
        const std::optional<JsonValue> found = findMember(value, "0");
        if (!found)
            return std::nullopt;
        at = JsonAt(*found, at.place().member("0"));
    }
    else
    {
        at.throwNot("an array");
    }
    if (isNull(at.value()))
        return std::nullopt;
    return at;
}

/** A top-level member found before: throws "<name> is missing" without it, as JsonAt::member. */
JsonAt topMember(const std::optional<JsonValue>& value, const char* name)
{
    if (!value)
        throw std::invalid_argument(JsonPlace().member(name).text() + " is missing");
    return JsonAt(*value, JsonPlace().member(name));
}

/** A missing or non-text "class" simply does not match. */
bool hasClass(const std::optional<JsonValue>& found, std::string_view className)
{
    return found && isText(*found) && textOf(*found) == className;
}

/**
 * Corner value `index` (0 to 3) of a detection's "bbox": the array's element, or the object's
 * member "0" to "3", as a JSON Pointer ("/bbox/0") reads either.
 */
JsonAt boxCorner(const JsonAt& bbox, size_t index)
{
    static const char* const kNames[] = {"0", "1", "2", "3"};
    return isObject(bbox.value()) ? bbox.member(kNames[index]) : bbox.element(index);
}

/**
 * An optional text member that JsonAt::members() found: nothing when absent or null; a value of
 * another type throws.
 */
std::optional<std::string_view> optionalText(
    const JsonAt& element, const std::optional<JsonValue>& value, const char* name)
{
    if (!nonNull(value))
        return std::nullopt;
    return readText(element.found(value, name));
}

Ptr<Attribute> textAttribute(const char* name, std::string value)
{
    return makePtr<Attribute>(IAttribute::Type::string, name, std::move(value));
}

/** The bytes of the attribute's name and value as the server reads them; 0 for none. */
size_t attributeBytes(const Ptr<Attribute>& attribute)
{
    return attribute ? std::strlen(attribute->name()) + std::strlen(attribute->value()) : 0;
}

/** Cuts the text to at most `maxBytes` without splitting a UTF-8 character. */
void cutAtCharacter(std::string* text, size_t maxBytes)
{
    if (text->size() <= maxBytes)
        return;
    size_t end = maxBytes;
    while (end > 0 && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80)
        --end; //< A continuation byte: the character starts earlier.
    text->resize(end);
}

/** The text as the server may get it; `cut` tells whether it had to be cut to `maxBytes`. */
std::string boundedServerText(std::string_view text, size_t maxBytes, bool* cut)
{
    *cut = false;
    if (text.size() <= maxBytes && !needsCleaning(text))
        return std::string(text);
    std::string result = textForServer(text);
    if (result.size() > maxBytes)
    {
        cutAtCharacter(&result, maxBytes);
        *cut = true;
    }
    return result;
}

Ptr<ObjectMetadataPacket> makeObjectPacket(const ConversionSettings& settings, int64_t timestampUs)
{
    auto packet = makePtr<ObjectMetadataPacket>();
    packet->setTimestampUs(timestampUs);
    packet->setDurationUs(
        settings.enableMetadata ? kDurationWithMetadataUs : kDurationAlarmsOnlyUs);
    return packet;
}

/** An object of an alarm's "object_list", read in full before anything is learnt from it. */
struct AlarmObject
{
    const char* typeId = nullptr;
    int trackId = 0;
    Rect box;
    std::optional<std::string_view> plate; //< Nothing when absent, null or empty.
    std::optional<std::string_view> group; //< Nothing when absent, null or empty.

    /** Reads in the order that decides which failure a malformed object is dropped for. */
    explicit AlarmObject(const JsonAt& element)
    {
        // One walk through the object and one through its box, not one for each member.
        static constexpr std::array<std::string_view, 5> kNames{
            "class", "tid", "bbox", "lp_text", "lp_group_str"};
        const auto found = element.members(kNames);
        typeId = objectTypeIdForClass(readText(element.found(found[0], "class")));
        trackId = readTrackId(element.found(found[1], "tid"));
        const JsonAt bbox = element.found(found[2], "bbox");
        static constexpr std::array<std::string_view, 4> kCorners{"x0", "y0", "x1", "y1"};
        const auto corners = bbox.members(kCorners);
        box = alarmObjectBox(readFloat(bbox.found(corners[0], "x0")),
            readFloat(bbox.found(corners[1], "y0")), readFloat(bbox.found(corners[2], "x1")),
            readFloat(bbox.found(corners[3], "y1")));
        // The group goes with a plate text; without one it is not looked at.
        if (const std::optional<std::string_view> text =
            optionalText(element, found[3], "lp_text"))
        {
            if (!text->empty())
                plate = text;
            const std::optional<std::string_view> groupText =
                optionalText(element, found[4], "lp_group_str");
            if (groupText && !groupText->empty())
                group = groupText;
        }
    }
};

} // namespace

MessageConverter::MessageConverter(std::string cameraId, NowSource now):
    m_cameraId(std::move(cameraId)),
    m_trackIdentity(std::move(now))
{
}

MessageConverter::Conversion MessageConverter::convert(JsonValue message,
    size_t messageBytes, const ConversionSettings& settings, int64_t timestampUs) noexcept
{
    m_result = Conversion();
    m_result.packets = std::move(m_sparePackets);
    m_result.lost.cuts.attributeBound = maxAttributeBytes(messageBytes);
    m_attributeBytesLeft = m_result.lost.cuts.attributeBound;
    PacketList* const packets = &m_result.packets;
    try
    {
        packets->reserve(4); //< Counter, event, alarm objects, detections: one allocation.
        static constexpr std::array<std::string_view, 6> kNames{
            "event", "meta", "src_uuid", "caption", "description", "source"};
        const auto found = findMembers(message, kNames);
        Members members{found[0], found[1], found[2], found[3], found[4], found[5], {}, {}};
        if (members.event)
        {
            // Read by the event's conversion and by the alarm objects': one walk for both. If
            // "event" is no object, nothing is found, and each conversion tells so.
            static constexpr std::array<std::string_view, 2> kEventNames{
                "counter", "object_list"};
            const auto inEvent = findMembers(*members.event, kEventNames);
            members.counter = inEvent[0];
            members.objectList = inEvent[1];
        }
        const bool isAlarm = members.event.has_value();
        const bool isDetection = members.meta.has_value();
        if (isAlarm || isDetection)
            m_result.forThisCamera = isForThisCamera(members);
        if (m_result.forThisCamera && isAlarm)
        {
            addAlarm(packets, members, settings, timestampUs);
            addAlarmObjects(packets, members, settings, timestampUs);
        }
        if (m_result.forThisCamera && isDetection)
            addDetections(packets, members, settings, timestampUs);
    }
    catch (const std::exception& e)
    {
        // Only resource exhaustion gets here: each conversion catches its own failures.
        dropFailure(kReceiveLoop, e);
    }
    return std::move(m_result);
}

std::string MessageConverter::cutLine(const Cuts& cuts)
{
    return std::to_string(cuts.texts) + " texts to " + std::to_string(kMaxTextBytes)
        + " bytes, " + std::to_string(cuts.elements) + " list elements beyond the first "
        + std::to_string(kMaxListElements) + " dropped, " + std::to_string(cuts.objects)
        + " objects beyond " + std::to_string(cuts.attributeBound)
        + " bytes of attributes dropped";
}

template<typename Describe>
void MessageConverter::drop(std::optional<DropReason> reason, uint64_t count,
    const char* operation, const char* line, Describe describe) noexcept
{
    try
    {
        Drop value{reason, count, operation, line, {}, {}};
        describe(&value);
        m_result.lost.drops.push_back(std::move(value));
    }
    catch (...)
    {
        if (reason)
            m_result.lost.untold[static_cast<size_t>(*reason)] += count;
    }
}

std::string MessageConverter::serverText(std::string_view text)
{
    bool cut = false;
    std::string result = boundedServerText(text, kMaxTextBytes, &cut);
    if (cut)
        countTextCut(text.size());
    return result;
}

void MessageConverter::countTextCut(size_t textBytes) noexcept
{
    ++m_result.lost.cuts.texts;
    drop(DropReason::textCut, 1, kReceiveLoop, /*line*/ nullptr,
        [textBytes](Drop* out)
        {
            out->detail = "a text of " + std::to_string(textBytes) + " bytes cut to "
                + std::to_string(kMaxTextBytes);
        });
}

size_t MessageConverter::elementsToConvert(const char* list, size_t listSize)
{
    if (listSize <= kMaxListElements)
        return listSize;
    const size_t cut = listSize - kMaxListElements;
    m_result.lost.cuts.elements += cut;
    drop(DropReason::listCut, cut, kReceiveLoop, /*line*/ nullptr,
        [list, listSize](Drop* out)
        {
            out->element = std::string(list) + "[" + std::to_string(kMaxListElements)
                + "] and after";
            out->detail = "a list of " + std::to_string(listSize) + " elements";
        });
    return kMaxListElements;
}

bool MessageConverter::takeAttributeBytes(size_t bytes) noexcept
{
    if (bytes > m_attributeBytesLeft)
        return false;
    m_attributeBytesLeft -= bytes;
    return true;
}

void MessageConverter::cutObjects(const char* list, size_t index, size_t count) noexcept
{
    const size_t cut = count - index;
    Cuts& cuts = m_result.lost.cuts;
    cuts.objects += cut;
    drop(DropReason::listCut, cut, kReceiveLoop, /*line*/ nullptr,
        [&](Drop* out)
        {
            out->element = std::string(list) + "[" + std::to_string(index) + "] and after";
            out->detail = out->element + ": " + std::to_string(cut)
                + " objects beyond the message's " + std::to_string(cuts.attributeBound)
                + " bytes of attributes";
        });
}

/**
 * The relay delivers by the text's first bytes, but a later duplicate "src_uuid" member wins
 * in the parsed message: what is converted must be this camera's.
 */
bool MessageConverter::isForThisCamera(const Members& message)
{
    const std::optional<JsonValue>& found = message.srcUuid;
    if (found && isText(*found) && textOf(*found) == m_cameraId)
        return true;

    drop(DropReason::otherCamera, 1, kReceiveLoop, kOtherCamera,
        [&](Drop* out)
        {
            const std::string named = !found
                ? std::string("no \"src_uuid\"")
                : "\"src_uuid\" is " + jsonText(*found, /*indent*/ -1, /*ensureAscii*/ true);
            out->detail = named + ", this camera is \"" + m_cameraId + "\"";
        });
    return false;
}

void MessageConverter::addAlarm(PacketList* packets, const Members& message,
    const ConversionSettings& settings, int64_t timestampUs)
{
    try
    {
        const std::optional<JsonValue> captionValue = nonNull(message.caption);
        const std::optional<JsonValue> descriptionValue = nonNull(message.description);
        const std::optional<JsonValue> sourceValue = nonNull(message.source);
        if (!captionValue || !descriptionValue || !sourceValue)
        {
            // A rule of the format, not a fault: told to tools, neither logged nor counted.
            drop(std::nullopt, 1, kEventConversion, /*line*/ nullptr,
                [](Drop* out)
                {
                    out->detail = "no event: the alarm lacks a \"caption\", \"description\" "
                        "or \"source\" (absent or null)";
                });
            return;
        }

        // The members found above, read where they are (a failure names the member).
        const auto text = [](const std::optional<JsonValue>& value, const char* name)
            { return readText(JsonAt(*value, JsonPlace().member(name))); };
        const std::string caption = serverText(text(captionValue, "caption"));
        auto event = makePtr<EventMetadata>();
        event->setTypeId(eventTypeIdForSource(text(sourceValue, "source")));
        event->setIsActive(true);
        event->setCaption(caption);
        event->setDescription(serverText(text(descriptionValue, "description")));

        auto eventPacket = makePtr<EventMetadataPacket>();
        eventPacket->setTimestampUs(timestampUs);
        eventPacket->setDurationUs(kEventDurationUs);
        eventPacket->addItem(event.get());

        // Read before anything is added: a malformed counter drops the event with it.
        Ptr<IMetadataPacket> counter;
        size_t counterBytes = 0;
        if (settings.showCounter)
        {
            if (const std::optional<JsonAt> value =
                findCounterValue(*message.event, message.counter))
                counter = counterPacket(caption, *value, timestampUs, &counterBytes);
        }
        if (counter)
        {
            // The message's first attribute, at most a text and a number: within the allowance.
            (void) takeAttributeBytes(counterBytes);
            packets->push_back(std::move(counter));
        }
        packets->push_back(std::move(eventPacket));
        ++m_result.eventPackets;
    }
    catch (const std::exception& e)
    {
        dropFailure(kEventConversion, e);
    }
}

Ptr<IMetadataPacket> MessageConverter::counterPacket(const std::string& caption,
    const JsonAt& value, int64_t timestampUs, size_t* bytes) const
{
    // Unlike a track id, a counter value with a fraction is cut toward zero; a boolean is
    // malformed.
    if (!isNumber(value.value()))
        value.throwNot("a number");
    const int count = readInt32(value);

    auto counter = makePtr<ObjectMetadata>();
    counter->setTypeId(kCounterObjectTypeId);
    counter->setTrackId(m_trackIdentity.counterTrackId());
    counter->setBoundingBox(kCounterBox);
    auto attribute = makePtr<Attribute>(IAttribute::Type::number,
        caption.empty() ? kUnnamedCounterAttribute : caption, std::to_string(count));
    *bytes = attributeBytes(attribute);
    counter->addAttribute(std::move(attribute)); //< Only the object keeps it.

    auto packet = makePtr<ObjectMetadataPacket>();
    packet->setTimestampUs(timestampUs);
    packet->setDurationUs(kCounterDurationUs);
    packet->addItem(counter.get());
    return packet;
}

void MessageConverter::addAlarmObjects(PacketList* packets, const Members& message,
    const ConversionSettings& settings, int64_t timestampUs)
{
    try
    {
        const JsonAt event = topMember(message.event, "event");
        if (!isObject(event.value()))
            event.throwNot("an object");
        const JsonAt list = event.found(message.objectList, "object_list");
        const simdjson::dom::array objects = list.array();
        if (objects.begin() == objects.end())
            return;
        // One attribute for all the objects: a long caption must not be copied into each in
        // the plugin (the server receives it with each, which the bound counts).
        const Ptr<Attribute> caption = textAttribute(
            kCaptionAttribute, serverText(readText(topMember(message.caption, "caption"))));
        const size_t captionBytes = attributeBytes(caption);

        auto packet = makeObjectPacket(settings, timestampUs);
        const size_t count = elementsToConvert("object_list", objects.size());
        auto next = objects.begin();
        for (size_t index = 0; index < count; ++index, ++next)
        {
            std::optional<AlarmObject> read;
            try
            {
                read.emplace(list.elementAt(*next, index));
            }
            catch (const std::exception& e)
            {
                dropElement(kAlarmObjectsConversion, "object_list", index, e);
                continue;
            }

            // Texts cut for an object that the bound leaves out are not counted as cut.
            bool plateCut = false;
            bool groupCut = false;
            Ptr<Attribute> plate;
            Ptr<Attribute> group;
            if (read->plate)
            {
                plate = textAttribute(kPlateAttribute,
                    boundedServerText(*read->plate, kMaxTextBytes, &plateCut));
            }
            if (read->group)
            {
                group = textAttribute(kGroupAttribute,
                    boundedServerText(*read->group, kMaxTextBytes, &groupCut));
            }
            if (!takeAttributeBytes(captionBytes + attributeBytes(plate) + attributeBytes(group)))
            {
                cutObjects("object_list", index, count);
                break;
            }
            if (plateCut)
                countTextCut(read->plate->size());
            if (groupCut)
                countTextCut(read->group->size());

            const auto object = makePtr<ObjectMetadata>();
            object->setTypeId(read->typeId);
            object->setTrackId(m_trackIdentity.makeTrackId(read->trackId));
            object->setBoundingBox(read->box);
            object->addAttribute(caption);
            m_captionCache.put(read->trackId, caption);
            // Moved into the object once cached: a reference less to count up and down.
            if (plate)
            {
                m_plateCache.put(read->trackId, plate);
                object->addAttribute(std::move(plate));
            }
            if (group)
            {
                m_groupCache.put(read->trackId, group);
                object->addAttribute(std::move(group));
            }
            packet->addItem(object.get());
        }
        if (packet->count() > 0)
            packets->push_back(std::move(packet));
    }
    catch (const std::exception& e)
    {
        dropFailure(kAlarmObjectsConversion, e);
    }
}

void MessageConverter::addDetections(PacketList* packets, const Members& message,
    const ConversionSettings& settings, int64_t timestampUs)
{
    try
    {
        const JsonAt list =
            topMember(message.meta, "meta").member("metadata").member("annotations");
        const simdjson::dom::array annotations = list.array();
        if (annotations.begin() == annotations.end())
            return;

        auto packet = makeObjectPacket(settings, timestampUs);
        bool anySkipped = false;
        const size_t count = elementsToConvert("annotations", annotations.size());
        if (m_result.lost.cuts.objects > 0)
        {
            cutObjects("annotations", 0, count); //< The alarm's objects reached the bound.
            return;
        }
        auto next = annotations.begin();
        for (size_t index = 0; index < count; ++index, ++next)
        {
            const JsonAt at = list.elementAt(*next, index);
            try
            {
                // One walk through the detection, not one for each member.
                static constexpr std::array<std::string_view, 5> kNames{
                    "track_id", "class", "bbox", "lp_text", "face"};
                const auto found = at.members(kNames);
                const int trackId = readTrackId(at.found(found[0], "track_id"));

                // Only tracks that an alarm has named, unless every detection is to be shown.
                const bool skipped = (!settings.enableMetadata && !m_captionCache.contains(trackId))
                    // A plate the engine has not read says nothing, unless an alarm read it.
                    || (settings.skipNullPlateObject && hasClass(found[1], "lp")
                        && !nonNull(found[3]) && !m_plateCache.contains(trackId))
                    || (settings.skipNullFaceObject && hasClass(found[1], "face")
                        && !nonNull(found[4]));
                if (skipped)
                {
                    anySkipped = true;
                    continue;
                }

                const char* typeId = objectTypeIdForClass(readText(at.found(found[1], "class")));
                const JsonAt bbox = at.found(found[2], "bbox");
                const float x0 = readFloat(boxCorner(bbox, 0));
                const float y0 = readFloat(boxCorner(bbox, 1));
                const float x1 = readFloat(boxCorner(bbox, 2));
                const float y1 = readFloat(boxCorner(bbox, 3));
                const std::optional<Rect> box = detectionBox(x0, y0, x1, y1);
                if (!box)
                {
                    drop(DropReason::boxOutsideFrame, 1, kDetectionsConversion, kElementDropped,
                        [&](Drop* out)
                        {
                            out->element = "annotations[" + std::to_string(index) + "]";
                            std::ostringstream detail;
                            detail << out->element << ": box [" << x0 << ", " << y0 << ", "
                                << x1 << ", " << y1 << "] lies outside the frame";
                            out->detail = detail.str();
                        });
                    continue;
                }

                // The track's own attributes, shared: a thousand detections of one track must
                // not copy its texts a thousand times in the plugin. The server receives them
                // with every detection, which the bound counts.
                const Ptr<Attribute> caption = m_captionCache.contains(trackId)
                    ? m_captionCache.get(trackId) : Ptr<Attribute>();
                const Ptr<Attribute> plate = m_plateCache.contains(trackId)
                    ? m_plateCache.get(trackId) : Ptr<Attribute>();
                const Ptr<Attribute> group = m_groupCache.contains(trackId)
                    ? m_groupCache.get(trackId) : Ptr<Attribute>();
                if (!takeAttributeBytes(
                    attributeBytes(caption) + attributeBytes(plate) + attributeBytes(group)))
                {
                    cutObjects("annotations", index, count);
                    break;
                }

                const auto object = makePtr<ObjectMetadata>();
                object->setTypeId(typeId);
                object->setTrackId(m_trackIdentity.makeTrackId(trackId));
                if (caption)
                    object->addAttribute(caption);
                if (plate)
                    object->addAttribute(plate);
                if (group)
                    object->addAttribute(group);
                object->setBoundingBox(*box);
                packet->addItem(object.get());
            }
            catch (const std::exception& e)
            {
                dropElement(kDetectionsConversion, "annotations", index, e);
            }
        }
        // A packet whose detections were all skipped by the rules still marks the moment.
        if (packet->count() > 0 || anySkipped)
            packets->push_back(std::move(packet));
    }
    catch (const std::exception& e)
    {
        dropFailure(kDetectionsConversion, e);
    }
}

namespace {

/** A number that does not fit its type is told apart; every other failure is of form. */
DropReason reasonOf(const std::exception& failure)
{
    return dynamic_cast<const std::out_of_range*>(&failure)
        ? DropReason::numberOutOfRange
        : DropReason::malformed;
}

} // namespace

void MessageConverter::dropFailure(const char* operation, const std::exception& failure) noexcept
{
    drop(reasonOf(failure), 1, operation, kException,
        [&failure](Drop* out) { out->detail = failure.what(); });
}

void MessageConverter::dropElement(const char* operation, const char* list, size_t index,
    const std::exception& failure) noexcept
{
    drop(reasonOf(failure), 1, operation, kException,
        [&](Drop* out)
        {
            out->element = std::string(list) + "[" + std::to_string(index) + "]";
            out->detail = out->element + " dropped: " + failure.what();
        });
}

} // namespace nx::vms_server_plugins::analytics::sample
