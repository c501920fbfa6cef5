// UuidHelper::fromStdString on arbitrary text. A text is an id when it has at least 32
// characters and, without the separators (blank, tab, CR, LF, '-', '{', '}'), exactly 32
// hexadecimal digits; anything else gives the null id. Every id that parses prints, in every
// format, to a text that parses back to the same id.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>

#include <nx/sdk/helpers/uuid_helper.h>

#include "fuzz_support.h"

namespace {

using nx::sdk::Uuid;
namespace UuidHelper = nx::sdk::UuidHelper;

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '-' || c == '{' || c == '}';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

/** The id that the text stands for, worked out digit by digit; null when it is none. */
Uuid expectedUuid(const std::string& text)
{
    if (text.size() < 32)
        return Uuid();
    Uuid uuid;
    int digitCount = 0;
    for (const char c: text)
    {
        if (isSeparator(c))
            continue;
        const int value = hexValue(c);
        if (value < 0 || digitCount == 32)
            return Uuid();
        uuid[digitCount / 2] = static_cast<uint8_t>(uuid[digitCount / 2] * 16 + value);
        ++digitCount;
    }
    return digitCount == 32 ? uuid : Uuid();
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
    const Uuid uuid = UuidHelper::fromStdString(text);
    FUZZ_CHECK(uuid == expectedUuid(text));
    if (uuid.isNull())
        return 0;

    using Options = UuidHelper::FormatOptions;
    for (int options = 0; options <= (Options::uppercase | Options::hyphens | Options::braces);
        ++options)
    {
        const std::string printed = UuidHelper::toStdString(uuid, options);
        FUZZ_CHECK(UuidHelper::fromStdString(printed) == uuid);
    }
    FUZZ_CHECK(UuidHelper::toStdString(uuid, Options::all).size() == 38);
    return 0;
}
