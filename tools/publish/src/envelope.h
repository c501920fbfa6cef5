// Envelope rules of an AI-engine message as the plugin's camera subscription sees them: a
// message reaches a camera only when its text begins with the exact bytes {"src_uuid":"<id>".
// Pure functions on texts; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace skyloom::publish {

/** The fixed head of every deliverable message; the camera id follows it directly. */
constexpr const char* kEnvelopeHead = "{\"src_uuid\":\"";

struct EnvelopeCheck
{
    /** Empty when the message can be delivered; otherwise one line saying what is wrong. */
    std::string problem;

    /** Deliverable, but worth a look (letter case of the id). Empty when nothing to say. */
    std::string warning;

    /** The "src_uuid" value when it could be read. */
    std::string sourceId;

    bool deliverable() const { return problem.empty(); }
};

EnvelopeCheck checkEnvelope(const std::string& text);

/**
 * Empty when the service port takes a message of this size; otherwise why not, beginning with
 * "too large". A larger message does not reach any camera: the port closes the connection that
 * sends it, and what that connection still had queued is lost with it.
 */
std::string sizeProblem(const std::string& text);

/**
 * The id of the camera whose subscription the text's first bytes match (the relay delivers by
 * them alone, before anything is parsed), or null when they can match no server camera.
 */
std::optional<std::string> deliveredCameraId(const std::string& text);

/**
 * The id as the plugin puts it into its subscription prefix: a server id in braces loses them,
 * any other text stays as it is.
 */
std::string prefixIdFromCameraId(const std::string& cameraId);

/** Empty when the id can stand literally in a JSON string; otherwise why not. */
std::string cameraIdProblem(const std::string& cameraId);

/**
 * The message with "src_uuid" set to the camera id (braces stripped) as its first member,
 * written as {"src_uuid":"<id>" with nothing in between; every other member keeps its bytes,
 * order and the white space around it. Every earlier "src_uuid" member is dropped. Null when
 * the text is not a JSON object (checkEnvelope() says why).
 */
std::optional<std::string> rewriteSourceId(const std::string& text, const std::string& cameraId);

/**
 * The message, as compact JSON with its members in their order, with the engine's time of the
 * frame it describes set where the plugin looks first: an alarm's "event"."vid_ts_us", else the
 * top-level "timestamp" (microseconds both). Null if it is not a JSON object.
 */
std::optional<std::string> withEngineTime(const std::string& text, int64_t engineTimeUs);

/** The message as compact JSON with its members in their original order; null if invalid. */
std::optional<std::string> compactMessage(const std::string& text);

} // namespace skyloom::publish
