// Why a message from the AI engine reached no camera, in words for the operator. The relay routes
// by bytes: a message goes to camera X only if it begins exactly with {"src_uuid":"X" (X as the
// server's id without braces), so a valid JSON message written with a space after the colon, with
// sorted keys or with a byte-order mark reaches nobody. The relay calls this for the first such
// message of a minute; it reads the message once, without building it, and copies only the little
// it names.
//
// Pure function; any thread. Any input up to the relay's message limit (4 MiB) is safe: nesting
// beyond 64 levels is given up on, never recursed into.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

/** What a message that matched no camera's prefix names, and what is wrong with its form. */
struct EnvelopeForm
{
    /** What its "src_uuid" names (escaped for a log line, at most 128 bytes); empty if none. */
    std::string cameraId;
    /** One short sentence for the operator: what to change in the AI engine's output. */
    std::string hint;
};

/**
 * The form of `message` judged against the relay's prefix rule; `knownCameraIds` are the ids
 * (without braces) of the cameras that receive. Never throws: if the message cannot be examined
 * (no memory), the hint says what the first bytes must be.
 */
[[nodiscard]] EnvelopeForm diagnoseEnvelope(
    std::string_view message, const std::vector<std::string>& knownCameraIds) noexcept;

} // namespace nx::vms_server_plugins::analytics::sample
