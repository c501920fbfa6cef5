// Turns one parsed AI-engine message for one camera into the metadata packets to push, in
// order: the counter object, the event, the alarm's objects, the detections, and into what it
// left out (MessageDrops), for the caller to count and tell. It owns what the camera's messages
// teach over time: the track identity (UUID base, renewal after silence, the counter object's
// UUID) and the three track caches (caption, plate and group per track id).
// Texts reach the server without control or bidirectional formatting characters, each at most
// kMaxTextBytes long, and lists are converted up to kMaxListElements elements. What one message
// makes the server receive stays within a small multiple of its own size: the attribute text of
// all its objects is at most maxAttributeBytes() of the message's size, counted as the server
// receives it, once for every object that holds an attribute (in the plugin the objects of a
// packet share one caption attribute, and detections the cached attributes of their track); the
// objects from the first one that would pass the bound to the end of the message are left out.
// Event captions and descriptions are not counted: one event per message, each text at most
// kMaxTextBytes. Type ids, track ids and boxes are of a fixed size per object. A failure leaves
// out only what failed: a malformed element drops that element, a malformed alarm drops the
// event, a message for another camera drops the message.
//
// Threads: one thread at a time (the camera's receive thread). The settings snapshot and the
// frame time are the caller's, taken once per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/ptr.h>

#include "common/clock.h"
#include "health/drop.h"
#include "json_values.h"
#include "settings/settings_table.h"
#include "stlcache/stlcache.h"
#include "track_identity.h"

namespace nx::vms_server_plugins::analytics::sample {

/**
 * The camera settings that a conversion reads, as one consistent snapshot; by default what an
 * agent works with before the first settings arrive.
 */
struct ConversionSettings
{
    bool enableMetadata = setting::kEnableMetadata.agentStart.isTrue();
    bool skipNullFaceObject = setting::kSkipNullFaceObject.agentStart.isTrue();
    bool skipNullPlateObject = setting::kSkipNullPlateObject.agentStart.isTrue();
    bool showCounter = setting::kShowCounter.agentStart.isTrue();
};

class MessageConverter
{
public:
    static constexpr size_t kTrackCacheCapacity = 128;
    /** Longest caption, description, plate or group the server gets, in bytes. */
    static constexpr size_t kMaxTextBytes = 1024;
    /** Most objects converted from one "object_list", and annotations from one list. */
    static constexpr size_t kMaxListElements = 1024;
    /** Attribute text that one byte of a message may give the server, beyond the allowance. */
    static constexpr size_t kAttributeBytesPerMessageByte = 4;
    /** Attribute text that any message may give the server, whatever its size. */
    static constexpr size_t kAttributeBytesAllowance = 64 * 1024;

    /**
     * Most bytes of attribute text (names and values of the attributes of every object, the
     * counter object's included) that a message of `messageBytes` bytes makes the server receive.
     */
    [[nodiscard]] static constexpr size_t maxAttributeBytes(size_t messageBytes)
    {
        constexpr size_t kLargest = (SIZE_MAX - kAttributeBytesAllowance)
            / kAttributeBytesPerMessageByte;
        return messageBytes > kLargest
            ? SIZE_MAX
            : kAttributeBytesPerMessageByte * messageBytes + kAttributeBytesAllowance;
    }

    using PacketList = std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket>>;

    /** One message's packets, in the order to push them, and what it lost. */
    struct Conversion
    {
        PacketList packets;
        size_t eventPackets = 0; //< Of `packets`; the rest are object packets.
        /** False if "src_uuid" names another camera: then nothing was converted. */
        bool forThisCamera = true;
        MessageDrops lost;
    };

    /**
     * `cameraId` is the camera's id as messages name it in "src_uuid" (without braces). `now`
     * times the track-id renewal rule (TrackIdentity).
     */
    explicit MessageConverter(std::string cameraId, NowSource now = {});

    /** A message for the camera arrived (whether or not it will parse): the renewal rule. */
    void noteMessage() { m_trackIdentity.noteMessage(); }
    /** noteMessage() with the time of the `now` given at construction read already. */
    void noteMessage(Clock::time_point now) { m_trackIdentity.noteMessage(now); }

    /**
     * The packets of one message and its drops. `messageBytes`: the size of the message's text
     * as it arrived, which bounds its attribute text (maxAttributeBytes()). Never throws.
     */
    [[nodiscard]] Conversion convert(JsonValue message, size_t messageBytes,
        const ConversionSettings& settings, int64_t timestampUs) noexcept;

    /**
     * Takes back the list of a conversion whose packets were pushed: the next conversion fills
     * it again, without allocating it anew.
     */
    void recycle(PacketList packets) noexcept
    {
        packets.clear();
        m_sparePackets = std::move(packets);
    }

    /** The one log line that tells a message's cuts. */
    [[nodiscard]] static std::string cutLine(const Cuts& cuts);

    TrackIdentity& trackIdentity() { return m_trackIdentity; }
    const TrackIdentity& trackIdentity() const { return m_trackIdentity; }

private:
    /** Per track id, the attribute that the latest alarm gave it; shared by its detections. */
    using TrackCache = stlcache::bounded_cache<int, nx::sdk::Ptr<nx::sdk::Attribute>,
        stlcache::policy_lru, std::less<int>, std::allocator, stlcache::lock_none>;

    /** The top-level members that the conversions read, found in one walk. */
    struct Members
    {
        std::optional<JsonValue> event;
        std::optional<JsonValue> meta;
        std::optional<JsonValue> srcUuid;
        std::optional<JsonValue> caption;
        std::optional<JsonValue> description;
        std::optional<JsonValue> source;
        /** Of "event", when it is an object. */
        std::optional<JsonValue> counter;
        std::optional<JsonValue> objectList;
    };

    bool isForThisCamera(const Members& message);
    void addAlarm(PacketList* packets, const Members& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addAlarmObjects(PacketList* packets, const Members& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addDetections(PacketList* packets, const Members& message,
        const ConversionSettings& settings, int64_t timestampUs);

    /**
     * The counter object's packet, and in `bytes` the text bytes of its attribute; throws if the
     * value is not a number that fits int32.
     */
    nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket> counterPacket(const std::string& caption,
        const JsonAt& value, int64_t timestampUs, size_t* bytes) const;

    /** The text as the server may get it, cut to kMaxTextBytes if need be (counted). */
    std::string serverText(std::string_view text);
    /** A text of `textBytes` bytes was cut to kMaxTextBytes for the server. */
    void countTextCut(size_t textBytes) noexcept;
    /** How many elements of `list` to convert; the rest is counted as cut. */
    size_t elementsToConvert(const char* list, size_t listSize);
    /**
     * Whether an object whose attributes hold `bytes` bytes of text still fits the message's
     * bound; if so, they are taken from what is left of it.
     */
    bool takeAttributeBytes(size_t bytes) noexcept;
    /** Elements `index` to `count` - 1 of the list are left out: the bound is reached. */
    void cutObjects(const char* list, size_t index, size_t count) noexcept;

    /** Keeps a drop; `describe(Drop*)` fills its element and detail, and may throw. */
    template<typename Describe>
    void drop(std::optional<DropReason> reason, uint64_t count, const char* operation,
        const char* line, Describe describe) noexcept;
    /** A member or list failed to convert. */
    void dropFailure(const char* operation, const std::exception& failure) noexcept;
    void dropElement(const char* operation, const char* list, size_t index,
        const std::exception& failure) noexcept;

private:
    const std::string m_cameraId;
    TrackIdentity m_trackIdentity;
    TrackCache m_captionCache{kTrackCacheCapacity};
    TrackCache m_plateCache{kTrackCacheCapacity};
    TrackCache m_groupCache{kTrackCacheCapacity};
    Conversion m_result; //< Of the message in conversion.
    PacketList m_sparePackets; //< Empty; its capacity is for the next conversion.
    size_t m_attributeBytesLeft = 0; //< Of its bound, for the rest of the message.
};

} // namespace nx::vms_server_plugins::analytics::sample
