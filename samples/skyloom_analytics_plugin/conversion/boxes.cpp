#include "boxes.h"

#include <algorithm>
#include <cmath>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr float kMinAlarmObjectWidth = 0.15F;
constexpr float kMinAlarmObjectHeight = 0.2F;

/** One dimension of expandBoundingBox(). */
void expandSpan(float& position, float& size, float minSize)
{
    // std::max(a, b) gives b only when a < b, std::min(a, b) only when b < a.
    const float centre = size / 2 + position;
    size *= std::max(1.0F, minSize / size);
    position = centre - size / 2;
    position = std::max(0.0F, position);
    // The far edge is applied last and wins for a box larger than the frame.
    position = std::min(1 - size, position);
}

/** One dimension of an alarm object's box, from its two corner coordinates. */
void alarmSpan(float from, float to, float minSize, float* position, float* size)
{
    float p = from;
    float s = to - from;
    if (s > 0)
    {
        expandSpan(p, s, minSize);
        if (std::isfinite(p) && std::isfinite(s))
        {
            *position = p;
            *size = s;
            return;
        }
    }
    p = from - minSize / 2;
    s = minSize;
    expandSpan(p, s, minSize);
    *position = p;
    *size = s;
}

/** One dimension of a detection's box cut to [0, 1]; false if nothing of it is inside. */
bool detectionSpan(float from, float to, float* position, float* size)
{
    const float low = std::min(from, to);
    const float high = std::max(from, to);
    if (high < 0 || low > 1)
        return false;
    if (low < high && (high <= 0 || low >= 1))
        return false; //< Touches the frame's edge from outside.
    *position = std::max(0.0F, low);
    *size = std::min(1.0F, high) - *position;
    return true;
}

} // namespace

void expandBoundingBox(
    float& x, float& y, float& width, float& height, float minWidth, float minHeight)
{
    expandSpan(x, width, minWidth);
    expandSpan(y, height, minHeight);
}

nx::sdk::Rect alarmObjectBox(float x0, float y0, float x1, float y1)
{
    nx::sdk::Rect box;
    alarmSpan(x0, x1, kMinAlarmObjectWidth, &box.x, &box.width);
    alarmSpan(y0, y1, kMinAlarmObjectHeight, &box.y, &box.height);
    return box;
}

std::optional<nx::sdk::Rect> detectionBox(float x0, float y0, float x1, float y1)
{
    nx::sdk::Rect box;
    if (!detectionSpan(x0, x1, &box.x, &box.width) || !detectionSpan(y0, y1, &box.y, &box.height))
        return std::nullopt;
    return box;
}

} // namespace nx::vms_server_plugins::analytics::sample
