// The plugin's metrics file as skyloom-host reads it: a strict parser of the Prometheus text
// format (version 0.0.4), and the plugin's ingest counters picked out of the samples, for the
// host's summary. Strict, because the host reads the file to report what the plugin did: a file
// cut short or written wrongly must show as an error, not as smaller numbers. Metric names the
// host does not know are skipped, so that a plugin may add metrics. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace skyloom::host {

struct MetricSample
{
    std::string name;
    /** In the order written; values unescaped. */
    std::vector<std::pair<std::string, std::string>> labels;
    double value = 0.0;

    /** The label's value, or null when the sample has no such label. */
    const std::string* label(const std::string& labelName) const;
};

struct ParsedMetrics
{
    std::vector<MetricSample> samples;
    /** Empty when the whole text was read; otherwise "line N: what is wrong". */
    std::string error;
};

/**
 * Every sample of the text. Comments ("# HELP", "# TYPE" and others) are checked where the
 * format gives them a form and otherwise skipped. A text that is not empty must end with a
 * line feed (a file cut short does not), and a series (name and labels) may occur only once.
 */
[[nodiscard]] ParsedMetrics parseMetricsText(const std::string& text);

/** One camera's counters. */
struct CameraCounts
{
    int64_t received = 0;
    int64_t converted = 0;
    int64_t objectPackets = 0;
    int64_t eventPackets = 0;
    /** Unix time of the camera's latest message, in seconds; 0 before the first. */
    double lastMessageS = 0.0;
    /** Per reason label (e.g. "not_json"); reasons without a sample are absent. */
    std::map<std::string, int64_t> drops;
    /** How late the AI engine answered in the plugin's last minute, in seconds; unset without
     * a delay, then engineDelayState says why ("other_clock", ...; empty: not in the file). */
    std::optional<double> engineDelayMedianS;
    std::optional<double> engineDelayP95S;
    std::string engineDelayState;
    int64_t withoutEngineTime = 0;
    int64_t outsideFrameHistory = 0;
};

struct EngineCounts
{
    int64_t received = 0;
    /** The bytes of those messages: what reached this server's service port. */
    int64_t receivedBytes = 0;
    int64_t relayed = 0;
    int64_t noCamera = 0;
    int64_t aiEnginesConnected = 0;
    int64_t aiEngineConnections = 0;
    int64_t aiEngineDisconnects = 0;
    int64_t refusedPeers = 0;
};

struct PluginCounters
{
    /** When the plugin wrote the file, in Unix time; unset if it does not say. */
    std::optional<double> writtenS;
    EngineCounts engine;
    /** By camera id as the plugin writes it: without braces. */
    std::map<std::string, CameraCounts> cameras;
};

struct ReadCounters
{
    std::optional<PluginCounters> counters;
    std::string error; //< One line when counters is null.
};

/**
 * The plugin's counters in a metrics text. Counts must be whole numbers of 0 or more, the known
 * metrics must carry the labels the plugin gives them, and the engine's received count must be
 * there (without it the text is not the plugin's).
 */
[[nodiscard]] ReadCounters countersFromMetrics(const std::string& text);

/**
 * The plugin's count of messages taken from the AI engine with how old it is, for the progress
 * line: "the plugin had received 120 messages by its metrics of 12 s ago" (`nowS`: Unix time).
 */
[[nodiscard]] std::string receivedText(const PluginCounters& counters, double nowS);

/**
 * For the summary: a table of the cameras of this run (server ids, in the run's order, found
 * under their ids without braces; a camera the plugin has no counters for shows zeros) with
 * their drops by reason, a line per camera of the AI engine's delay when there is one to tell,
 * then a line of the engine's counts.
 */
[[nodiscard]] std::string countersText(
    const PluginCounters& counters, const std::vector<std::string>& cameraIds);

} // namespace skyloom::host
