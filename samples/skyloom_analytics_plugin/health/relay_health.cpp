#include "relay_health.h"

#include <ctime>
#include <utility>

#include "common/server_text.h"
#include "envelope_form.h"
#include "metrics_file.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

bool sameCounts(const EngineSnapshot& a, const EngineSnapshot& b)
{
    return a.received == b.received && a.relayed == b.relayed && a.noCamera == b.noCamera
        && a.enginesConnected == b.enginesConnected && a.connections == b.connections
        && a.disconnects == b.disconnects && a.refusedPeers == b.refusedPeers
        && a.receiverRestarts == b.receiverRestarts && a.receiverLost == b.receiverLost;
}

bool sameCounts(const CameraSnapshot& a, const CameraSnapshot& b)
{
    return a.received == b.received && a.converted == b.converted
        && a.objectPackets == b.objectPackets && a.eventPackets == b.eventPackets
        && a.drops == b.drops;
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
        + " receiver_lost=" + std::to_string(engine.receiverLost);
}

std::string cameraHealthLine(const CameraSnapshot& camera)
{
    std::string line = "health camera=" + textForLog(camera.cameraId, 128)
        + " received=" + std::to_string(camera.received)
        + " converted=" + std::to_string(camera.converted)
        + " object_packets=" + std::to_string(camera.objectPackets)
        + " event_packets=" + std::to_string(camera.eventPackets)
        + " last_message=" + utcTime(camera.lastMessageUnixMs);
    for (const DropReasonInfo& reason: kDropReasons)
    {
        line += ' ';
        line += reason.name;
        line += '=';
        line += std::to_string(camera.drops[static_cast<size_t>(reason.reason)]);
    }
    return line;
}

RelayHealth::RelayHealth(
    const IngestCounters& counters, LineWriter writeLine, Clock::time_point now):
    m_counters(counters),
    m_writeLine(std::move(writeLine)),
    m_nextHealth(now + kHealthInterval),
    m_nextMetrics(now + kMetricsInterval)
{
}

void RelayHealth::setMetricsFile(const std::string& path, Clock::time_point now)
{
    if (path == m_metricsFile)
        return;
    m_metricsFile = path;
    m_metricsError.clear();
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

void RelayHealth::tick(Clock::time_point now, bool final)
{
    if (final || now >= m_nextHealth)
    {
        m_nextHealth = now + kHealthInterval;
        writeHealthLines();
    }
    if (!m_metricsFile.empty() && (final || now >= m_nextMetrics))
    {
        m_nextMetrics = now + kMetricsInterval;
        writeMetrics();
    }
}

void RelayHealth::writeHealthLines()
{
    const EngineSnapshot engine = m_counters.engine().snapshot();
    const std::vector<CameraSnapshot> cameras = m_counters.cameras();
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

void RelayHealth::writeMetrics()
{
    std::string error;
    if (replaceFileAtomically(m_metricsFile,
        metricsText(m_counters.engine().snapshot(), m_counters.cameras()), &error))
    {
        m_metricsError.clear();
        return;
    }
    // Every 15 s the same failure would flood the log: once until it changes or heals.
    if (error == m_metricsError)
        return;
    m_metricsError = error;
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
