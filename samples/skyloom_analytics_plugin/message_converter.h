// Turns one parsed AI-engine message for one camera into the metadata packets to push, in
// order: the counter object, the event, the alarm's objects, the detections. It owns what the
// camera's messages teach over time: the track identity (UUID base, renewal after silence, the
// counter object's UUID) and the three track caches (caption, plate and group per track id).
// Texts reach the server without control or bidirectional formatting characters, each at most
// kMaxTextBytes long, and lists are converted up to kMaxListElements elements: what one message
// makes stays within a small multiple of its own size (the objects of a packet share one
// caption attribute; detections share the cached attributes of their track). Failures are
// logged with the owner's print prefix and leave out only what failed: a malformed element
// drops that element, a malformed alarm drops the event, a message for another camera drops
// the message.
//
// Threads: one thread at a time (the camera's receive thread). The settings snapshot and the
// frame time are the caller's, taken once per message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/ptr.h>

#include "camera_log.h"
#include "drop_report.h"
#include "stlcache/stlcache.h"
#include "track_identity.h"

namespace nx::vms_server_plugins::analytics::sample {

/** The camera settings that a conversion reads, as one consistent snapshot. */
struct ConversionSettings
{
    bool enableMetadata = true;
    bool skipNullFaceObject = true;
    bool skipNullPlateObject = true;
    bool showCounter = false;
};

class MessageConverter
{
public:
    static constexpr size_t kTrackCacheCapacity = 128;
    /** Longest caption, description, plate or group the server gets, in bytes. */
    static constexpr size_t kMaxTextBytes = 1024;
    /** Most objects converted from one "object_list", and annotations from one list. */
    static constexpr size_t kMaxListElements = 1024;

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
        uint64_t textsCut = 0; //< Texts cut to kMaxTextBytes (not dropped).
        /** Alarms left without an event: "caption", "description" or "source" absent or null. */
        uint64_t incompleteAlarms = 0;
    };

    /**
     * `log` and `dropReport` (where every drop is counted by reason) are the owner's and must
     * outlive the converter. `cameraId` is the camera's id as messages name it in "src_uuid"
     * (without braces).
     */
    MessageConverter(
        CameraLog& log, DropReport& dropReport, std::string cameraId, Clock clock = {});

    /** A message for the camera arrived (whether or not it will parse): the renewal rule. */
    void noteMessage() { m_trackIdentity.noteMessage(); }

    /**
     * The packets for one message, in the order to push them; counted by kind in the camera's
     * counters as pushed, and the message as converted unless it names another camera. Never
     * throws.
     */
    [[nodiscard]] std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket>> convert(
        const nlohmann::json& message, const ConversionSettings& settings,
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
    };
    using PacketList = std::vector<nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket>>;

    bool isForThisCamera(const nlohmann::json& message);
    void addAlarm(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addAlarmObjects(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);
    void addDetections(PacketList* packets, const nlohmann::json& message,
        const ConversionSettings& settings, int64_t timestampUs);

    /** The counter object's packet; throws if the value is not a number that fits int32. */
    nx::sdk::Ptr<nx::sdk::analytics::IMetadataPacket> counterPacket(
        const std::string& caption, const nlohmann::json& value, int64_t timestampUs) const;

    /** The text as the server may get it, cut to kMaxTextBytes if need be (counted). */
    std::string serverText(const std::string& text);
    /** How many elements of a list to convert; the rest is counted as cut. */
    size_t elementsToConvert(size_t listSize);
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
};

} // namespace nx::vms_server_plugins::analytics::sample
