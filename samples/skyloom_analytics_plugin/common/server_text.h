// Texts from the AI engine on their way to the server and to the log. The server keeps texts as
// C strings and shows them to operators: a NUL would cut a plate short, and control or
// bidirectional formatting characters could rewrite what a viewer sees, and a line or paragraph
// separator breaks a line where the viewer expects none. In the log, such characters (and
// invalid UTF-8) could forge lines or hide them. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

/** Whether textForServer() would change the text. */
[[nodiscard]] bool needsCleaning(std::string_view text);

/**
 * The text with every C0 and C1 control character (NUL included), DEL, the line and paragraph
 * separators (U+2028, U+2029) and every bidirectional embedding, override and isolate character
 * (U+202A-U+202E, U+2066-U+2069) replaced by one U+FFFD each. The text is valid UTF-8, as the
 * JSON parser guarantees.
 */
[[nodiscard]] std::string textForServer(std::string_view text);

/**
 * The text as a log line may hold it: control characters, DEL, C1 characters, U+2028, U+2029
 * and the bidirectional formatting characters as a backslash, "u" and four hex digits, bytes
 * that are not UTF-8 as a backslash, "x" and two hex digits. With `keepLineFeeds` line feeds
 * stay (a multi-line dump). A text longer than `maxBytes` is cut there and says how long it was.
 */
[[nodiscard]] std::string textForLog(
    std::string_view text, size_t maxBytes = 1024, bool keepLineFeeds = false);

} // namespace nx::vms_server_plugins::analytics::sample
