// What every camera must receive, for scripted runs (--expect): a JSON list of item patterns.
// Each pattern names a kind and a type id and may fix the caption, the description, attributes
// (a null value: the attribute must be absent) and the box (within 0.001). Pure functions;
// any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <skyloom/testhost/records.h>

namespace skyloom::host {

struct Expectation
{
    std::string name;
    testhost::MetadataPacketRecord::Kind kind = testhost::MetadataPacketRecord::Kind::object;
    std::string typeId;
    std::optional<std::string> caption;
    std::optional<std::string> description;

    /** Attribute name and the value it must have; no value: it must be absent. */
    std::vector<std::pair<std::string, std::optional<std::string>>> attributes;

    std::optional<std::array<float, 4>> box;

    /** Matching items each camera must receive at least. */
    int minCount = 1;
};

struct ParsedExpectations
{
    std::vector<Expectation> expectations;
    std::string error; //< One line when the text is not a valid list.
};

ParsedExpectations parseExpectations(const std::string& jsonText);

bool matches(const Expectation& expectation, testhost::MetadataPacketRecord::Kind kind,
    const testhost::MetadataItemRecord& item);

} // namespace skyloom::host
