#include "envelope.h"

#include <cctype>
#include <cstring>
#include <vector>

#include <nlohmann/json.hpp>

#include "ingress/service_socket.h"

namespace skyloom::publish {

namespace {

// Member order matters here, so the order-keeping flavour of the JSON value is used throughout.
using Json = nlohmann::ordered_json;

constexpr size_t kHeadLength = 13; //< strlen(kEnvelopeHead)

bool isJsonSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

size_t skipSpace(const std::string& text, size_t pos)
{
    while (pos < text.size() && isJsonSpace(text[pos]))
        ++pos;
    return pos;
}

/** `pos` is at the opening quote; returns the position after the closing quote. */
size_t skipString(const std::string& text, size_t pos)
{
    ++pos;
    while (pos < text.size() && text[pos] != '"')
        pos += (text[pos] == '\\') ? 2 : 1;
    return pos + 1;
}

/** `pos` is at the first character of a value; returns the position after it. */
size_t skipValue(const std::string& text, size_t pos)
{
    if (pos >= text.size())
        return pos;
    if (text[pos] == '"')
        return skipString(text, pos);
    if (text[pos] == '{' || text[pos] == '[')
    {
        int depth = 0;
        while (pos < text.size())
        {
            const char c = text[pos];
            if (c == '"')
            {
                pos = skipString(text, pos);
                continue;
            }
            if (c == '{' || c == '[')
                ++depth;
            else if (c == '}' || c == ']')
                --depth;
            ++pos;
            if (depth == 0)
                return pos;
        }
        return pos;
    }
    while (pos < text.size() && !isJsonSpace(text[pos])
        && text[pos] != ',' && text[pos] != '}' && text[pos] != ']')
    {
        ++pos;
    }
    return pos;
}

struct Member
{
    size_t start = 0; //< at the key's opening quote
    size_t end = 0; //< after the value
    bool isSourceId = false;
};

struct ObjectLayout
{
    size_t bodyStart = 0; //< right after the opening brace
    std::vector<Member> members;
};

/** Byte layout of a text already known to hold one valid JSON object. */
ObjectLayout scanObject(const std::string& text)
{
    ObjectLayout layout;
    size_t pos = skipSpace(text, 0) + 1;
    layout.bodyStart = pos;
    for (;;)
    {
        pos = skipSpace(text, pos);
        if (pos >= text.size() || text[pos] != '"')
            return layout; //< the closing brace of an empty object
        Member member;
        member.start = pos;
        const size_t keyEnd = skipString(text, pos);
        member.isSourceId =
            Json::parse(text.substr(pos, keyEnd - pos)).get<std::string>() == "src_uuid";
        pos = skipSpace(text, skipSpace(text, keyEnd) + 1); //< past the colon
        member.end = skipValue(text, pos);
        layout.members.push_back(member);
        pos = skipSpace(text, member.end);
        if (pos >= text.size() || text[pos] != ',')
            return layout;
        ++pos;
    }
}

/** "an array", "a string", "null"... */
std::string typeName(const Json& value)
{
    if (value.is_null())
        return "null";
    const std::string name = value.type_name();
    return (name[0] == 'a' || name[0] == 'o' ? "an " : "a ") + name;
}

/** The parser's message without its "[json.exception...] " tag. */
std::string parseErrorText(const std::exception& e)
{
    std::string text = e.what();
    if (!text.empty() && text[0] == '[')
    {
        const size_t end = text.find("] ");
        if (end != std::string::npos)
            text.erase(0, end + 2);
    }
    return text;
}

/** Why an object whose first member is a string "src_uuid" does not begin with the head. */
std::string headProblem(const std::string& text)
{
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    {
        return "a byte-order mark before the opening brace: the text must begin with "
            "{\"src_uuid\":\"";
    }
    if (isJsonSpace(text[0]))
        return "white space before the opening brace: the text must begin with {\"src_uuid\":\"";
    if (isJsonSpace(text[1]))
    {
        return "white space after the opening brace: the text must begin with {\"src_uuid\":\" "
            "(no blanks, no line breaks; --compact or --camera rewrites it)";
    }
    if (text.compare(1, 10, "\"src_uuid\"") != 0)
        return "the key \"src_uuid\" is written with escape sequences; it must appear literally";
    return "white space around the colon after \"src_uuid\": the text must begin with "
        "{\"src_uuid\":\" (--compact or --camera rewrites it)";
}

/**
 * The id as the text spells it after the head, up to the next quote: the bytes the relay and
 * the subscription compare. Null when it holds an escape sequence or never ends.
 */
std::optional<std::string> literalId(const std::string& text)
{
    const size_t end = text.find('"', kHeadLength);
    if (end == std::string::npos)
        return std::nullopt;
    std::string id = text.substr(kHeadLength, end - kHeadLength);
    if (id.find('\\') != std::string::npos)
        return std::nullopt;
    return id;
}

std::string idProblem(const std::optional<std::string>& literal)
{
    if (!literal)
    {
        return "the \"src_uuid\" value is written with escape sequences; the camera id must "
            "appear literally";
    }
    const std::string& id = *literal;
    if (id.empty())
        return "\"src_uuid\" is empty: it must hold the camera's device id";
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
    {
        return "\"src_uuid\" holds the id in braces; the plugin matches the device id without "
            "them (\"" + id.substr(1, id.size() - 2) + "\")";
    }
    return {};
}

std::string bodyProblem(const Json& message)
{
    const bool hasEvent = message.contains("event");
    const bool hasMeta = message.contains("meta");
    if (!hasEvent && !hasMeta)
        return "neither \"event\" nor \"meta\": the plugin would produce nothing from it";
    if (hasEvent && !message["event"].is_object())
        return "\"event\" is " + typeName(message["event"]) + ", not an object";
    if (hasMeta && !message["meta"].is_object())
        return "\"meta\" is " + typeName(message["meta"]) + ", not an object";
    return {};
}

bool hasUpperCase(const std::string& text)
{
    for (const char c: text)
    {
        if (std::isupper(static_cast<unsigned char>(c)))
            return true;
    }
    return false;
}

} // namespace

std::string sizeProblem(const std::string& text)
{
    using nx::vms_server_plugins::analytics::sample::ServiceSocket;
    if (static_cast<int64_t>(text.size()) <= ServiceSocket::kMaxMessageSize)
        return {};
    return "too large: " + std::to_string(text.size()) + " bytes, the plugin takes at most "
        + std::to_string(ServiceSocket::kMaxMessageSize) + " and closes the connection that "
        "sends more";
}

EnvelopeCheck checkEnvelope(const std::string& text)
{
    EnvelopeCheck result;
    Json message;
    try
    {
        message = Json::parse(text);
    }
    catch (const std::exception& e)
    {
        result.problem = "not valid JSON: " + parseErrorText(e);
        return result;
    }
    if (!message.is_object())
    {
        result.problem = "not a JSON object but " + typeName(message);
        return result;
    }
    if (message.empty())
    {
        result.problem = "an empty object: \"src_uuid\" must be its first member";
        return result;
    }
    if (message.begin().key() != "src_uuid")
    {
        result.problem = message.contains("src_uuid")
            ? "\"src_uuid\" is not the first member (\"" + message.begin().key() + "\" is)"
            : std::string("no \"src_uuid\" member");
        return result;
    }
    const Json& id = message.begin().value();
    if (!id.is_string())
    {
        result.problem = "\"src_uuid\" is " + typeName(id) + ", not a string";
        return result;
    }
    result.sourceId = id.get<std::string>();
    if (text.compare(0, kHeadLength, kEnvelopeHead) != 0)
    {
        result.problem = headProblem(text);
        return result;
    }
    const std::optional<std::string> literal = literalId(text);
    if (std::string problem = idProblem(literal); !problem.empty())
    {
        result.problem = std::move(problem);
        return result;
    }
    result.problem = bodyProblem(message);
    if (*literal != result.sourceId)
    {
        // Delivered by its first bytes, but the camera's agent reads the parsed value.
        result.warning = "\"src_uuid\" appears again later with another value (\""
            + result.sourceId + "\"): the camera \"" + *literal + "\" gets the message and "
            "drops it as meant for another camera";
        result.sourceId = *literal;
        return result;
    }

    if (result.deliverable() && hasUpperCase(result.sourceId))
    {
        result.warning = "\"src_uuid\" has upper-case letters: it must match the camera's device "
            "id letter for letter (server ids are normally lower case)";
    }
    return result;
}

std::optional<std::string> deliveredCameraId(const std::string& text)
{
    if (text.compare(0, kHeadLength, kEnvelopeHead) != 0)
        return std::nullopt;
    std::optional<std::string> literal = literalId(text);
    if (!literal || !idProblem(literal).empty())
        return std::nullopt;
    return literal;
}

std::string prefixIdFromCameraId(const std::string& cameraId)
{
    if (cameraId.size() >= 2 && cameraId.front() == '{' && cameraId.back() == '}')
        return cameraId.substr(1, cameraId.size() - 2);
    return cameraId;
}

std::string cameraIdProblem(const std::string& cameraId)
{
    const std::string id = prefixIdFromCameraId(cameraId);
    if (id.empty())
        return "the camera id is empty";
    for (const char c: id)
    {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return "the camera id holds a quote, a backslash or a control character";
    }
    return {};
}

std::optional<std::string> rewriteSourceId(const std::string& text, const std::string& cameraId)
{
    try
    {
        if (!Json::parse(text).is_object())
            return std::nullopt;
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }

    const ObjectLayout layout = scanObject(text);
    std::string result = kEnvelopeHead + prefixIdFromCameraId(cameraId) + "\"";
    size_t tailStart = layout.bodyStart;
    for (size_t i = 0; i < layout.members.size(); ++i)
    {
        const Member& member = layout.members[i];
        if (!member.isSourceId)
        {
            // The bytes before a member hold its comma, except for the very first member.
            if (i == 0)
                result += "," + text.substr(layout.bodyStart, member.start - layout.bodyStart);
            else
                result += text.substr(layout.members[i - 1].end,
                    member.start - layout.members[i - 1].end);
            result += text.substr(member.start, member.end - member.start);
        }
        tailStart = member.end;
    }
    result += text.substr(tailStart);
    return result;
}

std::optional<std::string> withEngineTime(const std::string& text, int64_t engineTimeUs)
{
    try
    {
        Json message = Json::parse(text);
        if (!message.is_object())
            return std::nullopt;
        const auto event = message.find("event");
        if (event != message.end() && event->is_object())
            (*event)["vid_ts_us"] = engineTimeUs;
        else
            message["timestamp"] = engineTimeUs;
        return message.dump();
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

std::optional<std::string> compactMessage(const std::string& text)
{
    try
    {
        return Json::parse(text).dump();
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

} // namespace skyloom::publish
