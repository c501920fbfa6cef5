#include <nx/kit/utils.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace nx::kit::utils {

namespace {

void appendEscaped(std::string* literal, unsigned char c)
{
    switch (c)
    {
        case '\0': *literal += "\\000"; return;
        case '\t': *literal += "\\t"; return;
        case '\n': *literal += "\\n"; return;
        case '\r': *literal += "\\r"; return;
        case '"': *literal += "\\\""; return;
        case '\\': *literal += "\\\\"; return;
        default: break;
    }
    if (c >= 32 && c <= 126)
    {
        *literal += static_cast<char>(c);
        return;
    }
    // The closing and reopening quotes stop a following hex digit from joining the escape.
    static constexpr char kHexDigits[] = "0123456789ABCDEF";
    *literal += "\\x";
    *literal += kHexDigits[c >> 4];
    *literal += kHexDigits[c & 0x0F];
    *literal += "\"\"";
}

} // namespace

std::string quotedLiteral(const char* text)
{
    if (!text)
        return "null";
    return quotedLiteral(std::string(text));
}

std::string quotedLiteral(const std::string& text)
{
    std::string literal = "\"";
    for (const char c: text)
        appendEscaped(&literal, static_cast<unsigned char>(c));
    literal += '"';
    return literal;
}

bool parseInt(const std::string& text, int* outValue)
{
    if (!outValue || text.empty())
        return false;

    const char* const begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(begin, &end, /*base*/ 0);
    if (errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return false;
    // Comparing with the full size also rejects text after an embedded zero byte.
    if (end != begin + text.size())
        return false;

    *outValue = static_cast<int>(value);
    return true;
}

} // namespace nx::kit::utils
