// Text helpers of the toolkit: quoted literals for logs and JSON, printf-style formatting and
// the strict text-to-int conversion used for settings. Pure functions; any thread.
#pragma once

#include <cstdio>
#include <string>

namespace nx::kit::utils {

/** "null" for a null pointer; otherwise the escaped literal (see the string overload). */
std::string quotedLiteral(const char* text);

/**
 * The text in double quotes with \0-as-"\000", \t \n \r \" \\ escaped, printable ASCII as is,
 * every other byte as "\xHH" followed by "" so that a following hex digit is not absorbed.
 */
std::string quotedLiteral(const std::string& text);

/** printf-style formatting of one value; returns the format unchanged on an encoding error. */
template<typename Value>
std::string formatText(const char* format, Value value)
{
    const int length = std::snprintf(nullptr, 0, format, value);
    if (length < 0)
        return format;
    std::string result(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&result[0], result.size(), format, value);
    result.resize(static_cast<size_t>(length));
    return result;
}

/**
 * strtol with base 0 (decimal, 0x hex, 0 octal; leading blanks and a sign allowed). Fails on an
 * empty text, leftover characters (trailing blanks included), overflow or a value outside int32;
 * on failure *outValue is left untouched.
 */
bool parseInt(const std::string& text, int* outValue);

} // namespace nx::kit::utils
