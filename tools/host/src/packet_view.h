// How skyloom-host shows what the plugin sends: one text line or one JSON line per metadata
// packet, short forms of track ids and type ids. Pure functions on plain records; any thread.
#pragma once

#include <cstdint>
#include <string>

#include <nx/sdk/uuid.h>

#include <skyloom/testhost/records.h>

namespace skyloom::host {

/** A packet as the host received it, with the camera it came from. */
struct PacketEvent
{
    int cameraIndex = 0; //< 1-based, in the order the cameras were given
    std::string cameraId;
    testhost::MetadataPacketRecord packet;
};

/** "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", the form the plugin writes UUIDs in. */
std::string uuidText(const nx::sdk::Uuid& uuid);

/** First 8 and last 8 hex digits: "1A2B3C4D..000032CB" (the last 8 carry the engine's id). */
std::string shortTrackId(const nx::sdk::Uuid& uuid);

/** "skyloom.plugin.obj_lp" gives "lp"; ids of other forms give the text after the last dot. */
std::string shortTypeName(const std::string& typeId);

/** Local wall-clock time of a timestamp in microseconds: "HH:MM:SS.mmm". */
std::string clockText(int64_t timestampUs);

const char* kindName(testhost::MetadataPacketRecord::Kind kind);

/**
 * One line: time, camera, kind, then per item its type id, track, box and attributes (objects)
 * or caption and description (events); items separated by " | ".
 */
std::string packetLine(const PacketEvent& event);

/** One JSON object on one line, with every field of the packet and its items. */
std::string packetJsonLine(const PacketEvent& event);

} // namespace skyloom::host
