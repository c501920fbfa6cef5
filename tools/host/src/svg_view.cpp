#include "svg_view.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "packet_view.h"

namespace skyloom::host {

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
// The camera's line goes above the frame: inside it, labels at the frame's top edge (the
// counter's among them) would cover it.
constexpr int kHeaderHeight = 36;
constexpr int kFooterHeight = 136;

const char* colorFor(const std::string& typeId)
{
    static const char* const kPalette[] = {
        "#e6194b", "#3cb44b", "#ffe119", "#4363d8", "#f58231", "#911eb4", "#42d4f4", "#f032e6"};
    size_t hash = 0;
    for (const char c: typeId)
        hash = hash * 31 + static_cast<unsigned char>(c);
    return kPalette[hash % (sizeof(kPalette) / sizeof(kPalette[0]))];
}

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

std::string label(const testhost::MetadataItemRecord& item)
{
    std::string text = shortTypeName(item.typeId);
    for (const char* name: {"caption", "plate", "group"})
    {
        if (const testhost::AttributeRecord* attribute = item.attribute(name))
            text += " " + attribute->value;
    }
    for (const auto& attribute: item.attributes)
    {
        if (attribute.name != "caption" && attribute.name != "plate" && attribute.name != "group")
            text += " " + attribute.name + "=" + attribute.value;
    }
    return text;
}

std::string objectSvg(const LatestObject& object)
{
    const testhost::MetadataItemRecord& item = object.item;
    const nx::sdk::Rect& box = item.boundingBox;
    const double x = box.x * kWidth;
    const double y = box.y * kHeight;
    const double labelY = y > 24 ? y - 6 : y + 18;
    const std::string color = colorFor(item.typeId);
    return "  <g>\n"
        "    <title>" + xmlEscaped(item.typeId + " track " + uuidText(item.trackId) + " at "
            + clockText(object.timestampUs)) + "</title>\n"
        "    <rect x=\"" + number(x) + "\" y=\"" + number(y) + "\" width=\""
            + number(std::max(2.0, box.width * kWidth * 1.0)) + "\" height=\""
            + number(std::max(2.0, box.height * kHeight * 1.0)) + "\" fill=\"none\" stroke=\""
            + color + "\" stroke-width=\"3\"/>\n"
        "    <text x=\"" + number(x + 2) + "\" y=\"" + number(labelY) + "\" fill=\"" + color
            + "\" font-family=\"sans-serif\" font-size=\"18\">" + xmlEscaped(label(item))
            + "</text>\n"
        "  </g>\n";
}

} // namespace

std::string xmlEscaped(const std::string& text)
{
    std::string result;
    for (const char c: text)
    {
        switch (c)
        {
            case '&': result += "&amp;"; break;
            case '<': result += "&lt;"; break;
            case '>': result += "&gt;"; break;
            case '"': result += "&quot;"; break;
            case '\'': result += "&apos;"; break;
            default:
                // Control characters are not allowed in XML 1.0 text.
                if (static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n')
                    result += c;
        }
    }
    return result;
}

std::string renderCameraSvg(int cameraIndex, const CameraStats& camera)
{
    std::vector<const LatestObject*> objects;
    for (const auto& entry: camera.latestObjects)
        objects.push_back(&entry.second);
    std::sort(objects.begin(), objects.end(),
        [](const LatestObject* a, const LatestObject* b) { return a->sequence < b->sequence; });

    const std::string totalHeight = std::to_string(kHeaderHeight + kHeight + kFooterHeight);
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth)
        + "\" height=\"" + totalHeight + "\" viewBox=\"0 0 " + std::to_string(kWidth) + " "
        + totalHeight + "\">\n"
        "  <rect x=\"0\" y=\"0\" width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n"
        "  <text x=\"10\" y=\"26\" fill=\"#333\" font-family=\"sans-serif\" font-size=\"20\">"
        + xmlEscaped("camera " + std::to_string(cameraIndex) + " " + camera.cameraId + ", "
            + std::to_string(objects.size()) + " tracks, latest packet "
            + (camera.lastTimestampUs ? clockText(camera.lastTimestampUs) : "none"))
        + "</text>\n"
        // The frame in its own coordinates: a box's place is the server's, shifted as a whole.
        "  <g transform=\"translate(0," + std::to_string(kHeaderHeight) + ")\">\n"
        "  <rect x=\"0\" y=\"0\" width=\"" + std::to_string(kWidth) + "\" height=\""
        + std::to_string(kHeight) + "\" fill=\"#202428\" stroke=\"#888\"/>\n";
    for (const LatestObject* object: objects)
        svg += objectSvg(*object);
    svg += "  </g>\n";
    int y = kHeaderHeight + kHeight + 24;
    svg += "  <text x=\"10\" y=\"" + std::to_string(y)
        + "\" fill=\"#333\" font-family=\"sans-serif\" font-size=\"16\">Latest events:</text>\n";
    for (auto it = camera.latestEvents.rbegin(); it != camera.latestEvents.rend(); ++it)
    {
        y += 16;
        svg += "  <text x=\"24\" y=\"" + std::to_string(y)
            + "\" fill=\"#333\" font-family=\"sans-serif\" font-size=\"14\">"
            + xmlEscaped(clockText(it->timestampUs) + " " + it->text) + "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

} // namespace skyloom::host
