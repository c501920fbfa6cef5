#include "envelope_form.h"

#include <algorithm>
#include <cstddef>

#include <nlohmann/json.hpp>

#include "common/server_text.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr int kMaxDepth = 64;
/** A camera id is 36 bytes; a longer "src_uuid" is kept only this far, to be shown. */
constexpr size_t kMaxIdCopied = 256;
constexpr size_t kMaxIdShown = 128;
constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kKey = "src_uuid";

constexpr const char* kCompact =
    "; write compact JSON, e.g. json.dumps(message, separators=(\",\", \":\"))";
constexpr const char* kBeginWith = "begin every message with {\"src_uuid\":\"<camera id>\"";

/**
 * The top level of a message as the JSON parser reads it: its type, its first key and its first
 * "src_uuid". Gives up beyond kMaxDepth levels; the parser itself keeps its nesting in a list,
 * not on the stack.
 */
class TopLevel
{
public:
    using Json = nlohmann::json;

    const char* type = nullptr; //< Of the whole message; null until its first token.
    bool isObject = false;
    bool firstKeyIsSrcUuid = false;
    bool hasSrcUuid = false;
    const char* srcUuidType = nullptr; //< Of the first top-level "src_uuid"'s value.
    bool srcUuidIsString = false;
    std::string srcUuid; //< Its first kMaxIdCopied bytes if it is a string.
    size_t srcUuidSize = 0;
    bool tooDeep = false;
    bool syntaxError = false;
    size_t errorPosition = 0;

    bool null() { return value("null"); }
    bool boolean(bool) { return value("a boolean"); }
    bool number_integer(Json::number_integer_t) { return value("a number"); }
    bool number_unsigned(Json::number_unsigned_t) { return value("a number"); }
    bool number_float(Json::number_float_t, const Json::string_t&) { return value("a number"); }
    bool binary(Json::binary_t&) { return value("binary"); }

    bool string(Json::string_t& text)
    {
        if (m_depth == 1 && m_srcUuidValueNext)
        {
            srcUuid.assign(text, 0, kMaxIdCopied);
            srcUuidSize = text.size();
            srcUuidIsString = true;
        }
        return value("a string");
    }

    bool start_object(std::size_t)
    {
        if (m_depth == 0)
            isObject = true;
        return open("an object");
    }
    bool start_array(std::size_t) { return open("an array"); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    bool key(Json::string_t& key)
    {
        if (m_depth != 1)
            return true;
        if (!m_keySeen)
            firstKeyIsSrcUuid = key == kKey;
        m_keySeen = true;
        if (!hasSrcUuid && key == kKey)
        {
            hasSrcUuid = true;
            m_srcUuidValueNext = true;
        }
        return true;
    }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception&)
    {
        syntaxError = true;
        errorPosition = position;
        return false;
    }

private:
    bool value(const char* valueType)
    {
        if (m_depth == 0)
            type = valueType;
        if (m_depth == 1 && m_srcUuidValueNext)
        {
            srcUuidType = valueType;
            m_srcUuidValueNext = false;
        }
        return true;
    }

    bool open(const char* valueType)
    {
        value(valueType);
        if (++m_depth > kMaxDepth)
        {
            tooDeep = true;
            return false;
        }
        return true;
    }

    bool close()
    {
        --m_depth;
        return true;
    }

    int m_depth = 0;
    bool m_keySeen = false;
    bool m_srcUuidValueNext = false;
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string spaceName(char c)
{
    if (c == ' ')
        return "a space";
    if (c == '\t')
        return "a tab";
    return "a line break";
}

/** The raw text of the JSON string that begins with the quote at `at`, without its quotes. */
std::string_view rawString(std::string_view message, size_t at)
{
    size_t end = at + 1;
    while (end < message.size() && message[end] != '"')
        end += message[end] == '\\' ? 2 : 1;
    return message.substr(at + 1, end - (at + 1));
}

bool equalIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

/** The id escaped for a log line, at most kMaxIdShown bytes with the "..." of a cut. */
std::string shown(std::string_view id, size_t fullSize)
{
    if (fullSize <= kMaxIdShown)
    {
        std::string escaped = textForLog(id, kMaxIdShown);
        if (escaped.size() <= kMaxIdShown)
            return escaped;
    }
    // Escapes grow the text up to six times: cut the id shorter, at a character boundary.
    for (size_t length = std::min(id.size(), kMaxIdShown); length > 0; --length)
    {
        if (length < id.size() && (static_cast<unsigned char>(id[length]) & 0xC0) == 0x80)
            continue; //< Inside a character.
        std::string escaped = textForLog(id.substr(0, length), length);
        if (escaped.size() + 3 <= kMaxIdShown)
            return escaped + "...";
    }
    return "...";
}

/** The hint for a message that parsed as an object with a string "src_uuid". */
std::string formHint(std::string_view message, const TopLevel& top,
    const std::vector<std::string>& knownCameraIds)
{
    // The parser accepted the message, so the raw text has the form of JSON from here on: an
    // object, only white space before it, and a quoted first key.
    size_t at = message.substr(0, kBom.size()) == kBom ? kBom.size() : 0;
    if (isSpace(message[at]))
        return "has " + spaceName(message[at]) + " before the \"{\"" + kCompact;
    ++at;
    if (isSpace(message[at]))
        return "has " + spaceName(message[at]) + " after the \"{\"" + kCompact;
    const std::string_view key = rawString(message, at);
    if (key != kKey)
    {
        return top.firstKeyIsSrcUuid
            ? "writes the key \"src_uuid\" with escape sequences; write it plainly"
            : "\"src_uuid\" is not the first member; write it first (no sorted keys)";
    }
    at += key.size() + 2;
    if (isSpace(message[at]))
        return "has " + spaceName(message[at]) + " before the colon" + kCompact;
    ++at;
    if (isSpace(message[at]))
        return "has " + spaceName(message[at]) + " after the colon" + kCompact;
    if (rawString(message, at).find('\\') != std::string_view::npos)
    {
        return "writes the camera id with escape sequences (such as \\u002d); write its "
            "characters as they are";
    }

    const std::string_view id = top.srcUuid;
    const bool complete = top.srcUuidSize == id.size();
    if (complete && id.size() >= 2 && id.front() == '{' && id.back() == '}')
        return "the camera id is written in braces; write it without";
    for (const std::string& known: knownCameraIds)
    {
        if (complete && id == known)
        {
            return "is in the right form for a camera of this server, which was not receiving "
                "when it came (its agent was starting or stopping)";
        }
    }
    for (const std::string& known: knownCameraIds)
    {
        if (complete && equalIgnoringCase(id, known))
        {
            return "the camera id differs only in letter case from camera "
                + shown(known, known.size()) + "; write it exactly as the server's id";
        }
    }
    return "no camera of this server with the plugin enabled has this id";
}

EnvelopeForm diagnose(std::string_view message, const std::vector<std::string>& knownCameraIds)
{
    EnvelopeForm result;
    if (message.empty())
    {
        result.hint = std::string("is empty; ") + kBeginWith;
        return result;
    }

    TopLevel top;
    nlohmann::json::sax_parse(message.begin(), message.end(), &top);
    if (top.srcUuidIsString)
        result.cameraId = shown(top.srcUuid, top.srcUuidSize);

    if (message.substr(0, kBom.size()) == kBom)
        result.hint = "starts with a byte-order mark; write plain UTF-8 without one";
    else if (top.tooDeep)
        result.hint = "nests deeper than 64 levels; the plugin reads no deeper";
    else if (top.syntaxError)
    {
        result.hint = "is not valid JSON (error near byte " + std::to_string(top.errorPosition)
            + "); " + kBeginWith;
    }
    else if (!top.isObject)
    {
        result.hint = std::string("is ") + (top.type ? top.type : "nothing")
            + ", not a JSON object; " + kBeginWith;
    }
    else if (!top.hasSrcUuid)
        result.hint = std::string("has no top-level \"src_uuid\"; ") + kBeginWith;
    else if (!top.srcUuidIsString)
    {
        result.hint = std::string("its \"src_uuid\" is ") + top.srcUuidType
            + ", not a string; write the camera id as a JSON string";
    }
    else
        result.hint = formHint(message, top, knownCameraIds);
    return result;
}

} // namespace

EnvelopeForm diagnoseEnvelope(
    std::string_view message, const std::vector<std::string>& knownCameraIds) noexcept
{
    try
    {
        return diagnose(message, knownCameraIds);
    }
    catch (...)
    {
        EnvelopeForm result;
        try
        {
            result.hint = std::string("could not be examined; ") + kBeginWith;
        }
        catch (...)
        {
        }
        return result;
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
