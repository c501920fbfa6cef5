#include "reference_json_values.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace nx::vms_server_plugins::analytics::sample::reference {

using nlohmann::json;

namespace {

/** A read value in a failure's text; long ones (a whole object) are cut. */
std::string shown(const json& value)
{
    constexpr size_t kMaxShown = 40;
    std::string text = value.dump(-1, ' ', /*ensure_ascii*/ true, json::error_handler_t::replace);
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
        m_place.text() + " must be " + wanted + ", but is " + typeWords(*m_value));
}

JsonAt JsonAt::member(const char* name) const
{
    if (!m_value->is_object())
        throwNot("an object");
    const auto found = findMember(*m_value, name);
    if (found == m_value->end())
        throw std::invalid_argument(m_place.member(name).text() + " is missing");
    return JsonAt(*found, m_place, name, 0); //< A null one is judged by its reader.
}

const json* JsonAt::optionalMember(const char* name) const
{
    if (!m_value->is_object())
        throwNot("an object");
    const auto found = findMember(*m_value, name);
    return (found == m_value->end() || found->is_null()) ? nullptr : &*found;
}

JsonAt JsonAt::element(size_t index) const
{
    const json::array_t& elements = array();
    if (index >= elements.size())
        throw std::invalid_argument(m_place.element(index).text() + " is missing");
    return JsonAt(elements[index], m_place, nullptr, static_cast<uint32_t>(index));
}

const json::array_t& JsonAt::array() const
{
    if (!m_value->is_array())
        throwNot("an array");
    return m_value->get_ref<const json::array_t&>();
}

//-------------------------------------------------------------------------------------------------
// Reads.

const char* typeWords(const json& value)
{
    switch (value.type())
    {
        case json::value_t::null: return "null";
        case json::value_t::object: return "an object";
        case json::value_t::array: return "an array";
        case json::value_t::string: return "a text";
        case json::value_t::boolean: return "a boolean";
        case json::value_t::number_integer:
        case json::value_t::number_unsigned:
        case json::value_t::number_float: return "a number";
        case json::value_t::binary: return "binary data";
        case json::value_t::discarded: return "nothing";
    }
    return "of an unknown type";
}

int readInt32(const JsonAt& at)
{
    const json& value = at.value();
    if (value.is_number_float())
    {
        const double number = value.get<double>();
        // Bounds chosen so that truncation toward zero stays within int32.
        if (!(number > -2147483649.0 && number < 2147483648.0))
            throwDoesNotFit(at, "a 32-bit integer");
        return static_cast<int>(number);
    }
    if (value.is_number_unsigned())
    {
        if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int>::max()))
            throwDoesNotFit(at, "a 32-bit integer");
        return static_cast<int>(value.get<uint64_t>());
    }
    if (value.is_number_integer())
    {
        const int64_t number = value.get<int64_t>();
        if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max())
            throwDoesNotFit(at, "a 32-bit integer");
        return static_cast<int>(number);
    }
    if (value.is_boolean())
        return value.get<bool>() ? 1 : 0;
    at.throwNot("a number");
}

int readTrackId(const JsonAt& at)
{
    const json& value = at.value();
    if (!value.is_number())
        at.throwNot("a whole number");
    if (value.is_number_float() && std::trunc(value.get<double>()) != value.get<double>())
    {
        throw std::invalid_argument(
            at.place().text() + " must be a whole number, but is " + shown(value));
    }
    return readInt32(at);
}

float readFloat(const JsonAt& at)
{
    const json& value = at.value();
    if (value.is_number())
    {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::fabs(number) > std::numeric_limits<float>::max())
            throwDoesNotFit(at, "a 32-bit float");
        return static_cast<float>(number);
    }
    if (value.is_boolean())
        return value.get<bool>() ? 1.0F : 0.0F;
    at.throwNot("a number");
}

const std::string& readText(const JsonAt& at)
{
    if (!at.value().is_string())
        at.throwNot("a text");
    return at.value().get_ref<const std::string&>();
}

std::string parseFailureText(const json::parse_error& failure)
{
    // "[json.exception.parse_error.101] parse error at line 1, column 17: syntax error while
    // parsing object key - invalid literal; last read: '"a",x'; expected string literal"
    std::string text = failure.what();
    const std::string tag = "parse error";
    const size_t tagAt = text.find(tag);
    text = "not JSON"
        + (tagAt == std::string::npos ? ": " + text : text.substr(tagAt + tag.size()));
    if (const size_t dash = text.find(" - "); dash != std::string::npos)
        text.replace(dash, 3, ": ");
    // The last token read can be a whole long text: its end is what tells where it went wrong.
    constexpr size_t kMaxLastRead = 40;
    const std::string lastRead = "last read: '";
    if (const size_t begin = text.find(lastRead); begin != std::string::npos)
    {
        const size_t from = begin + lastRead.size();
        const size_t end = text.find("'; ", from) != std::string::npos
            ? text.find("'; ", from) : text.rfind('\'');
        if (end != std::string::npos && end > from && end - from > kMaxLastRead)
            text.replace(from, end - from - kMaxLastRead, "...");
    }
    return text;
}

} // namespace nx::vms_server_plugins::analytics::sample::reference
