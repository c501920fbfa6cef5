#include "capture_record.h"

#include <nlohmann/json.hpp>

#include "base64.h"

namespace skyloom::capture {

std::string captureLine(int64_t receivedUs, const std::string& message)
{
    // Written by hand so that the time comes first: replay tells capture lines by their start.
    std::string line = "{\"receivedUs\":" + std::to_string(receivedUs) + ",\"message\":";
    try
    {
        return line + nlohmann::json(message).dump() + "}";
    }
    catch (const nlohmann::json::type_error&)
    {
        // Not UTF-8: the text for reading, the bytes for replay.
        return line
            + nlohmann::json(message).dump(-1, ' ', false,
                nlohmann::json::error_handler_t::replace)
            + ",\"messageBase64\":\"" + skyloom::tools::toBase64(message) + "\"}";
    }
}

std::string cameraPrefix(const std::string& cameraId)
{
    std::string id = cameraId;
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        id = id.substr(1, id.size() - 2);
    return "{\"src_uuid\":\"" + id + "\"";
}

} // namespace skyloom::capture
