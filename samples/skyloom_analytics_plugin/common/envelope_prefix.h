// The bytes by which a message is routed to its camera without being parsed: every message for
// camera X begins with {"src_uuid":"X" (X being the server's id without braces). An agent
// subscribes with that prefix; the relay finds the camera by it, and a certificate's camera
// restriction is checked against it.
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

/** What every routable message begins with; the camera id and a closing quote follow. */
constexpr std::string_view kEnvelopeHead = "{\"src_uuid\":\"";

/** The prefix of the messages for the camera. */
inline std::string envelopePrefix(std::string_view cameraId)
{
    std::string prefix(kEnvelopeHead);
    prefix.append(cameraId);
    prefix.push_back('"');
    return prefix;
}

/**
 * The camera id that the message's first bytes name in the usual form (up to the first quote
 * after the head), or nothing if it does not begin with the head or the id never ends.
 */
inline std::optional<std::string_view> envelopeCameraId(std::string_view message)
{
    if (message.substr(0, kEnvelopeHead.size()) != kEnvelopeHead)
        return std::nullopt;
    message.remove_prefix(kEnvelopeHead.size());
    const size_t quote = message.find('"');
    if (quote == std::string_view::npos)
        return std::nullopt;
    return message.substr(0, quote);
}

} // namespace nx::vms_server_plugins::analytics::sample
