// Checked reads of AI-engine message values. A value of the wrong JSON type raises the JSON
// library's own error; a number that does not fit the target type (or is not finite) raises
// std::out_of_range: converting it unchecked would be undefined behaviour. Callers catch at the
// edge of each conversion and log the error text.
#pragma once

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>


namespace nx::vms_server_plugins::analytics::sample {

/** A number (a fraction is cut toward zero) or a boolean (1/0) as a 32-bit signed integer. */
inline int readInt32(const nlohmann::json& value)
{
    if (value.is_number_float())
    {
        const double number = value.get<double>();
        // Bounds chosen so that truncation toward zero stays within int32.
        if (!(number > -2147483649.0 && number < 2147483648.0))
            throw std::out_of_range("number " + value.dump() + " does not fit a 32-bit integer");
        return static_cast<int>(number);
    }
    if (value.is_number_unsigned())
    {
        if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int>::max()))
            throw std::out_of_range("number " + value.dump() + " does not fit a 32-bit integer");
        return static_cast<int>(value.get<uint64_t>());
    }
    if (value.is_number_integer())
    {
        const int64_t number = value.get<int64_t>();
        if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
            throw std::out_of_range("number " + value.dump() + " does not fit a 32-bit integer");
        return static_cast<int>(number);
    }
    return value.get<int>(); //< Booleans convert; other types raise the library's type error.
}

/**
 * A track id: a whole number within int32 ("tid": 7 or 7.0). A fraction, a boolean or a text
 * would make two different ids name one track, so each of them throws.
 */
inline int readTrackId(const nlohmann::json& value)
{
    if (value.is_number_float() && std::trunc(value.get<double>()) != value.get<double>())
        throw std::invalid_argument("track id " + value.dump() + " is not a whole number");
    if (!value.is_number())
    {
        throw std::invalid_argument(
            std::string("track id must be a number, but is ") + value.type_name());
    }
    return readInt32(value);
}

/** A number (or boolean) as a finite 32-bit float. */
inline float readFloat(const nlohmann::json& value)
{
    if (value.is_number())
    {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
            throw std::out_of_range("number " + value.dump() + " does not fit a 32-bit float");
        return static_cast<float>(number);
    }
    return value.get<float>(); //< Booleans convert; other types raise the library's type error.
}

/** A JSON string, by reference; any other type raises the library's type error. */
inline const std::string& readText(const nlohmann::json& value)
{
    return value.get_ref<const std::string&>();
}

} // namespace nx::vms_server_plugins::analytics::sample
