// printf-style formatting into a std::string, for the host's tables. One line of a table is at
// most 511 bytes; a longer one is cut.
#pragma once

#include <string>

namespace skyloom::host {

std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace skyloom::host
