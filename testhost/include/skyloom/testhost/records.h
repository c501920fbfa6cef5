// Plain copies of what the plugin hands to the server's handlers. The copy functions read the
// plugin's objects through their interfaces during the call (the objects are borrowed), release
// every reference that the reads hand out, and keep nothing of the plugin's afterwards.
// Records are values: safe to read on any thread after they are made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/i_attribute.h>
#include <nx/sdk/i_plugin_diagnostic_event.h>
#include <nx/sdk/rect.h>
#include <nx/sdk/uuid.h>

namespace skyloom::testhost {

struct AttributeRecord
{
    nx::sdk::IAttribute::Type type = nx::sdk::IAttribute::Type::undefined;
    std::string name;
    std::string value;
    float confidence = 0.0F;
    /** The attribute object's address: within one packet, one address is one shared object. */
    const void* object = nullptr;
};

/** One item of a packet; the fields of the other kind keep their defaults. */
struct MetadataItemRecord
{
    std::string typeId;
    float confidence = 0.0F;
    std::vector<AttributeRecord> attributes;

    // Object items.
    nx::sdk::Uuid trackId;
    std::string subtype;
    nx::sdk::Rect boundingBox;

    // Event items.
    std::string caption;
    std::string description;
    bool isActive = false;

    /** The attribute with this name, or null. */
    const AttributeRecord* attribute(const std::string& name) const;
};

struct MetadataPacketRecord
{
    enum class Kind { object, event, unknown };

    Kind kind = Kind::unknown;
    int64_t timestampUs = 0;
    int64_t durationUs = 0;

    /** What count() answered; items holds one record per index that gave a usable item. */
    int32_t reportedCount = 0;
    std::vector<MetadataItemRecord> items;

    /** Indexes below reportedCount whose at() gave null or an item of the wrong kind. */
    int32_t unreadableItems = 0;
};

struct DiagnosticEventRecord
{
    nx::sdk::IPluginDiagnosticEvent::Level level = nx::sdk::IPluginDiagnosticEvent::Level::info;
    std::string caption;
    std::string description;
};

/**
 * Bytes of text the packet holds: type ids, subtypes, captions, descriptions, and the names and
 * values of its attributes, each shared attribute object counted once.
 */
size_t textBytes(const MetadataPacketRecord& packet);

/**
 * Bytes of attribute text the server receives with the packet: the name and value of every
 * attribute of every item, an attribute that items share counted once for each item that holds it.
 */
size_t receivedAttributeBytes(const MetadataPacketRecord& packet);

/** Null text pointers read as empty texts. */
std::string copyText(const char* text);

/** The packet must not be null. */
MetadataPacketRecord copyMetadataPacket(nx::sdk::analytics::IMetadataPacket* packet);

/** The event must not be null. */
DiagnosticEventRecord copyDiagnosticEvent(const nx::sdk::IPluginDiagnosticEvent* event);

} // namespace skyloom::testhost
