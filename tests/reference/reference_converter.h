// The reference conversion: the message conversion as it was written on nlohmann::json, kept
// for the tests and the differential fuzzing only, which hold the plugin's conversion of each
// message to it. It keeps the plugin's own types for what it produces (Conversion, drops,
// packets), so that the two results compare field by field. A change of the conversion's
// rules is made here too.
//
// Threads: one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/helpers/attribute.h>
#include <nx/sdk/ptr.h>

#include "conversion/message_converter.h"

namespace nx::vms_server_plugins::analytics::sample::reference {

class JsonAt;

using sample::ConversionSettings;

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

    using PacketList = sample::MessageConverter::PacketList;
    using Conversion = sample::MessageConverter::Conversion;

    /**
     * `cameraId` is the camera's id as messages name it in "src_uuid" (without braces). `now`
     * times the track-id renewal rule (TrackIdentity).
     */
    explicit MessageConverter(std::string cameraId, NowSource now = {});

    /** A message for the camera arrived (whether or not it will parse): the renewal rule. */
    void noteMessage() { m_trackIdentity.noteMessage(); }

    /**
     * The packets of one message and its drops. `messageBytes`: the size of the message's text
     * as it arrived, which bounds its attribute text (maxAttributeBytes()). Never throws.
     */
    [[nodiscard]] Conversion convert(const nlohmann::json& message, size_t messageBytes,
        const ConversionSettings& settings, int64_t timestampUs) noexcept;

    TrackIdentity& trackIdentity() { return m_trackIdentity; }
    const TrackIdentity& trackIdentity() const { return m_trackIdentity; }

private:
    /** Per track id, the attribute that the latest alarm gave it; shared by its detections. */
    using TrackCache = stlcache::bounded_cache<int, nx::sdk::Ptr<nx::sdk::Attribute>,
        stlcache::policy_lru, std::less<int>, std::allocator, stlcache::lock_none>;

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
        const JsonAt& value, int64_t timestampUs, size_t* bytes) const;

    /** The text as the server may get it, cut to kMaxTextBytes if need be (counted). */
    std::string serverText(const std::string& text);
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
    size_t m_attributeBytesLeft = 0; //< Of its bound, for the rest of the message.
};

} // namespace nx::vms_server_plugins::analytics::sample::reference
