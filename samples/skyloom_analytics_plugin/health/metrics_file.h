// The ingest counters as a file for a monitoring system: Prometheus' text exposition format,
// which node_exporter's textfile collector reads from a directory of *.prom files. The file is
// replaced whole, never rewritten in place, so that a reader never sees half of it.
//
// Pure functions (the file function only touches the given path and a temporary file beside it);
// any thread. The engine formats its snapshots and writes them from its own thread.
#pragma once

#include <string>
#include <vector>

#include "ingest_counters.h"

namespace nx::vms_server_plugins::analytics::sample {

/**
 * The counters in Prometheus text exposition format (what node_exporter's textfile collector
 * reads): every family with its HELP and TYPE lines and all its samples together, cameras in the
 * given order.
 */
[[nodiscard]] std::string metricsText(
    const EngineSnapshot& engine, const std::vector<CameraSnapshot>& cameras);

/**
 * Replaces the file at `path` atomically: writes a temporary file in the same directory (unique
 * name, mode 0644) and renames it over `path`, without a flush to disk (the relay thread must not
 * wait for one). On failure removes the temporary file, returns false and sets *error (if given)
 * to a short reason with strerror text. Never throws.
 */
[[nodiscard]] bool replaceFileAtomically(
    const std::string& path, const std::string& contents, std::string* error) noexcept;

} // namespace nx::vms_server_plugins::analytics::sample
