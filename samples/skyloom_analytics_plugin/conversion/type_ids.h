// The event and object types that the agent produces: one table each, read by the lookups that
// name a message's event kind or object class and by the device agent manifest, so that every
// id the agent sends is one the manifest declares. Immutable; any thread.
#pragma once

#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

struct EventType
{
    const char* id;
    const char* name; //< Shown by the server.
    /** The AI engine's "source" that selects this type; empty for none. */
    std::string_view source;
    /** Whether `source` is a prefix of the names it matches rather than the whole name. */
    bool sourceIsPrefix = false;
};

struct ObjectType
{
    const char* id;
    const char* name; //< Shown by the server.
    /** The AI engine's "class" values that select this type; empty views for none. */
    std::string_view classes[2];
};

extern const char* const kUnregisteredEventTypeId;
extern const char* const kUnregisteredObjectTypeId;
extern const char* const kCounterObjectTypeId;

/** The event type id for an alarm's "source"; unknown names give the unregistered type. */
[[nodiscard]] const char* eventTypeIdForSource(std::string_view source);

/** The object type id for a "class"; unknown classes give the unregistered type. */
[[nodiscard]] const char* objectTypeIdForClass(std::string_view className);

/** The device agent manifest: every event type and object type, in the server's order. */
[[nodiscard]] std::string deviceAgentManifest();

} // namespace nx::vms_server_plugins::analytics::sample
