#include "json_text.h"

#include <nlohmann/json.hpp>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

using simdjson::dom::element_type;

/** The value as nlohmann::json; recurses as deep as the parser allows (MessageParser). */
nlohmann::json toJson(JsonValue value)
{
    switch (value.type())
    {
        case element_type::OBJECT:
        {
            nlohmann::json object = nlohmann::json::object();
            simdjson::dom::object members;
            if (value.get(members) != simdjson::SUCCESS)
                break; //< Never: the type says it is one.
            for (const simdjson::dom::key_value_pair member: members)
                object[std::string(member.key)] = toJson(member.value); //< The last one stays.
            return object;
        }
        case element_type::ARRAY:
        {
            nlohmann::json array = nlohmann::json::array();
            simdjson::dom::array elements;
            if (value.get(elements) != simdjson::SUCCESS)
                break; //< Never: the type says it is one.
            for (const JsonValue element: elements)
                array.push_back(toJson(element));
            return array;
        }
        case element_type::STRING: return std::string(textOf(value));
        case element_type::INT64: return value.get_int64().value_unsafe();
        case element_type::UINT64: return value.get_uint64().value_unsafe();
        case element_type::DOUBLE: return value.get_double().value_unsafe();
        case element_type::BOOL: return value.get_bool().value_unsafe();
        case element_type::NULL_VALUE: return nullptr;
    }
    return nullptr;
}

} // namespace

std::string jsonText(JsonValue value, int indent, bool ensureAscii)
{
    return toJson(value).dump(indent, ' ', ensureAscii, nlohmann::json::error_handler_t::replace);
}

} // namespace nx::vms_server_plugins::analytics::sample
