#include "option_values.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace skyloom::tools {

bool parseWhole(const std::string& text, int64_t min, int64_t max, int64_t* outValue)
{
    if (text.empty() || text.find_first_not_of("0123456789-+") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *outValue = value;
    return true;
}

bool parseNumber(const std::string& text, double min, double max, double* outValue)
{
    if (text.empty() || text.find_first_of(" \t") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < min || value > max)
        return false;
    *outValue = value;
    return true;
}

bool parsePositiveNumber(const std::string& text, double* outValue)
{
    double value = 0;
    if (!parseNumber(text, 0.0, std::numeric_limits<double>::max(), &value) || value <= 0)
        return false;
    *outValue = value;
    return true;
}

} // namespace skyloom::tools
