#include "collector.h"

#include <algorithm>
#include <set>

#include "text_format.h"

namespace skyloom::host {

using testhost::MetadataItemRecord;
using testhost::MetadataPacketRecord;

Collector::Collector(
    const std::vector<std::string>& cameraIds, std::vector<Expectation> expectations):
    m_expectations(std::move(expectations))
{
    for (const std::string& id: cameraIds)
    {
        CameraStats camera;
        camera.cameraId = id;
        camera.expectationMatches.assign(m_expectations.size(), 0);
        m_stats.cameras.push_back(std::move(camera));
    }
}

void Collector::addPacket(size_t cameraIndex, const MetadataPacketRecord& packet)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (cameraIndex >= m_stats.cameras.size())
        return;
    CameraStats& camera = m_stats.cameras[cameraIndex];
    ++camera.packets;
    camera.lastTimestampUs = std::max(camera.lastTimestampUs, packet.timestampUs);
    const bool isEvent = packet.kind == MetadataPacketRecord::Kind::event;
    if (isEvent)
        ++camera.eventPackets;
    else
        ++camera.objectPackets;
    if (!isEvent && packet.items.empty())
        ++camera.emptyObjectPackets;

    for (const MetadataItemRecord& item: packet.items)
    {
        ++camera.itemsByType[item.typeId];
        if (isEvent)
        {
            ++camera.events;
            camera.latestEvents.push_back(
                {packet.timestampUs, item.caption + " (" + item.typeId + ")"});
            if (camera.latestEvents.size() > kMaxLatestEvents)
                camera.latestEvents.erase(camera.latestEvents.begin());
        }
        else
        {
            ++camera.objects;
            rememberObject(&camera, item, packet.timestampUs);
        }
        for (size_t i = 0; i < m_expectations.size(); ++i)
        {
            if (matches(m_expectations[i], packet.kind, item))
                ++camera.expectationMatches[i];
        }
    }
}

void Collector::rememberObject(CameraStats* camera, const MetadataItemRecord& item,
    int64_t timestampUs)
{
    camera->latestObjects[item.trackId] = LatestObject{item, timestampUs, ++m_sequence};
    if (camera->latestObjects.size() <= kMaxLatestObjects)
        return;
    const auto oldest = std::min_element(
        camera->latestObjects.begin(), camera->latestObjects.end(),
        [](const auto& a, const auto& b) { return a.second.sequence < b.second.sequence; });
    camera->latestObjects.erase(oldest);
}

RunStats Collector::snapshot() const
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    return m_stats;
}

std::vector<std::string> unmetExpectations(
    const RunStats& stats, const std::vector<Expectation>& expectations)
{
    std::vector<std::string> unmet;
    for (size_t c = 0; c < stats.cameras.size(); ++c)
    {
        const CameraStats& camera = stats.cameras[c];
        for (size_t i = 0; i < expectations.size() && i < camera.expectationMatches.size(); ++i)
        {
            const int got = camera.expectationMatches[i];
            if (got < expectations[i].minCount)
            {
                unmet.push_back("camera " + std::to_string(c + 1) + ": " + expectations[i].name
                    + " (got " + std::to_string(got) + " of "
                    + std::to_string(expectations[i].minCount) + ")");
            }
        }
    }
    return unmet;
}

namespace {

std::string cameraTable(const RunStats& stats)
{
    std::string text = format("%-4s %-38s %7s %8s %7s %7s %7s\n", "cam", "device id",
        "packets", "obj.pkts", "objects", "ev.pkts", "events");
    for (size_t c = 0; c < stats.cameras.size(); ++c)
    {
        const CameraStats& camera = stats.cameras[c];
        text += format("%-4zu %-38s %7lld %8lld %7lld %7lld %7lld\n", c + 1,
            camera.cameraId.c_str(), static_cast<long long>(camera.packets),
            static_cast<long long>(camera.objectPackets), static_cast<long long>(camera.objects),
            static_cast<long long>(camera.eventPackets), static_cast<long long>(camera.events));
    }
    return text;
}

std::string typeTable(const RunStats& stats)
{
    std::set<std::string> typeIds;
    for (const CameraStats& camera: stats.cameras)
    {
        for (const auto& entry: camera.itemsByType)
            typeIds.insert(entry.first);
    }
    if (typeIds.empty())
        return "no metadata items\n";
    std::string text = format("%-38s", "items per type id");
    for (size_t c = 0; c < stats.cameras.size(); ++c)
        text += format(" %6s", ("cam" + std::to_string(c + 1)).c_str());
    text += "\n";
    for (const std::string& typeId: typeIds)
    {
        text += format("%-38s", typeId.c_str());
        for (const CameraStats& camera: stats.cameras)
        {
            const auto it = camera.itemsByType.find(typeId);
            text += format(" %6lld", it == camera.itemsByType.end() ? 0LL
                : static_cast<long long>(it->second));
        }
        text += "\n";
    }
    return text;
}

} // namespace

std::string summaryText(const RunStats& stats)
{
    std::string text = cameraTable(stats) + "\n" + typeTable(stats);
    int64_t emptyPackets = 0;
    for (const CameraStats& camera: stats.cameras)
        emptyPackets += camera.emptyObjectPackets;
    if (emptyPackets > 0)
    {
        text += format("object packets without objects (every detection filtered out): %lld\n",
            static_cast<long long>(emptyPackets));
    }
    return text;
}

} // namespace skyloom::host
