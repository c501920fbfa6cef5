// Bounding boxes of the AI engine's objects as the server gets them: fractions of the frame,
// always finite. An alarm's object gets at least a minimum size so that it can be seen; a
// detection is shown where it is, cut to the frame. Pure functions; any thread.
#pragma once

#include <optional>

#include <nx/sdk/rect.h>

namespace nx::vms_server_plugins::analytics::sample {

/**
 * Grows the box to at least minWidth × minHeight about its centre, then shifts it (never
 * shrinks it) so that it starts at 0 or later and ends at 1 or earlier; for a box larger than
 * the frame the far edges win. Each dimension is independent of the other.
 */
void expandBoundingBox(
    float& x, float& y, float& width, float& height, float minWidth, float minHeight);

/**
 * An alarm object's box from its corners, through expandBoundingBox() with 0.15 × 0.2. A
 * dimension without a positive size (or whose enlargement would not be finite) has no centre
 * to grow about: it gets the minimum size about its first corner, and the other dimension
 * keeps its own.
 */
[[nodiscard]] nx::sdk::Rect alarmObjectBox(float x0, float y0, float x1, float y1);

/**
 * A detection's box from its corners: corners in either order, cut to the frame. Empty when
 * nothing of the box lies inside the frame (a box of zero size inside it is kept).
 */
[[nodiscard]] std::optional<nx::sdk::Rect> detectionBox(float x0, float y0, float x1, float y1);

} // namespace nx::vms_server_plugins::analytics::sample
