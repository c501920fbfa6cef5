#include "expectations.h"

#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace skyloom::host {

using testhost::MetadataItemRecord;
using testhost::MetadataPacketRecord;

namespace {

constexpr float kBoxTolerance = 0.001F;

/** The JSON library's message without its "[json.exception...] " tag. */
std::string withoutLibraryTag(const std::string& text)
{
    const size_t end = text.find("] ");
    return text.rfind("[json.exception", 0) == 0 && end != std::string::npos
        ? text.substr(end + 2) : text;
}

/** The member's value as T; a missing member or a wrong type names the member. */
template<class T>
T member(const nlohmann::json& json, const char* key)
{
    if (!json.is_object())
        throw std::invalid_argument(std::string("must be an object, not ") + json.type_name());
    const auto found = json.find(key);
    if (found == json.end())
        throw std::invalid_argument(std::string("\"") + key + "\" is missing");
    try
    {
        return found->get<T>();
    }
    catch (const std::exception& e)
    {
        throw std::invalid_argument(std::string("\"") + key + "\": " + withoutLibraryTag(e.what()));
    }
}

Expectation parseOne(const nlohmann::json& json, size_t index)
{
    Expectation expectation;
    expectation.name = json.is_object() && json.contains("name")
        ? member<std::string>(json, "name") : "expectation " + std::to_string(index + 1);
    const std::string kind = member<std::string>(json, "kind");
    if (kind == "object")
        expectation.kind = MetadataPacketRecord::Kind::object;
    else if (kind == "event")
        expectation.kind = MetadataPacketRecord::Kind::event;
    else
    {
        throw std::invalid_argument(
            "\"kind\" must be \"object\" or \"event\", not \"" + kind + "\"");
    }
    expectation.typeId = member<std::string>(json, "typeId");
    if (json.contains("caption"))
        expectation.caption = member<std::string>(json, "caption");
    if (json.contains("description"))
        expectation.description = member<std::string>(json, "description");
    if (json.contains("attributes"))
    {
        for (const auto& [name, value]: member<nlohmann::json::object_t>(json, "attributes"))
        {
            if (!value.is_null() && !value.is_string())
                throw std::invalid_argument("attribute \"" + name + "\" must be a text or null");
            expectation.attributes.emplace_back(name, value.is_null()
                ? std::nullopt : std::optional<std::string>(value.get<std::string>()));
        }
    }
    if (json.contains("box"))
        expectation.box = member<std::array<float, 4>>(json, "box");
    expectation.minCount = json.contains("minCount") ? member<int>(json, "minCount") : 1;
    return expectation;
}

bool boxMatches(const std::array<float, 4>& expected, const nx::sdk::Rect& box)
{
    const float actual[4] = {box.x, box.y, box.width, box.height};
    for (int i = 0; i < 4; ++i)
    {
        if (!(std::fabs(actual[i] - expected[static_cast<size_t>(i)]) <= kBoxTolerance))
            return false;
    }
    return true;
}

bool attributesMatch(const Expectation& expectation, const MetadataItemRecord& item)
{
    for (const auto& [name, value]: expectation.attributes)
    {
        const testhost::AttributeRecord* attribute = item.attribute(name);
        if (value ? (!attribute || attribute->value != *value) : attribute != nullptr)
            return false;
    }
    return true;
}

} // namespace

ParsedExpectations parseExpectations(const std::string& jsonText)
{
    ParsedExpectations result;
    try
    {
        const nlohmann::json list = nlohmann::json::parse(jsonText);
        if (!list.is_array())
            throw std::invalid_argument("the text must be a JSON list of expectations");
        for (size_t i = 0; i < list.size(); ++i)
        {
            try
            {
                result.expectations.push_back(parseOne(list[i], i));
            }
            catch (const std::exception& e)
            {
                throw std::invalid_argument("expectation " + std::to_string(i + 1) + " (of "
                    + std::to_string(list.size()) + "): " + withoutLibraryTag(e.what()));
            }
        }
    }
    catch (const std::exception& e)
    {
        result.expectations.clear();
        result.error = e.what();
    }
    return result;
}

bool matches(const Expectation& expectation, MetadataPacketRecord::Kind kind,
    const MetadataItemRecord& item)
{
    return kind == expectation.kind
        && item.typeId == expectation.typeId
        && (!expectation.caption || item.caption == *expectation.caption)
        && (!expectation.description || item.description == *expectation.description)
        && (!expectation.box || boxMatches(*expectation.box, item.boundingBox))
        && attributesMatch(expectation, item);
}

} // namespace skyloom::host
