#include "object_metadata_packet.h"

#include <nx/kit/debug.h>

namespace nx::sdk::analytics {

int64_t ObjectMetadataPacket::timestampUs() const
{
    return m_timestampUs;
}

int64_t ObjectMetadataPacket::durationUs() const
{
    return m_durationUs;
}

int32_t ObjectMetadataPacket::count() const
{
    return static_cast<int32_t>(m_items.size());
}

const IMetadata* ObjectMetadataPacket::at(int32_t index) const
{
    if (index < 0 || index >= count())
        return nullptr;
    const Ptr<const IObjectMetadata>& item = m_items[static_cast<size_t>(index)];
    item->addRef();
    return item.get();
}

void ObjectMetadataPacket::setTimestampUs(int64_t timestampUs)
{
    m_timestampUs = timestampUs;
}

void ObjectMetadataPacket::setDurationUs(int64_t durationUs)
{
    m_durationUs = durationUs;
}

void ObjectMetadataPacket::addItem(const IObjectMetadata* objectMetadata)
{
    if (!NX_KIT_ASSERT(objectMetadata, ""))
        return;
    m_items.push_back(sharePtr(objectMetadata));
}

void ObjectMetadataPacket::clear()
{
    m_items.clear();
}

} // namespace nx::sdk::analytics
