#include "uuid_helper.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include <nx/kit/debug.h>

namespace nx::sdk {

namespace UuidHelper {

namespace {

/** Stores the low 16 bits of the value big-endian as word `index` (bytes 2*index, 2*index+1). */
void setWord(Uuid* uuid, int index, int value)
{
    if (!NX_KIT_ASSERT(index >= 0, "") || !NX_KIT_ASSERT(index <= 7, "")
        || !NX_KIT_ASSERT(value >= 0, ""))
    {
        return;
    }
    (*uuid)[2 * index] = static_cast<uint8_t>((value >> 8) & 0xFF);
    (*uuid)[2 * index + 1] = static_cast<uint8_t>(value & 0xFF);
}

bool isSeparator(char c)
{
    switch (c)
    {
        case '\t': case '\n': case '\r': case ' ': case '-': case '{': case '}':
            return true;
        default:
            return false;
    }
}

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

/**
 * The byte written by two hexadecimal digits, or -1. Both characters must be digits: strtol
 * alone would also take a sign or leading white space ("+F", "\vF") as a byte.
 */
int parseByte(const std::string& twoChars)
{
    if (!isHexDigit(twoChars[0]) || !isHexDigit(twoChars[1]))
        return -1;
    char* end = nullptr;
    const long value = std::strtol(twoChars.c_str(), &end, 16);
    if (end != twoChars.c_str() + 2 || value < 0 || value > 255)
        return -1;
    return static_cast<int>(value);
}

} // namespace

Uuid randomUuid()
{
    Uuid uuid;
    int index = 0;
    setWord(&uuid, index++, std::rand());
    setWord(&uuid, index++, std::rand());
    setWord(&uuid, index++, std::rand());
    setWord(&uuid, index++, (std::rand() & 0x0FFF) | 0x4000); //< Version 4.
    setWord(&uuid, index++, std::rand() % 0x3FFF + 0x8000); //< Variant bits 10.
    setWord(&uuid, index++, std::rand());
    setWord(&uuid, index++, std::rand());
    setWord(&uuid, index++, std::rand());
    NX_KIT_ASSERT(index == 8, "");
    return uuid;
}

std::string toStdString(const Uuid& uuid, int options)
{
    const bool uppercase = (options & FormatOptions::uppercase) != 0;
    const bool hyphens = (options & FormatOptions::hyphens) != 0;
    const bool braces = (options & FormatOptions::braces) != 0;

    std::string result;
    if (braces)
        result += '{';
    for (int i = 0; i < Uuid::kSize; ++i)
    {
        if (hyphens && (i == 4 || i == 6 || i == 8 || i == 10))
            result += '-';
        char digits[3];
        std::snprintf(digits, sizeof(digits), uppercase ? "%02X" : "%02x", uuid[i]);
        result += digits;
    }
    if (braces)
        result += '}';
    return result;
}

Uuid fromStdString(const std::string& text)
{
    if (text.size() < 32)
        return Uuid();

    Uuid result;
    int byteCount = 0;
    std::string digits;
    for (const char c: text)
    {
        if (isSeparator(c))
            continue;
        if (byteCount == Uuid::kSize)
            return Uuid();
        digits += c;
        if (digits.size() < 2)
            continue;
        const int byte = parseByte(digits);
        if (byte < 0)
            return Uuid();
        result[byteCount++] = static_cast<uint8_t>(byte);
        digits.clear();
    }
    return byteCount == Uuid::kSize ? result : Uuid();
}

} // namespace UuidHelper

std::ostream& operator<<(std::ostream& os, const Uuid& uuid)
{
    return os << UuidHelper::toStdString(uuid, UuidHelper::FormatOptions::all);
}

} // namespace nx::sdk
