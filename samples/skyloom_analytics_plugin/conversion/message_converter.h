// Turns one parsed AI-engine message for one camera into the metadata packets to push, in
// order: the counter object, the event, the alarm's objects, the detections. It owns what the
// camera's messages teach over time: the track identity (UUID base, renewal after silence, the
// counter object's UUID) and the three track caches (caption, plate and group per track id).
// Texts reach the server without control or bidirectional formatting characters, each at most
// kMaxTextBytes long, and lists are converted up to kMaxListElements elements. What one message
// makes the server receive stays within a small multiple of its own size: the attribute text of
// all its objects is at most maxAttributeBytes() of the message's size, counted as the server
// receives it, once for every object that holds an attribute (in the plugin the objects of a
// packet share one caption attribute, and detections the cached attributes of their track); the
// objects from the first one that would pass the bound to the end of the message are left out.
// Event captions and descriptions are not counted: one event per message, each text at most
// kMaxTextBytes. Type ids, track ids and boxes are of a fixed size per object. Failures are
// logged with the owner's print prefix and leave out only what failed: a malformed element
// drops that element, a malformed alarm drops the event, a message for another camera drops
// the message.
//
// Threads: one thread at a time (the camera's receive thread). The settings snapshot and the
// frame time are the caller's, taken once per message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/ptr.h>

#include "health/camera_log.h"
#include "health/drop_report.h"
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

    /**
     * What was left out, per element, for tools that explain one message (the camera's
     * counters count by the reasons of the shared table).
     */
    struct Drops
    {
        uint64_t otherCamera = 0; //< Messages whose "src_uuid" names another camera.
        uint64_t malformedElements = 0; //< List elements that could not be read.
        uint64_t boxesOutsideFrame = 0; //< Detections with nothing of their box in the frame.
        uint64_t elementsBeyondLimit = 0; //< List elements after the first kMaxListElements.
        /**
         * List elements left out because their message's objects reached maxAttributeBytes():
         * the one that would have passed it and every element after it.
         */
        uint64_t objectsBeyondAttributeBound = 0;
        uint64_t textsCut = 0; //< Texts cut to kMaxTextBytes (not dropped).
        /** Alarms left without an event: "caption", "description" or "source" absent or null. */
        uint64_t incompleteAlarms = 0;
    };

    /**
     * `log` and `dropReport` (where every drop is counted by reason) are the owner's and must
     * outlive the converter. `cameraId` is the camera's id as messages name it in "src_uuid"
     * (without braces). `now` times the track-id renewal rule (TrackIdentity).
     */
    MessageConverter(
        CameraLog& log, DropReport& dropReport, std::string cameraId, NowSource now = {});

    /** A message for the camera arrived (whether or not it will parse): the renewal rule. */
    void noteMessage() { m_trackIdentity.noteMessage(); }

    /**
     * The packets for one message, in the order to push them; counted by kind in the camera's
     * counters as pushed, and the message as converted unless it names another camera.
     * `messageBytes`: the size of the message's text as it arrived, which bounds its attribute
     * text (maxAttributeBytes()). Never throws.
     */
    [[nodiscard]] std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket>> convert(
        const nlohmann::json& message, size_t messageBytes, const ConversionSettings& settings,
        int64_t timestampUs) noexcept;

    TrackIdentity& trackIdentity() { return m_trackIdentity; }
    const TrackIdentity& trackIdentity() const { return m_trackIdentity; }
    const Drops& drops() const { return m_drops; }

private:
    /** Per track id, the attribute that the latest alarm gave it; shared by its detections. */
    using TrackCache = stlcache::bounded_cache<int, nx::sdk::Ptr<nx::sdk::Attribute>,
        stlcache::policy_lru, std::less<int>, std::allocator, stlcache::lock_none>;

    /** What one message had cut, for its one log line. */
    struct Cuts
    {
        size_t texts = 0;
        size_t elements = 0;
        size_t objects = 0; //< Beyond the attribute bound; once non-zero, no object follows.
    };
    using PacketList = std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket>>;

    bool isForThisCamera(const nlohmann::json& message);
    void addAlarm(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addAlarmObjects(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addDetections(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);

    /**
     * The counter object's packet, and in `bytes` the text bytes of its attribute; throws if the
     * value is not a number that fits int32.
     */
    nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket> counterPacket(const std::string& caption,
        const nlohmann::json& value, int64_t timestampUs, size_t* bytes) const;

    /** The text as the server may get it, cut to kMaxTextBytes if need be (counted). */
    std::string serverText(const std::string& text);
    /** A text of `textBytes` bytes was cut to kMaxTextBytes for the server. */
    void countTextCut(size_t textBytes) noexcept;
    /** How many elements of a list to convert; the rest is counted as cut. */
    size_t elementsToConvert(size_t listSize);
    /**
     * Whether an object whose attributes hold `bytes` bytes of text still fits the message's
     * bound; if so, they are taken from what is left of it.
     */
    bool takeAttributeBytes(size_t bytes) noexcept;
    /** Elements `index` to `count` - 1 of the list are left out: the bound is reached. */
    void cutObjects(const char* list, size_t index, size_t count) noexcept;
    void logCuts() noexcept;

    /** A member or list failed to convert: counted by its kind, logged. */
    void logFailure(const char* operation, const std::exception& failure) noexcept;
    void logDroppedElement(const char* operation, const char* list, size_t index,
        const std::exception& failure) noexcept;

private:
    CameraLog& m_log;
    DropReport& m_dropReport;
    const std::string m_cameraId;
    TrackIdentity m_trackIdentity;
    TrackCache m_captionCache{kTrackCacheCapacity};
    TrackCache m_plateCache{kTrackCacheCapacity};
    TrackCache m_groupCache{kTrackCacheCapacity};
    Drops m_drops;
    Cuts m_cuts;
    size_t m_eventPackets = 0; //< Of the message in conversion.
    size_t m_attributeBound = 0; //< maxAttributeBytes() of the message in conversion.
    size_t m_attributeBytesLeft = 0; //< Of m_attributeBound, for the rest of the message.
};

} // namespace nx::vms_server_plugins::analytics::sample
