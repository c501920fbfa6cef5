// The values of the tools' command-line options: numbers read strictly, so that "9911x",
// " 5", "0x10" or "nan" are refused with the option's own message instead of being half taken.
// Plain functions; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace skyloom::tools {

/** A whole decimal number within [min, max], nothing before or after it; false otherwise. */
[[nodiscard]] bool parseWhole(
    const std::string& text, int64_t min, int64_t max, int64_t* outValue);

/** A finite decimal number within [min, max], without blanks; false otherwise. */
[[nodiscard]] bool parseNumber(
    const std::string& text, double min, double max, double* outValue);

/** A finite decimal number above 0, without blanks; false otherwise. */
[[nodiscard]] bool parsePositiveNumber(const std::string& text, double* outValue);

} // namespace skyloom::tools
