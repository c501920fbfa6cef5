// What an engine's relay tells about the ingest beside moving messages. RelayHealth writes the
// health lines (every health interval, one for the engine and one per camera whose counters
// changed, nothing while nothing changed) and the metrics file (every metrics interval while a
// path is set, and once more at the end; a failure to write it is logged once per reason, and
// its end once). NoCameraReport tells the operator about messages that
// matched no camera, at most once per kInterval, with what is wrong with the first one's form.
//
// Threads: the relay thread only; the counters they read are shared atomics.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/intervals.h"
#include "ingest_counters.h"
#include "rate_limiter.h"

namespace nx::vms_server_plugins::analytics::sample {

class RelayHealth
{
public:
    using Clock = sample::Clock;

    /** Writes one log line (without the print prefix). */
    using LineWriter = std::function<void(const std::string& line)>;
    /** The bytes queued for the camera with this id now. */
    using QueuedBytes = std::function<int64_t(const std::string& cameraId)>;

    /** `intervals`: its health and metrics intervals are used. */
    RelayHealth(const IngestCounters& counters, LineWriter writeLine, Clock::time_point now,
        QueuedBytes queuedBytes = {}, const Intervals& intervals = kShippedIntervals);

    /** What the relay is now, asked at each write of the metrics file. */
    using StateSource = std::function<EngineState()>;
    void setStateSource(StateSource source) { m_stateSource = std::move(source); }

    /** The metrics file's path; empty: none. A new path is written at the next tick. */
    void setMetricsFile(const std::string& path, Clock::time_point now);

    /** How long the relay may sleep before the next tick is due. */
    [[nodiscard]] std::chrono::milliseconds untilDue(Clock::time_point now) const;

    /**
     * Writes what is due; `final` (the relay ends): everything that changed, now. True when the
     * health interval came round (not for `final`): the relay's periodic checks go with it.
     */
    bool tick(Clock::time_point now, bool final = false);

private:
    /** Each summarises the cameras' delays over the minute up to `now`. */
    void writeHealthLines(Clock::time_point now);
    /** `final`: the engine is released; the file says so. */
    void writeMetrics(Clock::time_point now, bool final);

    const IngestCounters& m_counters;
    const LineWriter m_writeLine;
    const QueuedBytes m_queuedBytes;
    StateSource m_stateSource;
    const std::chrono::milliseconds m_healthInterval;
    const std::chrono::milliseconds m_metricsInterval;
    Clock::time_point m_nextHealth;
    Clock::time_point m_nextMetrics;
    std::string m_metricsFile;
    /** Each reason of a failure logged once (while the failures last; a success forgets). */
    static constexpr Clock::duration kFailureMemory = std::chrono::hours(24 * 365);
    static constexpr size_t kFailureReasons = 64;
    std::optional<RateLimiter<std::string>> m_metricsFailures;
    bool m_metricsFailing = false;
    std::optional<EngineSnapshot> m_lastEngine;
    std::map<std::string, CameraSnapshot> m_lastCameras;
};

class NoCameraReport
{
public:
    using Clock = sample::Clock;
    static constexpr std::chrono::seconds kInterval{60};

    /**
     * Counts a message that matched no camera. Returns the event's description when one is
     * due: the messages since the last one, the camera the message names, and the hint about its
     * form (from the subscribed `cameraIds`, asked for only then).
     */
    [[nodiscard]] std::optional<std::string> noCamera(std::string_view message,
        const std::function<std::vector<std::string>()>& cameraIds, Clock::time_point now);

private:
    RateLimiter<SingleKind> m_rate{1, kInterval};
};

/** One health line's key=value text for the engine, and for a camera. */
[[nodiscard]] std::string engineHealthLine(const EngineSnapshot& engine);
[[nodiscard]] std::string cameraHealthLine(const CameraSnapshot& camera);

} // namespace nx::vms_server_plugins::analytics::sample
