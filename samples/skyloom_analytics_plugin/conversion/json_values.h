// Checked reads of AI-engine message values, each knowing where in the message it reads
// (JsonAt), so that a failure says so in a sentence: `"caption" must be a text, but is a number`,
// `"event"."object_list"[2]."tid" is missing`. A value of the wrong JSON type, a missing member or
// element raise std::invalid_argument; a number that does not fit the target type (or is not
// finite) raises std::out_of_range: converting it unchecked would be undefined behaviour. The
// texts are the drops' details, which the camera's log line and the offline check both read;
// callers catch at the edge of each conversion. Nothing is spelled out unless a read fails.
// The values are those of a parsed simdjson document (MessageParser). Where an object names a
// member more than once, the last one counts, as it always has for the AI engine's messages.
//
// Threads: plain values and pure functions; the parsed document must outlive the values read
// from it (until its parser parses again).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <simdjson.h>

namespace nx::vms_server_plugins::analytics::sample {

using JsonValue = simdjson::dom::element;

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
    explicit JsonAt(JsonValue message): m_value(message) {}

    JsonAt(JsonValue value, const JsonPlace& place): m_value(value), m_place(place) {}

    JsonValue value() const { return m_value; }
    const JsonPlace& place() const { return m_place; }

    /** The member (null included); throws if this is not an object or has no such member. */
    [[nodiscard]] JsonAt member(const char* name) const;

    /**
     * The members `names` of this object, found in one walk through it, as member() finds each
     * (a later one of a name replaces an earlier one); throws if this is not an object. Reading
     * several members so costs one walk instead of one for each.
     */
    template<size_t N>
    [[nodiscard]] std::array<std::optional<JsonValue>, N> members(
        const std::array<std::string_view, N>& names) const;

    /**
     * The member `name` that members() found, or "<place> is missing" thrown as member() does
     * without it. `name` must outlive the result, as for member().
     */
    [[nodiscard]] JsonAt found(const std::optional<JsonValue>& value, const char* name) const;

    /** The member, or nothing when it is absent or null; throws if this is not an object. */
    [[nodiscard]] std::optional<JsonValue> optionalMember(const char* name) const;

    /** The element; throws if this is not an array or is shorter. Reads the array up to it. */
    [[nodiscard]] JsonAt element(size_t index) const;

    /** Element `index` of this array, which `value` is (for a walk through the array). */
    [[nodiscard]] JsonAt elementAt(JsonValue value, size_t index) const
    {
        return JsonAt(value, m_place, nullptr, static_cast<uint32_t>(index));
    }

    /** This as an array; throws if it is not one. */
    [[nodiscard]] simdjson::dom::array array() const;

    /** Throws "<place> must be <wanted>, but is <what it is>". */
    [[noreturn]] void throwNot(const char* wanted) const;

private:
    JsonAt(JsonValue value, const JsonPlace& parent, const char* name, uint32_t index):
        m_value(value), m_place(parent.with(name, index))
    {
    }

    JsonValue m_value;
    JsonPlace m_place;
};

inline bool isObject(JsonValue value) { return value.type() == simdjson::dom::element_type::OBJECT; }
inline bool isArray(JsonValue value) { return value.type() == simdjson::dom::element_type::ARRAY; }
inline bool isText(JsonValue value) { return value.type() == simdjson::dom::element_type::STRING; }
inline bool isNull(JsonValue value) { return value.type() == simdjson::dom::element_type::NULL_VALUE; }
inline bool isNumber(JsonValue value)
{
    const auto type = value.type();
    return type == simdjson::dom::element_type::INT64 || type == simdjson::dom::element_type::UINT64
        || type == simdjson::dom::element_type::DOUBLE;
}

/** The text of a string value (unchecked: the caller knows it is one). */
inline std::string_view textOf(JsonValue value)
{
    std::string_view text;
    return value.get(text) == simdjson::SUCCESS ? text : std::string_view();
}

/**
 * Whether a member's key is `name`. The first bytes are compared before the rest: most keys of a
 * walk differ there, which saves a call to compare them.
 */
inline bool isKey(std::string_view key, std::string_view name)
{
    return key.size() == name.size() && (key.empty() || (key[0] == name[0] && key == name));
}

/**
 * The member `name` of `object` (an object), or nothing. Every member is looked at: a later one
 * of the same name replaces an earlier one.
 */
[[nodiscard]] inline std::optional<JsonValue> findMember(JsonValue object, std::string_view name)
{
    std::optional<JsonValue> found;
    simdjson::dom::object members;
    if (object.get(members) != simdjson::SUCCESS)
        return found;
    for (const simdjson::dom::key_value_pair member: members)
    {
        if (isKey(member.key, name))
            found = member.value;
    }
    return found;
}

/**
 * The members `names` of `object`, found in one walk through it (a later one of a name replaces
 * an earlier one); nothing for each that is absent, or all if `object` is not an object.
 */
template<size_t N>
[[nodiscard]] std::array<std::optional<JsonValue>, N> findMembers(
    JsonValue object, const std::array<std::string_view, N>& names)
{
    std::array<std::optional<JsonValue>, N> found;
    simdjson::dom::object members;
    if (object.get(members) != simdjson::SUCCESS)
        return found;
    for (const simdjson::dom::key_value_pair member: members)
    {
        for (size_t i = 0; i < N; ++i)
        {
            if (isKey(member.key, names[i]))
            {
                found[i] = member.value;
                break;
            }
        }
    }
    return found;
}

template<size_t N>
std::array<std::optional<JsonValue>, N> JsonAt::members(
    const std::array<std::string_view, N>& names) const
{
    if (!isObject(m_value))
        throwNot("an object");
    return findMembers(m_value, names);
}

/** The value, or nothing when it is absent or null. */
[[nodiscard]] inline std::optional<JsonValue> nonNull(const std::optional<JsonValue>& value)
{
    return value && !isNull(*value) ? value : std::nullopt;
}

/** The member, or nothing when it is absent or null. */
[[nodiscard]] inline std::optional<JsonValue> nonNullMember(JsonValue object, const char* name)
{
    return nonNull(findMember(object, name));
}

/** The JSON type as the texts name it: "a text", "a number", "an object", "null"... */
const char* typeWords(JsonValue value);

/** A number (a fraction is cut toward zero) or a boolean (1/0) as a 32-bit signed integer. */
int readInt32(const JsonAt& at);

/**
 * A track id: a whole number within int32 ("tid": 7 or 7.0). A fraction, a boolean or a text
 * would make two different ids name one track, so each of them throws.
 */
int readTrackId(const JsonAt& at);

/** A number (or boolean) as a finite 32-bit float. */
float readFloat(const JsonAt& at);

/** A JSON string, by reference into the parsed document. */
std::string_view readText(const JsonAt& at);

} // namespace nx::vms_server_plugins::analytics::sample
