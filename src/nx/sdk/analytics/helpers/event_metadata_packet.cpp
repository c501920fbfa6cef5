#include "event_metadata_packet.h"

#include <nx/kit/debug.h>

namespace nx::sdk::analytics {

int64_t EventMetadataPacket::timestampUs() const
{
    return m_timestampUs;
}

int64_t EventMetadataPacket::durationUs() const
{
    return m_durationUs;
}

int32_t EventMetadataPacket::count() const
{
    return static_cast<int32_t>(m_items.size());
}

const IMetadata* EventMetadataPacket::at(int32_t index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    const Ptr<const IEventMetadata>& item = m_items[static_cast<size_t>(index)];
    item->addRef();
    return item.get();
}

void EventMetadataPacket::setTimestampUs(int64_t timestampUs)
{
    m_timestampUs = timestampUs;
}

void EventMetadataPacket::setDurationUs(int64_t durationUs)
{
    m_durationUs = durationUs;
}

void EventMetadataPacket::addItem(const IEventMetadata* eventMetadata)
{
    if (!NX_KIT_ASSERT(eventMetadata, ""))
        return;
    m_items.push_back(sharePtr(eventMetadata));
}

void EventMetadataPacket::clear()
{
    m_items.clear();
}

} // namespace nx::sdk::analytics
