#include "ingest_counters.h"

#include <time.h>

#include <utility>

namespace nx::vms_server_plugins::analytics::sample {

const std::array<DropReasonInfo, kDropReasonCount> kDropReasons{{
    // Reason, name, text, drops messages, cuts elements.
    {DropReason::beforeVideo, "before_video", "before the first video frame", true, false},
    {DropReason::notJson, "not_json", "not JSON", true, false},
    {DropReason::tooDeep, "too_deep", "nested too deep", true, false},
    {DropReason::malformed, "malformed", "malformed member or element", true, true},
    {DropReason::numberOutOfRange, "number_out_of_range", "number out of range", true, true},
    {DropReason::otherCamera, "other_camera", "\"src_uuid\" not this camera", true, false},
    {DropReason::boxOutsideFrame, "box_outside_frame", "box outside the frame", true, true},
    // A cut keeps the message: the rest of the list, or the text shortened, is delivered.
    {DropReason::listCut, "list_cut", "list cut at its limit", false, true},
    {DropReason::textCut, "text_cut", "text cut at its limit", false, true},
    {DropReason::queueFull, "queue_full", "queue full", true, false},
    {DropReason::notAuthorised, "not_authorised", "camera not authorised for that AI engine",
        true, false},
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

void CameraCounters::withoutEngineTime(Clock::time_point now) noexcept
{
    bump(m_withoutEngineTime);
    MutexLock lock(m_delayMutex);
    m_delays.recordNoEngineTime(now);
}

void CameraCounters::engineDelay(int64_t delayUs, Clock::time_point now) noexcept
{
    MutexLock lock(m_delayMutex);
    m_delays.record(delayUs, now);
    if (sameClock(delayUs))
        m_delayHistogram.observe(delayUs);
}

DelayMinute CameraCounters::delayMinute(Clock::time_point now) const
{
    MutexLock lock(m_delayMutex);
    return m_delays.minute(now);
}

DropCounts CameraCounters::load(const AtomicCounts& counts) noexcept
{
    DropCounts result{};
    for (size_t i = 0; i < kDropReasonCount; ++i)
        result[i] = counts[i].load(std::memory_order_relaxed);
    return result;
}

CameraSnapshot CameraCounters::snapshot(std::string cameraId, Clock::time_point now) const
{
    CameraSnapshot result;
    result.cameraId = std::move(cameraId);
    result.received = m_received.load(std::memory_order_relaxed);
    result.converted = m_converted.load(std::memory_order_relaxed);
    result.objectPackets = m_objectPackets.load(std::memory_order_relaxed);
    result.eventPackets = m_eventPackets.load(std::memory_order_relaxed);
    result.lastMessageUnixMs = m_lastMessageUnixMs.load(std::memory_order_relaxed);
    result.drops = drops();
    result.cuts = cuts();
    result.withoutEngineTime = m_withoutEngineTime.load(std::memory_order_relaxed);
    result.outsideFrameHistory = m_outsideFrameHistory.load(std::memory_order_relaxed);
    DelayMinute minute;
    {
        MutexLock lock(m_delayMutex);
        minute = m_delays.minute(now);
        result.engineDelayHistogram = m_delayHistogram;
    }
    result.engineDelayState = minute.state();
    if (minute.delay)
    {
        result.engineDelayMedianUs = minute.delay->medianUs;
        result.engineDelayP95Us = minute.delay->p95Us;
    }
    return result;
}

void RefusalCounters::refused(
    const std::string& address, const std::string& reason, Clock::time_point now)
{
    size_t index = kRefusalReasonCount - 1;
    for (size_t i = 0; i + 1 < kRefusalReasonCount; ++i)
    {
        if (reason == kRefusalReasons[i].text)
            index = i;
    }
    bump(m_counts[index]);
    MutexLock lock(m_mutex);
    const auto found = m_recent.find(address);
    if (found != m_recent.end())
    {
        found->second = now;
        return;
    }
    if (m_recent.size() >= kMaxAddresses)
    {
        // Full: the stale ones go first; if none is, the address is not told apart.
        for (auto it = m_recent.begin(); it != m_recent.end();)
            it = now - it->second >= kWindow ? m_recent.erase(it) : std::next(it);
        if (m_recent.size() >= kMaxAddresses)
            return;
    }
    m_recent.emplace(address, now);
}

std::array<uint64_t, kRefusalReasonCount> RefusalCounters::counts() const noexcept
{
    std::array<uint64_t, kRefusalReasonCount> result{};
    for (size_t i = 0; i < kRefusalReasonCount; ++i)
        result[i] = m_counts[i].load(std::memory_order_relaxed);
    return result;
}

uint64_t RefusalCounters::recentAddresses(Clock::time_point now) const
{
    MutexLock lock(m_mutex);
    for (auto it = m_recent.begin(); it != m_recent.end();)
        it = now - it->second >= kWindow ? m_recent.erase(it) : std::next(it);
    return m_recent.size();
}

EngineSnapshot EngineCounters::snapshot(Clock::time_point now) const
{
    EngineSnapshot result;
    result.received = received.load(std::memory_order_relaxed);
    result.receivedBytes = receivedBytes.load(std::memory_order_relaxed);
    result.relayed = relayed.load(std::memory_order_relaxed);
    result.noCamera = noCamera.load(std::memory_order_relaxed);
    result.enginesConnected = enginesConnected.load(std::memory_order_relaxed);
    result.connections = connections.load(std::memory_order_relaxed);
    result.disconnects = disconnects.load(std::memory_order_relaxed);
    result.refusedPeers = refusedPeers.load(std::memory_order_relaxed);
    result.receiverRestarts = receiverRestarts.load(std::memory_order_relaxed);
    result.receiverLost = receiverLost.load(std::memory_order_relaxed);
    result.tooLarge = tooLarge.load(std::memory_order_relaxed);
    result.refusedByReason = refusals.counts();
    result.refusedAddresses = refusals.recentAddresses(now);
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

std::vector<CameraSnapshot> IngestCounters::cameras(Clock::time_point now) const
{
    std::vector<std::pair<std::string, std::shared_ptr<CameraCounters>>> cameras;
    {
        MutexLock lock(m_mutex);
        cameras.assign(m_cameras.begin(), m_cameras.end());
    }
    std::vector<CameraSnapshot> result;
    result.reserve(cameras.size());
    for (const auto& [id, counters]: cameras)
        result.push_back(counters->snapshot(id, now));
    return result;
}

void IngestCounters::setEngineId(std::string engineId)
{
    MutexLock lock(m_mutex);
    m_engineId = std::move(engineId);
}

std::string IngestCounters::engineId() const
{
    MutexLock lock(m_mutex);
    return m_engineId;
}

} // namespace nx::vms_server_plugins::analytics::sample
