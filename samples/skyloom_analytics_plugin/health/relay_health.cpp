#include "relay_health.h"

#include <ctime>
#include <utility>

#include "common/server_text.h"
#include "engine_delay.h"
#include "envelope_form.h"
#include "metrics_file.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

bool sameCounts(const EngineSnapshot& a, const EngineSnapshot& b)
{
    return a.received == b.received && a.relayed == b.relayed && a.noCamera == b.noCamera
        && a.enginesConnected == b.enginesConnected && a.connections == b.connections
        && a.disconnects == b.disconnects && a.refusedPeers == b.refusedPeers
        && a.receiverRestarts == b.receiverRestarts && a.receiverLost == b.receiverLost
        && a.tooLarge == b.tooLarge;
}

bool sameCounts(const CameraSnapshot& a, const CameraSnapshot& b)
{
    return a.received == b.received && a.converted == b.converted
        && a.objectPackets == b.objectPackets && a.eventPackets == b.eventPackets
        && a.drops == b.drops && a.cuts == b.cuts
        && a.withoutEngineTime == b.withoutEngineTime
        && a.outsideFrameHistory == b.outsideFrameHistory
        && a.engineDelayMedianUs == b.engineDelayMedianUs
        && a.engineDelayP95Us == b.engineDelayP95Us
        && a.engineDelayState == b.engineDelayState;
}

/** Microseconds as milliseconds, rounded as the suggestion rounds them; "none" when unknown. */
std::string millisecondsOrNone(const std::optional<int64_t>& us)
{
    return us ? std::to_string(roundedMs(*us)) : "none";
}

/** The wall clock in Unix milliseconds. */
int64_t unixMsNow()
{
    timespec now{};
    if (clock_gettime(CLOCK_REALTIME, &now) != 0)
        return 0;
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

/** UTC, to the second, as ISO 8601; "never" for 0. */
std::string utcTime(int64_t unixMs)
{
    if (unixMs <= 0)
        return "never";
    const std::time_t seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm parts{};
    if (!gmtime_r(&seconds, &parts))
        return "never";
    char text[32];
    if (std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0)
        return "never";
    return text;
}

} // namespace

std::string engineHealthLine(const EngineSnapshot& engine)
{
    return "health engine received=" + std::to_string(engine.received)
        + " relayed=" + std::to_string(engine.relayed)
        + " no_camera=" + std::to_string(engine.noCamera)
        + " engines_connected=" + std::to_string(engine.enginesConnected)
        + " connections=" + std::to_string(engine.connections)
        + " disconnects=" + std::to_string(engine.disconnects)
        + " refused=" + std::to_string(engine.refusedPeers)
        + " receiver_restarts=" + std::to_string(engine.receiverRestarts)
        + " receiver_lost=" + std::to_string(engine.receiverLost)
        + " too_large=" + std::to_string(engine.tooLarge);
}

std::string cameraHealthLine(const CameraSnapshot& camera)
{
    std::string line = "health camera=" + textForLog(camera.cameraId, 128)
        + " received=" + std::to_string(camera.received)
        + " converted=" + std::to_string(camera.converted)
        + " object_packets=" + std::to_string(camera.objectPackets)
        + " event_packets=" + std::to_string(camera.eventPackets)
        + " last_message=" + utcTime(camera.lastMessageUnixMs);
    // Dropped messages by reason, then elements cut by reason; a reason that does both has
    // "cut_" before its cut count's key.
    for (const DropReasonInfo& reason: kDropReasons)
    {
        if (reason.dropsMessages)
        {
            line += std::string(" ") + reason.name + "="
                + std::to_string(camera.drops[static_cast<size_t>(reason.reason)]);
        }
    }
    for (const DropReasonInfo& reason: kDropReasons)
    {
        if (reason.cutsElements)
        {
            line += std::string(reason.dropsMessages ? " cut_" : " ") + reason.name + "="
                + std::to_string(camera.cuts[static_cast<size_t>(reason.reason)]);
        }
    }
    // How late the AI engine answers, and the messages whose time could not be placed.
    line += " engine_delay_median_ms=" + millisecondsOrNone(camera.engineDelayMedianUs)
        + " engine_delay_p95_ms=" + millisecondsOrNone(camera.engineDelayP95Us)
        + " engine_delay=" + delayStateName(camera.engineDelayState)
        + " no_engine_time=" + std::to_string(camera.withoutEngineTime)
        + " outside_frame_history=" + std::to_string(camera.outsideFrameHistory);
    return line;
}

RelayHealth::RelayHealth(const IngestCounters& counters, LineWriter writeLine,
    Clock::time_point now, QueuedBytes queuedBytes, const Intervals& intervals):
    m_counters(counters),
    m_writeLine(std::move(writeLine)),
    m_queuedBytes(std::move(queuedBytes)),
    m_healthInterval(intervals.health),
    m_metricsInterval(intervals.metrics),
    m_nextHealth(now + m_healthInterval),
    m_nextMetrics(now + m_metricsInterval)
{
}

void RelayHealth::setMetricsFile(const std::string& path, Clock::time_point now)
{
    if (path == m_metricsFile)
        return;
    m_metricsFile = path;
    m_metricsFailures.reset();
    m_metricsFailing = false;
    m_nextMetrics = now; //< A monitoring system sees the new file without waiting.
}

std::chrono::milliseconds RelayHealth::untilDue(Clock::time_point now) const
{
    Clock::time_point next = m_nextHealth;
    if (!m_metricsFile.empty() && m_nextMetrics < next)
        next = m_nextMetrics;
    if (next <= now)
        return std::chrono::milliseconds::zero();
    // Rounded up: waking a moment early would find nothing due and sleep again for 0 ms.
    return std::chrono::ceil<std::chrono::milliseconds>(next - now);
}

bool RelayHealth::tick(Clock::time_point now, bool final)
{
    const bool due = now >= m_nextHealth;
    if (final || due)
    {
        m_nextHealth = now + m_healthInterval;
        writeHealthLines(now);
    }
    if (!m_metricsFile.empty() && (final || now >= m_nextMetrics))
    {
        m_nextMetrics = now + m_metricsInterval;
        writeMetrics(now, final);
    }
    return due && !final;
}

void RelayHealth::writeHealthLines(Clock::time_point now)
{
    const EngineSnapshot engine = m_counters.engine().snapshot(now);
    const std::vector<CameraSnapshot> cameras = m_counters.cameras(now);
    std::vector<const CameraSnapshot*> changed;
    for (const CameraSnapshot& camera: cameras)
    {
        const auto last = m_lastCameras.find(camera.cameraId);
        if (last == m_lastCameras.end() || !sameCounts(last->second, camera))
            changed.push_back(&camera);
    }
    if (changed.empty() && m_lastEngine && sameCounts(*m_lastEngine, engine))
        return;
    m_writeLine(engineHealthLine(engine));
    for (const CameraSnapshot* camera: changed)
    {
        m_writeLine(cameraHealthLine(*camera));
        m_lastCameras[camera->cameraId] = *camera;
    }
    m_lastEngine = engine;
}

void RelayHealth::writeMetrics(Clock::time_point now, bool final)
{
    EngineState state = m_stateSource ? m_stateSource() : EngineState{};
    state.running = !final;
    std::vector<CameraSnapshot> cameras = m_counters.cameras(now);
    if (m_queuedBytes)
    {
        for (CameraSnapshot& camera: cameras)
            camera.queuedBytes = m_queuedBytes(camera.cameraId);
    }
    const MetricsSource source{m_counters.engineId(), SKYLOOM_VERSION, unixMsNow()};
    std::string error;
    if (writeMetricsFile(m_metricsFile, source.engineId,
        metricsText(source, m_counters.engine().snapshot(now), state, cameras), &error))
    {
        if (m_metricsFailing)
            m_writeLine("metrics file " + textForLog(m_metricsFile, 256) + " written again");
        m_metricsFailing = false;
        m_metricsFailures.reset();
        return;
    }
    m_metricsFailing = true;
    // Every 15 s the same failure would flood the log: each reason once while they last.
    if (!m_metricsFailures)
        m_metricsFailures.emplace(1, kFailureMemory, kFailureReasons);
    if (!m_metricsFailures->offer(error, Clock::now()).pass)
        return;
    m_writeLine("metrics file " + textForLog(m_metricsFile, 256) + " not written: " + error);
}

std::optional<std::string> NoCameraReport::noCamera(std::string_view message,
    const std::function<std::vector<std::string>()>& cameraIds, Clock::time_point now)
{
    const auto verdict = m_rate.offer({}, now);
    if (!verdict.pass)
        return std::nullopt;
    const EnvelopeForm form = diagnoseEnvelope(message, cameraIds());
    const uint64_t messages = verdict.leftOut + 1;
    std::string description = std::to_string(messages)
        + (messages == 1 ? " message" : " messages") + " matched no camera";
    description += form.cameraId.empty()
        ? "; the first names no camera id"
        : "; the first names \"" + form.cameraId + "\"";
    if (!form.hint.empty())
        description += ": " + form.hint;
    return description;
}

} // namespace nx::vms_server_plugins::analytics::sample
