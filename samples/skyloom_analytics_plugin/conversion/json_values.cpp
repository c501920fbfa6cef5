#include "json_values.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "json_text.h"

namespace nx::vms_server_plugins::analytics::sample {

using simdjson::dom::element_type;

namespace {

/** A read value in a failure's text; long ones (a whole object) are cut. */
std::string shown(JsonValue value)
{
    constexpr size_t kMaxShown = 40;
    std::string text = jsonText(value, /*indent*/ -1, /*ensureAscii*/ true);
    if (text.size() > kMaxShown)
        text = text.substr(0, kMaxShown) + "...";
    return text;
}

[[noreturn]] void throwDoesNotFit(const JsonAt& at, const char* type)
{
    throw std::out_of_range(at.place().text() + " is " + shown(at.value())
        + ", which does not fit " + type);
}

} // namespace

//-------------------------------------------------------------------------------------------------
// JsonPlace.

JsonPlace JsonPlace::with(const char* name, uint32_t index) const
{
    JsonPlace result = *this;
    size_t at = result.m_count;
    if (at < kMaxSteps)
    {
        ++result.m_count;
    }
    else
    {
        // Keeps the first step and the latest ones: where it began and what was read.
        for (size_t i = 1; i + 1 < kMaxSteps; ++i)
        {
            result.m_names[i] = result.m_names[i + 1];
            result.m_indexes[i] = result.m_indexes[i + 1];
        }
        at = kMaxSteps - 1;
        result.m_elided = true;
    }
    result.m_names[at] = name;
    result.m_indexes[at] = index;
    return result;
}

JsonPlace JsonPlace::member(const char* name) const
{
    return with(name, 0);
}

JsonPlace JsonPlace::element(size_t index) const
{
    return with(nullptr, static_cast<uint32_t>(index));
}

std::string JsonPlace::text() const
{
    if (m_count == 0)
        return "the message";
    std::string result;
    for (size_t i = 0; i < m_count; ++i)
    {
        if (i == 1 && m_elided)
            result += "...";
        if (m_names[i])
            result += std::string(result.empty() ? "" : ".") + "\"" + m_names[i] + "\"";
        else
            result += "[" + std::to_string(m_indexes[i]) + "]";
    }
    return result;
}

//-------------------------------------------------------------------------------------------------
// JsonAt.

void JsonAt::throwNot(const char* wanted) const
{
    throw std::invalid_argument(
        m_place.text() + " must be " + wanted + ", but is " + typeWords(m_value));
}

JsonAt JsonAt::member(const char* name) const
{
    if (!isObject(m_value))
        throwNot("an object");
    return found(findMember(m_value, name), name);
}

JsonAt JsonAt::found(const std::optional<JsonValue>& value, const char* name) const
{
    if (!value)
        throw std::invalid_argument(m_place.member(name).text() + " is missing");
    return JsonAt(*value, m_place, name, 0); //< A null one is judged by its reader.
}

std::optional<JsonValue> JsonAt::optionalMember(const char* name) const
{
    if (!isObject(m_value))
        throwNot("an object");
    return nonNullMember(m_value, name);
}

JsonAt JsonAt::element(size_t index) const
{
    size_t at = 0;
    for (const JsonValue child: array())
    {
        if (at == index)
            return elementAt(child, index);
        ++at;
    }
    throw std::invalid_argument(m_place.element(index).text() + " is missing");
}

simdjson::dom::array JsonAt::array() const
{
    simdjson::dom::array elements;
    if (m_value.get(elements) != simdjson::SUCCESS)
        throwNot("an array");
    return elements;
}

//-------------------------------------------------------------------------------------------------
// Reads.

const char* typeWords(JsonValue value)
{
    switch (value.type())
    {
        case element_type::NULL_VALUE: return "null";
        case element_type::OBJECT: return "an object";
        case element_type::ARRAY: return "an array";
        case element_type::STRING: return "a text";
        case element_type::BOOL: return "a boolean";
        case element_type::INT64:
        case element_type::UINT64:
        case element_type::DOUBLE: return "a number";
    }
    return "of an unknown type";
}

int readInt32(const JsonAt& at)
{
    const JsonValue value = at.value();
    switch (value.type())
    {
        case element_type::DOUBLE:
        {
            const double number = value.get_double().value_unsafe();
            // Bounds chosen so that truncation toward zero stays within int32.
            if (!(number > -2147483649.0 && number < 2147483648.0))
                throwDoesNotFit(at, "a 32-bit integer");
            return static_cast<int>(number);
        }
        case element_type::UINT64: //< Only those beyond int64 are held so.
            throwDoesNotFit(at, "a 32-bit integer");
        case element_type::INT64:
        {
            const int64_t number = value.get_int64().value_unsafe();
            if (number < std::numeric_limits<int>::min()
                || number > std::numeric_limits<int>::max())
            {
                throwDoesNotFit(at, "a 32-bit integer");
            }
            return static_cast<int>(number);
        }
        case element_type::BOOL:
            return value.get_bool().value_unsafe() ? 1 : 0;
        default:
            at.throwNot("a number");
    }
}

int readTrackId(const JsonAt& at)
{
    const JsonValue value = at.value();
    if (!isNumber(value))
        at.throwNot("a whole number");
    if (value.type() == element_type::DOUBLE)
    {
        const double number = value.get_double().value_unsafe();
        if (std::trunc(number) != number)
        {
            throw std::invalid_argument(
                at.place().text() + " must be a whole number, but is " + shown(value));
        }
    }
    return readInt32(at);
}

float readFloat(const JsonAt& at)
{
    const JsonValue value = at.value();
    if (isNumber(value))
    {
        const double number = value.get_double().value_unsafe();
        if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
            throwDoesNotFit(at, "a 32-bit float");
        return static_cast<float>(number);
    }
    if (value.type() == element_type::BOOL)
        return value.get_bool().value_unsafe() ? 1.0F : 0.0F;
    at.throwNot("a number");
}

std::string_view readText(const JsonAt& at)
{
    if (!isText(at.value()))
        at.throwNot("a text");
    return textOf(at.value());
}

} // namespace nx::vms_server_plugins::analytics::sample
