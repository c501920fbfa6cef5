// The reference conversion's reads (see reference_converter.h): on nlohmann::json, as the
// plugin read messages before it parsed them with simdjson.
//
// Checked reads of AI-engine message values, each knowing where in the message it reads
// (JsonAt), so that a failure says so in a sentence: `"caption" must be a text, but is a number`,
// `"event"."object_list"[2]."tid" is missing`. A value of the wrong JSON type, a missing member or
// element raise std::invalid_argument; a number that does not fit the target type (or is not
// finite) raises std::out_of_range: converting it unchecked would be undefined behaviour. The
// texts are the drops' details, which the camera's log line and the offline check both read;
// callers catch at the edge of each conversion. Nothing is spelled out unless a read fails.
//
// Threads: plain values and pure functions; the JSON value must outlive the JsonAt that names it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nx::vms_server_plugins::analytics::sample::reference {

/** Where a value sits in a message: the members' names and the elements' indexes to it. */
class JsonPlace
{
public:
    /**
     * Paths deeper than this are spelled with "..." in their middle; the conversion reads none
     * (the deepest: "meta"."metadata"."annotations"[i]."bbox"[3]). Small, as it is copied at
     * every step of a read.
     */
    static constexpr size_t kMaxSteps = 6;

    /** The message itself. */
    JsonPlace() = default;

    /** `name` must outlive the place: the readers give string literals. */
    [[nodiscard]] JsonPlace member(const char* name) const;
    [[nodiscard]] JsonPlace element(size_t index) const;

    /** `"event"."object_list"[2]."tid"`; "the message" for the message itself. */
    [[nodiscard]] std::string text() const;

private:
    friend class JsonAt; //< Makes a child's place in the child itself, without a copy.

    [[nodiscard]] JsonPlace with(const char* name, uint32_t index) const;

    std::array<const char*, kMaxSteps> m_names{}; //< Null for an element.
    std::array<uint32_t, kMaxSteps> m_indexes{}; //< A message of 4 MiB holds fewer elements.
    uint8_t m_count = 0;
    bool m_elided = false; //< Steps beyond kMaxSteps were left out.
};

/** A value of a message and its place in it. */
class JsonAt
{
public:
    /** The message itself. */
    explicit JsonAt(const nlohmann::json& message): m_value(&message) {}

    JsonAt(const nlohmann::json& value, const JsonPlace& place): m_value(&value), m_place(place)
    {
    }

    const nlohmann::json& value() const { return *m_value; }
    const JsonPlace& place() const { return m_place; }

    /** The member (null included); throws if this is not an object or has no such member. */
    [[nodiscard]] JsonAt member(const char* name) const;

    /** The member, or null when it is absent or null; throws if this is not an object. */
    [[nodiscard]] const nlohmann::json* optionalMember(const char* name) const;

    /** The element; throws if this is not an array or is shorter. */
    [[nodiscard]] JsonAt element(size_t index) const;

    /** This as an array; throws if it is not one. */
    [[nodiscard]] const nlohmann::json::array_t& array() const;

    /** Throws "<place> must be <wanted>, but is <what it is>". */
    [[noreturn]] void throwNot(const char* wanted) const;

private:
    JsonAt(const nlohmann::json& value, const JsonPlace& parent, const char* name,
        uint32_t index):
        m_value(&value), m_place(parent.with(name, index))
    {
    }

    const nlohmann::json* m_value;
    JsonPlace m_place;
};

/**
 * The member `name` of `object` (an object), or its end(). Looked up by length and bytes: with a
 * plain `const char*` the object's ordered map would measure the name again at each comparison.
 */
[[nodiscard]] inline nlohmann::json::const_iterator findMember(
    const nlohmann::json& object, std::string_view name)
{
    return object.find(name);
}

/** The JSON type as the texts name it: "a text", "a number", "an object", "null"... */
const char* typeWords(const nlohmann::json& value);

/** A number (a fraction is cut toward zero) or a boolean (1/0) as a 32-bit signed integer. */
int readInt32(const JsonAt& at);

/**
 * A track id: a whole number within int32 ("tid": 7 or 7.0). A fraction, a boolean or a text
 * would make two different ids name one track, so each of them throws.
 */
int readTrackId(const JsonAt& at);

/** A number (or boolean) as a finite 32-bit float. */
float readFloat(const JsonAt& at);

/** A JSON string, by reference. */
const std::string& readText(const JsonAt& at);

/**
 * The parser's complaint as a sentence that keeps its position: "not JSON: syntax error at line
 * 1, column 17 while parsing an object key: invalid literal; last read: '{"a",x'", with a long
 * last read cut.
 */
std::string parseFailureText(const nlohmann::json::parse_error& failure);

} // namespace nx::vms_server_plugins::analytics::sample::reference
