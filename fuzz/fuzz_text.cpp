// The toolkit's text helpers on arbitrary bytes.
// quotedLiteral: the literal is printable ASCII, starts and ends with a double quote, and reads
// back to exactly the bytes quoted (zero bytes included); the pointer form stops at the first
// zero byte. parseInt: a failure leaves the target untouched; a success means the whole text is
// one number in the int32 range.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include <nx/kit/utils.h>

#include "fuzz_support.h"

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/** The bytes that a literal of quotedLiteral() stands for; nothing if it is not one. */
std::optional<std::string> unquote(const std::string& literal)
{
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"')
        return std::nullopt;
    std::string text;
    const size_t end = literal.size() - 1;
    size_t i = 1;
    while (i < end)
    {
        const char c = literal[i];
        if (c == '"')
            return std::nullopt; //< Quotes appear only escaped or after a \x escape.
        if (c != '\\')
        {
            text += c;
            ++i;
            continue;
        }
        if (i + 1 >= end)
            return std::nullopt;
        const char kind = literal[i + 1];
        switch (kind)
        {
            case 't': text += '\t'; i += 2; continue;
            case 'n': text += '\n'; i += 2; continue;
            case 'r': text += '\r'; i += 2; continue;
            case '"': text += '"'; i += 2; continue;
            case '\\': text += '\\'; i += 2; continue;
            case '0':
                if (literal.compare(i, 4, "\\000") != 0)
                    return std::nullopt;
                text += '\0';
                i += 4;
                continue;
            case 'x':
            {
                // "\xHH" and then the closing and reopening quotes.
                if (i + 6 > end || literal.compare(i + 4, 2, "\"\"") != 0)
                    return std::nullopt;
                const int high = hexValue(literal[i + 2]);
                const int low = hexValue(literal[i + 3]);
                if (high < 0 || low < 0)
                    return std::nullopt;
                text += static_cast<char>(high * 16 + low);
                i += 6;
                continue;
            }
            default:
                return std::nullopt;
        }
    }
    return text;
}

bool isPrintableAscii(const std::string& text)
{
    for (const char c: text)
    {
        if (c < 32 || c > 126)
            return false;
    }
    return true;
}

void checkQuotedLiteral(const std::string& text)
{
    const std::string literal = nx::kit::utils::quotedLiteral(text);
    FUZZ_CHECK(literal.size() >= 2);
    FUZZ_CHECK(literal.front() == '"' && literal.back() == '"');
    FUZZ_CHECK(isPrintableAscii(literal));
    const std::optional<std::string> readBack = unquote(literal);
    FUZZ_CHECK(readBack && *readBack == text);

    FUZZ_CHECK(nx::kit::utils::quotedLiteral(text.c_str())
        == nx::kit::utils::quotedLiteral(std::string(text.c_str())));
}

void checkParseInt(const std::string& text)
{
    for (const int sentinel: {INT_MIN, -1, 0, 12345, INT_MAX})
    {
        int value = sentinel;
        const bool parsed = nx::kit::utils::parseInt(text, &value);
        if (!parsed)
        {
            FUZZ_CHECK(value == sentinel);
            continue;
        }
        // The whole text was one number: no zero byte, nothing after it.
        FUZZ_CHECK(!text.empty() && text.find('\0') == std::string::npos);
        errno = 0;
        char* end = nullptr;
        const long reference = std::strtol(text.c_str(), &end, 0);
        FUZZ_CHECK(errno == 0 && *end == '\0' && end != text.c_str());
        FUZZ_CHECK(reference == value);
    }
    FUZZ_CHECK(!nx::kit::utils::parseInt(text, nullptr));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    skyloom::fuzz::discardLogOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkQuotedLiteral(text);
    checkParseInt(text);
    return 0;
}
