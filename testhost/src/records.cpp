#include <skyloom/testhost/records.h>

#include <set>

#include <nx/sdk/analytics/i_event_metadata.h>
#include <nx/sdk/analytics/i_event_metadata_packet.h>
#include <nx/sdk/analytics/i_object_metadata.h>
#include <nx/sdk/analytics/i_object_metadata_packet.h>
#include <nx/sdk/ptr.h>

namespace skyloom::testhost {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

std::vector<AttributeRecord> copyAttributes(const IMetadata* item)
{
    std::vector<AttributeRecord> attributes;
    const int32_t count = item->attributeCount();
    for (int32_t i = 0; i < count; ++i)
    {
        const Ptr<const IAttribute> attribute = toPtr(item->attribute(i));
        if (!attribute)
            continue;
        attributes.push_back({attribute->type(), copyText(attribute->name()),
            copyText(attribute->value()), attribute->confidence(), attribute.get()});
    }
    return attributes;
}

MetadataItemRecord copyCommon(const IMetadata* item)
{
    MetadataItemRecord record;
    record.typeId = copyText(item->typeId());
    record.confidence = item->confidence();
    record.attributes = copyAttributes(item);
    return record;
}

bool copyObjectItem(const IMetadata* item, MetadataItemRecord* record)
{
    const auto object = queryInterface<IObjectMetadata>(item);
    if (!object)
        return false;
    *record = copyCommon(object.get());
    object->trackId(&record->trackId);
    record->subtype = copyText(object->subtype());
    object->boundingBox(&record->boundingBox);
    return true;
}

bool copyEventItem(const IMetadata* item, MetadataItemRecord* record)
{
    const auto event = queryInterface<IEventMetadata>(item);
    if (!event)
        return false;
    *record = copyCommon(event.get());
    record->caption = copyText(event->caption());
    record->description = copyText(event->description());
    record->isActive = event->isActive();
    return true;
}

void copyItems(const ICompoundMetadataPacket* packet, MetadataPacketRecord* record)
{
    record->durationUs = packet->durationUs();
    record->reportedCount = packet->count();
    const auto copyItem =
        record->kind == MetadataPacketRecord::Kind::object ? copyObjectItem : copyEventItem;
    for (int32_t i = 0; i < record->reportedCount; ++i)
    {
        const Ptr<const IMetadata> item = toPtr(packet->at(i));
        MetadataItemRecord itemRecord;
        if (item && copyItem(item.get(), &itemRecord))
            record->items.push_back(std::move(itemRecord));
        else
            ++record->unreadableItems;
    }
}

} // namespace

size_t textBytes(const MetadataPacketRecord& packet)
{
    size_t bytes = 0;
    std::set<const void*> attributesSeen;
    for (const MetadataItemRecord& item: packet.items)
    {
        bytes += item.typeId.size() + item.subtype.size() + item.caption.size()
            + item.description.size();
        for (const AttributeRecord& attribute: item.attributes)
        {
            if (attributesSeen.insert(attribute.object).second || !attribute.object)
                bytes += attribute.name.size() + attribute.value.size();
        }
    }
    return bytes;
}

size_t receivedAttributeBytes(const MetadataPacketRecord& packet)
{
    size_t bytes = 0;
    for (const MetadataItemRecord& item: packet.items)
    {
        for (const AttributeRecord& attribute: item.attributes)
            bytes += attribute.name.size() + attribute.value.size();
    }
    return bytes;
}

const AttributeRecord* MetadataItemRecord::attribute(const std::string& name) const
{
    for (const auto& attribute: attributes)
    {
        if (attribute.name == name)
            return &attribute;
    }
    return nullptr;
}

std::string copyText(const char* text)
{
    return text ? std::string(text) : std::string();
}

MetadataPacketRecord copyMetadataPacket(IMetadataPacket* packet)
{
    MetadataPacketRecord record;
    record.timestampUs = packet->timestampUs();

    if (const auto objects = queryInterface<IObjectMetadataPacket>(packet))
    {
        record.kind = MetadataPacketRecord::Kind::object;
        copyItems(objects.get(), &record);
    }
    else if (const auto events = queryInterface<IEventMetadataPacket>(packet))
    {
        record.kind = MetadataPacketRecord::Kind::event;
        copyItems(events.get(), &record);
    }
    return record;
}

DiagnosticEventRecord copyDiagnosticEvent(const IPluginDiagnosticEvent* event)
{
    return {event->level(), copyText(event->caption()), copyText(event->description())};
}

} // namespace skyloom::testhost
