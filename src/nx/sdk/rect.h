// Bounding box in fractions of the frame: x, y, width, height (32-bit floats).
#pragma once

namespace nx::sdk {

struct Rect
{
    Rect() = default;
    Rect(float x, float y, float width, float height): x(x), y(y), width(width), height(height) {}

    float x = -1.0F;
    float y = -1.0F;
    float width = -1.0F;
    float height = -1.0F;

    bool operator==(const Rect& o) const
    {
        return x == o.x && y == o.y && width == o.width && height == o.height;
    }
};

static_assert(sizeof(Rect) == 16, "Rect travels as four floats");

} // namespace nx::sdk
