// Texts from the AI engine on their way to the server. The server keeps texts as C strings and
// shows them to operators: a NUL would cut a plate short, and control or bidirectional
// formatting characters could rewrite what a viewer sees. Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

/** Whether textForServer() would change the text. */
[[nodiscard]] bool needsCleaning(std::string_view text);

/**
 * The text with every C0 and C1 control character (NUL included), DEL, and every
 * bidirectional embedding, override and isolate character (U+202A-U+202E, U+2066-U+2069)
 * replaced by one U+FFFD each. The text is valid UTF-8, as the JSON parser guarantees.
 */
[[nodiscard]] std::string textForServer(std::string_view text);

} // namespace nx::vms_server_plugins::analytics::sample
