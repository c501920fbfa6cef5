#include "packet_view.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include <nlohmann/json.hpp>

namespace skyloom::host {

using testhost::MetadataItemRecord;
using testhost::MetadataPacketRecord;

namespace {

std::string hexDigits(const nx::sdk::Uuid& uuid)
{
    std::string text;
    char byte[3];
    for (int i = 0; i < nx::sdk::Uuid::kSize; ++i)
    {
        std::snprintf(byte, sizeof(byte), "%02X", uuid[i]);
        text += byte;
    }
    return text;
}

std::string number(float value)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.4f", static_cast<double>(value));
    return text;
}

std::string boxText(const nx::sdk::Rect& box)
{
    return "box " + number(box.x) + "," + number(box.y) + " " + number(box.width) + "x"
        + number(box.height);
}

std::string quoted(const std::string& text)
{
    return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string objectText(const MetadataItemRecord& item)
{
    std::string text = item.typeId + " track " + shortTrackId(item.trackId) + " "
        + boxText(item.boundingBox);
    for (const auto& attribute: item.attributes)
        text += " " + attribute.name + "=" + quoted(attribute.value);
    return text;
}

std::string eventText(const MetadataItemRecord& item)
{
    std::string text = item.typeId + " caption=" + quoted(item.caption)
        + " description=" + quoted(item.description);
    if (!item.isActive)
        text += " (inactive)";
    for (const auto& attribute: item.attributes)
        text += " " + attribute.name + "=" + quoted(attribute.value);
    return text;
}

nlohmann::json attributesJson(const MetadataItemRecord& item)
{
    nlohmann::json attributes = nlohmann::json::array();
    for (const auto& attribute: item.attributes)
    {
        attributes.push_back({{"name", attribute.name}, {"value", attribute.value},
            {"type", static_cast<int>(attribute.type)}});
    }
    return attributes;
}

nlohmann::json itemJson(MetadataPacketRecord::Kind kind, const MetadataItemRecord& item)
{
    nlohmann::json json{{"typeId", item.typeId}};
    if (kind == MetadataPacketRecord::Kind::object)
    {
        json["trackId"] = uuidText(item.trackId);
        const nx::sdk::Rect& box = item.boundingBox;
        json["box"] = {box.x, box.y, box.width, box.height};
    }
    else
    {
        json["caption"] = item.caption;
        json["description"] = item.description;
        json["isActive"] = item.isActive;
    }
    json["attributes"] = attributesJson(item);
    return json;
}

} // namespace

std::string uuidText(const nx::sdk::Uuid& uuid)
{
    const std::string hex = hexDigits(uuid);
    return "{" + hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-"
        + hex.substr(16, 4) + "-" + hex.substr(20) + "}";
}

std::string shortTrackId(const nx::sdk::Uuid& uuid)
{
    const std::string hex = hexDigits(uuid);
    return hex.substr(0, 8) + ".." + hex.substr(24);
}

std::string shortTypeName(const std::string& typeId)
{
    std::string name = typeId.substr(typeId.rfind('.') + 1);
    if (name.rfind("obj_", 0) == 0 || name.rfind("evt_", 0) == 0)
        name.erase(0, 4);
    return name;
}

std::string clockText(int64_t timestampUs)
{
    const std::time_t seconds = static_cast<std::time_t>(timestampUs / 1000000);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
        local.tm_sec, static_cast<int>((timestampUs % 1000000) / 1000));
    return text;
}

const char* kindName(MetadataPacketRecord::Kind kind)
{
    switch (kind)
    {
        case MetadataPacketRecord::Kind::object: return "object";
        case MetadataPacketRecord::Kind::event: return "event";
        case MetadataPacketRecord::Kind::unknown: break;
    }
    return "unknown";
}

std::string packetLine(const PacketEvent& event)
{
    const MetadataPacketRecord& packet = event.packet;
    std::ostringstream line;
    line << clockText(packet.timestampUs) << " cam" << event.cameraIndex << " "
        << kindName(packet.kind);
    if (packet.items.empty())
        line << " (no items)";
    for (size_t i = 0; i < packet.items.size(); ++i)
    {
        line << (i == 0 ? " " : " | ");
        line << (packet.kind == MetadataPacketRecord::Kind::event
            ? eventText(packet.items[i]) : objectText(packet.items[i]));
    }
    if (packet.unreadableItems > 0)
        line << " (" << packet.unreadableItems << " unreadable items)";
    return line.str();
}

std::string packetJsonLine(const PacketEvent& event)
{
    const MetadataPacketRecord& packet = event.packet;
    nlohmann::json items = nlohmann::json::array();
    for (const MetadataItemRecord& item: packet.items)
        items.push_back(itemJson(packet.kind, item));
    const nlohmann::json json{
        {"camera", event.cameraIndex},
        {"cameraId", event.cameraId},
        {"kind", kindName(packet.kind)},
        {"timestampUs", packet.timestampUs},
        {"time", clockText(packet.timestampUs)},
        {"durationUs", packet.durationUs},
        {"items", items},
        {"unreadableItems", packet.unreadableItems},
    };
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace skyloom::host
