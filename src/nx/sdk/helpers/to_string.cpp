#include "to_string.h"

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>

namespace nx::sdk {

using nx::kit::utils::quotedLiteral;

namespace {

/** Indent of a line at the given nesting level under the overall indent. */
std::string indent(int overallIndent, int level)
{
    return std::string(static_cast<size_t>(overallIndent > 0 ? overallIndent : 0), ' ')
        + std::string(static_cast<size_t>(4 * level), ' ');
}

} // namespace

std::string toString(ErrorCode errorCode)
{
    switch (errorCode)
    {
        case ErrorCode::noError: return "noError";
        case ErrorCode::otherError: return "otherError";
        case ErrorCode::networkError: return "networkError";
        case ErrorCode::unauthorized: return "unauthorized";
        case ErrorCode::internalError: return "internalError";
        case ErrorCode::invalidParams: return "invalidParams";
        case ErrorCode::notImplemented: return "notImplemented";
    }
    return "<unsupported Error>";
}

std::string toString(const IString* string)
{
    if (!string)
        return "";
    const char* const text = string->str();
    return text ? text : "";
}

std::string toString(const IStringMap* map, int overallIndent)
{
    if (!map)
        return "";
    std::string result;
    for (int32_t i = 0; i < map->count(); ++i)
    {
        result += indent(overallIndent, 0)
            + "[" + quotedLiteral(map->key(i)) + "]: " + quotedLiteral(map->value(i)) + "\n";
    }
    return result;
}

std::string toJsonString(const IStringMap* map, int overallIndent)
{
    if (!NX_KIT_ASSERT(map, ""))
        return "[]\n";

    std::string result = indent(overallIndent, 0) + "[\n";
    const int32_t count = map->count();
    for (int32_t i = 0; i < count; ++i)
    {
        result += indent(overallIndent, 1) + "{ "
            + "\"name\": " + quotedLiteral(map->key(i)) + ", "
            + "\"value\": " + quotedLiteral(map->value(i)) + " }"
            + (i < count - 1 ? "," : "") + "\n";
    }
    return result + indent(overallIndent, 0) + "]";
}

std::string toString(const IDeviceInfo* deviceInfo, int overallIndent)
{
    if (!deviceInfo)
        return indent(overallIndent, 0) + "null";

    const std::string fieldIndent = indent(overallIndent, 1);
    const auto field =
        [&fieldIndent](const char* key, const std::string& value, bool isLast = false)
        {
            return fieldIndent + key + value + (isLast ? "\n" : ",\n");
        };

    return indent(overallIndent, 0) + "{\n"
        + field("\"id\": ", quotedLiteral(deviceInfo->id()))
        + field("\"vendor\": ", quotedLiteral(deviceInfo->vendor()))
        + field("\"model\": ", quotedLiteral(deviceInfo->model()))
        + field("\"firmware\": ", quotedLiteral(deviceInfo->firmware()))
        + field("\"name\": ", quotedLiteral(deviceInfo->name()))
        + field("\"url\": ", quotedLiteral(deviceInfo->url()))
        + field("\"login\": ", quotedLiteral(deviceInfo->login()))
        + field("\"password\": ", quotedLiteral(deviceInfo->password()))
        + field("\"channelNumber\": ", std::to_string(deviceInfo->channelNumber()))
        + field("\"sharedId\": ", quotedLiteral(deviceInfo->sharedId()))
        + field("\"logicalId\": ", quotedLiteral(deviceInfo->logicalId()), /*isLast*/ true)
        + indent(overallIndent, 0) + "}";
}

} // namespace nx::sdk
