#include "ingest_counters.h"

#include <time.h>

namespace nx::vms_server_plugins::analytics::sample {

const std::array<DropReasonInfo, kDropReasonCount> kDropReasons{{
    {DropReason::beforeVideo, "before_video", "before the first video frame"},
    {DropReason::notJson, "not_json", "not JSON"},
    {DropReason::tooDeep, "too_deep", "nested too deep"},
    {DropReason::malformed, "malformed", "malformed member or element"},
    {DropReason::numberOutOfRange, "number_out_of_range", "number out of range"},
    {DropReason::otherCamera, "other_camera", "\"src_uuid\" not this camera"},
    {DropReason::boxOutsideFrame, "box_outside_frame", "box outside the frame"},
    {DropReason::listCut, "list_cut", "list cut at its limit"},
    {DropReason::textCut, "text_cut", "text cut at its limit"},
    {DropReason::queueFull, "queue_full", "queue full"},
    {DropReason::notAuthorised, "not_authorised", "camera not authorised for that AI engine"},
}};

void CameraCounters::received() noexcept
{
    m_received.fetch_add(1, std::memory_order_relaxed);
    // The coarse clock (a few milliseconds) costs a fraction of the precise one, per message.
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0)
    {
        m_lastMessageUnixMs.store(
            static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000,
            std::memory_order_relaxed);
    }
}

DropCounts CameraCounters::drops() const noexcept
{
    DropCounts counts{};
    for (size_t i = 0; i < kDropReasonCount; ++i)
        counts[i] = m_drops[i].load(std::memory_order_relaxed);
    return counts;
}

CameraSnapshot CameraCounters::snapshot(std::string cameraId) const
{
    CameraSnapshot result;
    result.cameraId = std::move(cameraId);
    result.received = m_received.load(std::memory_order_relaxed);
    result.converted = m_converted.load(std::memory_order_relaxed);
    result.objectPackets = m_objectPackets.load(std::memory_order_relaxed);
    result.eventPackets = m_eventPackets.load(std::memory_order_relaxed);
    result.lastMessageUnixMs = m_lastMessageUnixMs.load(std::memory_order_relaxed);
    result.drops = drops();
    return result;
}

EngineSnapshot EngineCounters::snapshot() const noexcept
{
    EngineSnapshot result;
    result.received = received.load(std::memory_order_relaxed);
    result.relayed = relayed.load(std::memory_order_relaxed);
    result.noCamera = noCamera.load(std::memory_order_relaxed);
    result.enginesConnected = enginesConnected.load(std::memory_order_relaxed);
    result.connections = connections.load(std::memory_order_relaxed);
    result.disconnects = disconnects.load(std::memory_order_relaxed);
    result.refusedPeers = refusedPeers.load(std::memory_order_relaxed);
    result.receiverRestarts = receiverRestarts.load(std::memory_order_relaxed);
    result.receiverLost = receiverLost.load(std::memory_order_relaxed);
    return result;
}

std::shared_ptr<CameraCounters> IngestCounters::camera(const std::string& cameraId)
{
    MutexLock lock(m_mutex);
    std::shared_ptr<CameraCounters>& counters = m_cameras[cameraId];
    if (!counters)
        counters = std::make_shared<CameraCounters>();
    return counters;
}

std::vector<CameraSnapshot> IngestCounters::cameras() const
{
    std::vector<std::pair<std::string, std::shared_ptr<CameraCounters>>> cameras;
    {
        MutexLock lock(m_mutex);
        cameras.assign(m_cameras.begin(), m_cameras.end());
    }
    std::vector<CameraSnapshot> result;
    result.reserve(cameras.size());
    for (const auto& [id, counters]: cameras)
        result.push_back(counters->snapshot(id));
    return result;
}

} // namespace nx::vms_server_plugins::analytics::sample
