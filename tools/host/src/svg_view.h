// The SVG frame view of one camera: the camera's line, below it a 16:9 frame with the latest
// object of each track drawn where the server would draw its box, labelled with its type and
// caption, plate and group attributes, and below the frame the latest event captions with their
// times. Pure function; any thread.
#pragma once

#include <string>

#include "collector.h"

namespace skyloom::host {

std::string renderCameraSvg(int cameraIndex, const CameraStats& camera);

/** Escapes &, <, >, " and ' for SVG text and attribute values. */
std::string xmlEscaped(const std::string& text);

} // namespace skyloom::host
