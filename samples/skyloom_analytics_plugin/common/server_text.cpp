#include "server_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; //< U+FFFD in UTF-8.

/** Length in bytes of the unwanted character at `i`, or 0 if the character there is fine. */
size_t unwantedLength(std::string_view text, size_t i)
{
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char first = byte(i);
    if (first < 0x20 || first == 0x7F)
        return 1;
    if (first == 0xC2 && i + 1 < text.size() && byte(i + 1) >= 0x80 && byte(i + 1) <= 0x9F)
        return 2; //< U+0080-U+009F.
    if (first == 0xE2 && i + 2 < text.size())
    {
        const unsigned char second = byte(i + 1);
        const unsigned char third = byte(i + 2);
        if (second == 0x80 && third >= 0xA8 && third <= 0xAE)
            return 3; //< U+2028-U+202E: line and paragraph separators, bidi embeddings.
        if (second == 0x81 && third >= 0xA6 && third <= 0xA9)
            return 3; //< U+2066-U+2069.
    }
    return 0;
}

constexpr size_t kWordBytes = sizeof(uint64_t);

/**
 * Whether the eight bytes at `bytes` are all printable ASCII (0x20 to 0x7E), none of which can
 * start an unwanted character; checked at once, as every text is asked about on its way to the
 * server and most are plain. A byte below 0x20 wraps to one with its high bit set when 0x20 is
 * subtracted, DEL (0x7F) gets it when 1 is added, and every other byte above has it already; the
 * lowest such byte gets it whatever the bytes above it do, so no such byte goes unseen.
 */
bool isPrintableAscii(const char* bytes)
{
    uint64_t word = 0;
    std::memcpy(&word, bytes, kWordBytes);
    constexpr uint64_t kEachByte = 0x0101010101010101ULL;
    constexpr uint64_t kHighBits = 0x8080808080808080ULL;
    return ((word | (word - 0x20 * kEachByte) | (word + kEachByte)) & kHighBits) == 0;
}

} // namespace

bool needsCleaning(std::string_view text)
{
    for (size_t start = 0; start < text.size(); start += kWordBytes)
    {
        const size_t end = std::min(start + kWordBytes, text.size());
        if (end - start == kWordBytes && isPrintableAscii(text.data() + start))
            continue;
        for (size_t i = start; i < end; ++i)
        {
            // Only these bytes can start an unwanted character.
            const auto byte = static_cast<unsigned char>(text[i]);
            if ((byte < 0x20 || byte == 0x7F || byte == 0xC2 || byte == 0xE2)
                && unwantedLength(text, i) != 0)
            {
                return true;
            }
        }
    }
    return false;
}

std::string textForServer(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    for (size_t i = 0; i < text.size();)
    {
        if (const size_t length = unwantedLength(text, i))
        {
            result.append(kReplacement);
            i += length;
        }
        else
        {
            result.push_back(text[i]);
            ++i;
        }
    }
    return result;
}

namespace {

/** Length of the valid UTF-8 sequence at `i` and its code point, or 0 if none starts there. */
size_t decodeUtf8(std::string_view text, size_t i, char32_t* codePoint)
{
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char first = byte(i);
    if (first < 0x80)
    {
        *codePoint = first;
        return 1;
    }
    size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (first >= 0xC2 && first <= 0xDF)
    {
        length = 2;
        value = first & 0x1F;
        minimum = 0x80;
    }
    else if (first >= 0xE0 && first <= 0xEF)
    {
        length = 3;
        value = first & 0x0F;
        minimum = 0x800;
    }
    else if (first >= 0xF0 && first <= 0xF4)
    {
        length = 4;
        value = first & 0x07;
        minimum = 0x10000;
    }
    else
    {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k)
    {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *codePoint = value;
    return length;
}

bool escapedInLog(char32_t c, bool keepLineFeeds)
{
    if (c == '\n')
        return !keepLineFeeds;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029
        || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendEscape(std::string* out, const char* format, unsigned value)
{
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), format, value);
    out->append(buffer);
}

} // namespace

std::string textForLog(std::string_view text, size_t maxBytes, bool keepLineFeeds)
{
    const std::string_view shown = text.substr(0, maxBytes);
    std::string result;
    result.reserve(shown.size());
    for (size_t i = 0; i < shown.size();)
    {
        char32_t c = 0;
        const size_t length = decodeUtf8(shown, i, &c);
        if (length == 0)
        {
            // Not UTF-8 here (or a character cut by the length limit).
            appendEscape(&result, "\\x%02X", static_cast<unsigned char>(shown[i]));
            ++i;
            continue;
        }
        if (escapedInLog(c, keepLineFeeds))
            appendEscape(&result, "\\u%04X", static_cast<unsigned>(c));
        else
            result.append(shown.substr(i, length));
        i += length;
    }
    if (text.size() > maxBytes)
        result += "... (" + std::to_string(text.size()) + " bytes)";
    return result;
}

} // namespace nx::vms_server_plugins::analytics::sample
