// Base64 (RFC 4648, the standard alphabet with '=' padding) for the bytes that a capture file
// keeps beside a message's text when the message is not UTF-8. Pure functions; any thread.
#pragma once

#include <optional>
#include <string>

namespace skyloom::tools {

[[nodiscard]] std::string toBase64(const std::string& bytes);

/** The bytes; null for anything but padded standard base64 (no blanks, no line breaks). */
[[nodiscard]] std::optional<std::string> fromBase64(const std::string& text);

} // namespace skyloom::tools
