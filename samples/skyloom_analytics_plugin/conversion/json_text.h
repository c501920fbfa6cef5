// A parsed message value written out as JSON text the way the plugin has always written it:
// nlohmann::json's dump, members sorted by name, a repeated member once (the last), numbers in
// its shortest form. The debug dump ("enableDebugDump") and the values quoted in failure texts
// use it; neither is on the path of a message that converts.
//
// Threads: pure function; any thread.
#pragma once

#include <string>

#include "json_values.h"

namespace nx::vms_server_plugins::analytics::sample {

/**
 * `value` as text: `indent` < 0 on one line, else pretty-printed with that many spaces per
 * level; `ensureAscii` escapes every non-ASCII character. Throws only std::bad_alloc.
 */
[[nodiscard]] std::string jsonText(JsonValue value, int indent, bool ensureAscii);

} // namespace nx::vms_server_plugins::analytics::sample
