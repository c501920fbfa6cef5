#include "engine_time.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "json_values.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

using Status = EngineTime::Status;

struct Place
{
    const char* object; //< Null for the top level.
    const char* member;
    TimeUnit unit;
    std::string_view text;
};

constexpr Place kPlaces[] = {
    {"event", "vid_ts_us", TimeUnit::microseconds, "\"event\".\"vid_ts_us\""},
    {nullptr, "timestamp", TimeUnit::microseconds, "\"timestamp\""},
    {"meta", "timestamp", TimeUnit::seconds, "\"meta\".\"timestamp\""},
};

/** The place's value, or nothing when it (or the object holding it) is absent or null. */
std::optional<JsonValue> valueAt(JsonValue message, const Place& place)
{
    JsonValue holder = message;
    if (place.object)
    {
        const std::optional<JsonValue> object = findMember(message, place.object);
        if (!object || !isObject(*object))
            return std::nullopt;
        holder = *object;
    }
    return nonNullMember(holder, place.member);
}

/** A floating-point count of `unit` as microseconds, if finite, whole and within 64 bits. */
std::optional<int64_t> fromDouble(double value, TimeUnit unit)
{
    const double us = unit == TimeUnit::seconds ? std::round(value * 1e6) : value;
    // 2^63 is exactly representable; every double below it converts without overflow.
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(us) || us >= kLimit || us < -kLimit || std::floor(us) != us)
        return std::nullopt;
    return static_cast<int64_t>(us);
}

std::optional<int64_t> fromValue(JsonValue value, TimeUnit unit)
{
    constexpr int64_t kPerSecond = 1000000;
    const int64_t factor = unit == TimeUnit::seconds ? kPerSecond : 1;
    int64_t result = 0;
    switch (value.type())
    {
        case simdjson::dom::element_type::UINT64: //< Only those beyond int64 are held so.
            return std::nullopt;
        case simdjson::dom::element_type::INT64:
            if (__builtin_mul_overflow(value.get_int64().value_unsafe(), factor, &result))
                return std::nullopt;
            return result;
        case simdjson::dom::element_type::DOUBLE:
            return fromDouble(value.get_double().value_unsafe(), unit);
        case simdjson::dom::element_type::STRING:
            return decimalMicroseconds(textOf(value), unit);
        default:
            return std::nullopt;
    }
}

} // namespace

std::optional<int64_t> decimalMicroseconds(std::string_view text, TimeUnit unit) noexcept
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    const size_t point = unit == TimeUnit::seconds ? text.find('.') : std::string_view::npos;
    const std::string_view whole = text.substr(0, point);
    std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    // Accumulated as a negative number: its range holds the most negative value too.
    int64_t result = 0;
    const auto addDigit = [&result](char digit)
        {
            if (digit < '0' || digit > '9')
                return false;
            return !__builtin_mul_overflow(result, 10, &result)
                && !__builtin_sub_overflow(result, digit - '0', &result);
        };
    for (const char digit: whole)
    {
        if (!addDigit(digit))
            return std::nullopt;
    }
    if (unit == TimeUnit::seconds)
    {
        for (int i = 0; i < 6; ++i)
        {
            if (!addDigit(static_cast<size_t>(i) < fraction.size() ? fraction[i] : '0'))
                return std::nullopt;
        }
        for (const char digit: fraction.substr(std::min<size_t>(6, fraction.size())))
        {
            if (digit < '0' || digit > '9')
                return std::nullopt;
        }
    }
    if (negative)
        return result;
    if (result == std::numeric_limits<int64_t>::min())
        return std::nullopt;
    return -result;
}

EngineTime engineTimeOf(JsonValue message) noexcept
{
    if (!isObject(message))
        return {};
    for (const Place& place: kPlaces)
    {
        const std::optional<JsonValue> value = valueAt(message, place);
        if (!value)
            continue;
        if (const std::optional<int64_t> us = fromValue(*value, place.unit))
            return {Status::found, *us, place.text};
        return {Status::malformed, 0, place.text};
    }
    return {};
}

} // namespace nx::vms_server_plugins::analytics::sample
