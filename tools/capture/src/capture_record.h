// One line of a capture file: {"receivedUs": <wall clock, microseconds>, "message": "<text>"}.
// The message is kept as a JSON string, so its exact bytes (white space, member order) come
// back on replay; bytes that are not UTF-8 are written as U+FFFD. skyloom-publish reads these
// lines (message_source.h). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace skyloom::capture {

std::string captureLine(int64_t receivedUs, const std::string& message);

/** The subscription prefix of one camera, as the plugin's agent subscribes. */
std::string cameraPrefix(const std::string& cameraId);

} // namespace skyloom::capture
