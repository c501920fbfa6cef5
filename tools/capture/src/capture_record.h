// One line of a capture file: {"receivedUs": <wall clock, microseconds>, "message": "<text>"}.
// The message is kept as a JSON string, so its exact bytes (white space, member order) come
// back on replay. A message that is not UTF-8 cannot be a JSON string as it is: its line holds
// the text with U+FFFD for each bad byte, for people, and "messageBase64" with its exact bytes,
// which replay sends. skyloom-publish reads these lines (message_source.h). Pure functions; any
// thread.
#pragma once

#include <cstdint>
#include <string>

namespace skyloom::capture {

std::string captureLine(int64_t receivedUs, const std::string& message);

/** The subscription prefix of one camera, as the plugin's agent subscribes. */
std::string cameraPrefix(const std::string& cameraId);

} // namespace skyloom::capture
