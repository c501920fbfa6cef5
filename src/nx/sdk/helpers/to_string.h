// Text forms in which the SDK layer logs error codes, texts, string maps and device information.
// Pure functions of their arguments; any thread. Keys and texts are written as quoted, escaped
// literals; `overallIndent` blanks precede every line, nested lines get 4 more per level.
#pragma once

#include <string>

#include <nx/sdk/i_device_info.h>
#include <nx/sdk/i_string.h>
#include <nx/sdk/i_string_map.h>
#include <nx/sdk/result.h>

namespace nx::sdk {

/** The enumerator's name, or "<unsupported Error>". */
std::string toString(ErrorCode errorCode);

/** The text; empty for null. */
std::string toString(const IString* string);

/** One line per entry: `[key]: value` followed by a line feed; empty for a null or empty map. */
std::string toString(const IStringMap* map, int overallIndent = 0);

/** JSON array of {"name", "value"} objects; a null map is reported and gives "[]\n". */
std::string toJsonString(const IStringMap* map, int overallIndent = 0);

/** JSON object of all fields; "null" for a null pointer. */
std::string toString(const IDeviceInfo* deviceInfo, int overallIndent = 0);

} // namespace nx::sdk
