#include "server_text.h"

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
        if (second == 0x80 && third >= 0xAA && third <= 0xAE)
            return 3; //< U+202A-U+202E.
        if (second == 0x81 && third >= 0xA6 && third <= 0xA9)
            return 3; //< U+2066-U+2069.
    }
    return 0;
}

} // namespace

bool needsCleaning(std::string_view text)
{
    for (size_t i = 0; i < text.size(); ++i)
    {
        // Only these bytes can start an unwanted character; the common case is one comparison
        // chain per byte.
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte < 0x20 || byte == 0x7F || byte == 0xC2 || byte == 0xE2)
            && unwantedLength(text, i) != 0)
        {
            return true;
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

} // namespace nx::vms_server_plugins::analytics::sample
