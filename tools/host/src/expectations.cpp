#include "expectations.h"

#include <cmath>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace skyloom::host {

using testhost::MetadataItemRecord;
using testhost::MetadataPacketRecord;

namespace {

constexpr float kBoxTolerance = 0.001F;

Expectation parseOne(const nlohmann::json& json, size_t index)
{
    Expectation expectation;
    expectation.name = json.value("name", "expectation " + std::to_string(index + 1));
    const std::string kind = json.at("kind").get<std::string>();
    if (kind == "object")
        expectation.kind = MetadataPacketRecord::Kind::object;
    else if (kind == "event")
        expectation.kind = MetadataPacketRecord::Kind::event;
    else
    {
        throw std::invalid_argument(
            "\"kind\" must be \"object\" or \"event\", not \"" + kind + "\"");
    }
    expectation.typeId = json.at("typeId").get<std::string>();
    if (json.contains("caption"))
        expectation.caption = json["caption"].get<std::string>();
    if (json.contains("description"))
        expectation.description = json["description"].get<std::string>();
    if (json.contains("attributes"))
    {
        for (const auto& [name, value]: json["attributes"].items())
        {
            expectation.attributes.emplace_back(name, value.is_null()
                ? std::nullopt : std::optional<std::string>(value.get<std::string>()));
        }
    }
    if (json.contains("box"))
        expectation.box = json["box"].get<std::array<float, 4>>();
    expectation.minCount = json.value("minCount", 1);
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
            result.expectations.push_back(parseOne(list[i], i));
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
