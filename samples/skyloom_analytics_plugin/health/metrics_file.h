// The ingest counters as a file for a monitoring system: Prometheus' text exposition format,
// which node_exporter's textfile collector reads from a directory of *.prom files. The file is
// replaced whole, never rewritten in place, so that a reader never sees half of it, and only if
// it is one this plugin wrote for the same engine (its first line says so): an operator's file
// or a device node given by mistake stays as it is. Its directory is opened once per write
// (not through a symbolic link) and refused if another user may rename entries in it; the file
// is then looked at, its temporary made and renamed into place relative to that descriptor
// only (common/checked_directory.h), so that nothing is written outside the checked directory.
//
// Pure functions (the file functions only touch the given path and a temporary file beside it);
// any thread. The engine formats its snapshots and writes them from its own thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ingest_counters.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Whose file it is and when it was written. */
struct MetricsSource
{
    std::string engineId; //< As the server gave it; every sample carries it as "engine".
    std::string version; //< The plugin's.
    int64_t writtenUnixMs = 0;
};

/**
 * The counters and the engine's state in Prometheus text exposition format (what
 * node_exporter's textfile collector reads): first the line that names the file as this
 * plugin's (metricsFirstLine), then every family with its HELP and TYPE lines and all its
 * samples together, cameras in the given order. Label values: the engine's and the cameras' ids
 * without braces (metricsLabelId), the same form for both.
 */
[[nodiscard]] std::string metricsText(const MetricsSource& source, const EngineSnapshot& engine,
    const EngineState& state, const std::vector<CameraSnapshot>& cameras);

/** An id as the labels give it: without the braces around it ("{5a4d...}" gives "5a4d..."). */
[[nodiscard]] std::string metricsLabelId(const std::string& id);

/** The first line of the engine's metrics file, without its line feed. */
[[nodiscard]] std::string metricsFirstLine(const std::string& engineId);

/**
 * Why the file at `path` is not the engine's to replace; nothing if there is no file (or only a
 * dangling name, or its directory is still to be made) or it is a regular file whose first line
 * is the engine's (or that of an older version of the plugin). Its directory must be no symbolic
 * link and writable by no other user (othersMayWrite). The reason reads after the path ("is a
 * character device", "is in a directory that another user may write: ..."). Never throws; does
 * not wait on a FIFO or a device.
 */
[[nodiscard]] std::optional<std::string> foreignMetricsFile(
    const std::string& path, const std::string& engineId) noexcept;

/**
 * Replaces the engine's metrics file at `path` with `contents` unless foreignMetricsFile()
 * objects. On failure returns false and sets *error to a reason that names no temporary file, so
 * that the same fault gives the same text every time. Never throws.
 */
[[nodiscard]] bool writeMetricsFile(const std::string& path, const std::string& engineId,
    const std::string& contents, std::string* error) noexcept;

/**
 * Replaces the file at `path` atomically: opens its directory once (as writeMetricsFile checks
 * it), makes a new temporary file there (unpredictable name, O_EXCL, mode 0644) and renames it
 * over `path`'s name in that directory, without a flush to disk (the relay thread must not wait
 * for one). On failure removes the temporary file, returns false and sets *error (if given) to
 * a short reason with strerror text, which names the target but not the temporary file. Never
 * throws.
 */
[[nodiscard]] bool replaceFileAtomically(
    const std::string& path, const std::string& contents, std::string* error) noexcept;

} // namespace nx::vms_server_plugins::analytics::sample
