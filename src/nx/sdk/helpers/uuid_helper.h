// Random ids and the text form of Uuid: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with all format
// options. randomUuid() draws from the process-wide rand() (never seeded here) and so shares its
// state with every other user of rand(); the other functions are pure.
#pragma once

#include <ostream>
#include <string>

#include <nx/sdk/uuid.h>

namespace nx::sdk {

namespace UuidHelper {

enum FormatOptions: int
{
    none = 0,
    uppercase = 1,
    hyphens = 2,
    braces = 4,
    all = 255,
};

/** Version 4, variant 10 id from eight rand() words. */
Uuid randomUuid();

std::string toStdString(const Uuid& uuid, int options = all);

/**
 * Parses 32 hexadecimal digits (either case); blanks, tabs, line feeds, carriage returns, "-",
 * "{" and "}" are ignored anywhere. Anything else, or another number of digits, gives the null
 * id.
 */
Uuid fromStdString(const std::string& text);

} // namespace UuidHelper

/** Writes UuidHelper::toStdString(uuid, UuidHelper::all). */
std::ostream& operator<<(std::ostream& os, const Uuid& uuid);

} // namespace nx::sdk
