// A detected object: type id, track id and bounding box (fractions of the frame). trackId() and
// boundingBox() write into caller-supplied storage.
#pragma once

#include <nx/sdk/analytics/i_metadata.h>
#include <nx/sdk/rect.h>
#include <nx/sdk/uuid.h>

namespace nx::sdk::analytics {

class IObjectMetadata: public Interface<IObjectMetadata, IMetadata>
{
public:
    static const char* interfaceId() { return "nx::sdk::analytics::IObjectMetadata"; }

    virtual void trackId(Uuid* outValue) const = 0;
    virtual const char* subtype() const = 0;
    virtual void boundingBox(Rect* outValue) const = 0;
};

} // namespace nx::sdk::analytics
