// The names of the metrics file's families, written by the plugin and read by tools (the host's
// summary): each is spelt here once. Labels: "engine" (the engine id without braces) on every
// sample, so that the files of several servers can share one collector; "camera" (the camera id
// without braces, the same form) on every camera family, plus "kind" on kCameraPackets,
// "reason" (a DropReasonInfo name) on kCameraDropped and kCameraCut, "le" on the buckets of the
// histogram kCameraEngineDelay, "state" (a DelayState name) on kCameraEngineDelayState; "version"
// on kBuildInfo, "port" on kEngineListening, "mode" on kEngineReceiverMode and "reason" (a
// RefusalReasonInfo name) on kEngineRefused.
#pragma once

namespace nx::vms_server_plugins::analytics::sample::metric_names {

constexpr const char* kBuildInfo = "skyloom_build_info";
constexpr const char* kMetricsWritten = "skyloom_engine_metrics_written_timestamp_seconds";
constexpr const char* kEngineRunning = "skyloom_engine_running";
constexpr const char* kEngineListening = "skyloom_engine_listening";
constexpr const char* kEngineReceiverMode = "skyloom_engine_receiver_mode";
constexpr const char* kEngineEncryption = "skyloom_engine_encryption_enabled";
constexpr const char* kEngineAllowList = "skyloom_engine_allow_list_enabled";
constexpr const char* kEngineCopyOpen = "skyloom_engine_diagnostic_copy_open";
constexpr const char* kEngineCopyWatchers = "skyloom_engine_diagnostic_copy_watchers";
constexpr const char* kEngineQueueBudget = "skyloom_engine_queue_budget_bytes";
constexpr const char* kEngineReceived = "skyloom_engine_messages_received_total";
constexpr const char* kEngineReceivedBytes = "skyloom_engine_received_bytes_total";
constexpr const char* kEngineRelayed = "skyloom_engine_messages_relayed_total";
constexpr const char* kEngineNoCamera = "skyloom_engine_messages_no_camera_total";
constexpr const char* kEnginesConnected = "skyloom_engine_ai_engines_connected";
constexpr const char* kEngineConnections = "skyloom_engine_ai_engine_connections_total";
constexpr const char* kEngineDisconnects = "skyloom_engine_ai_engine_disconnects_total";
constexpr const char* kEngineRefused = "skyloom_engine_refused_peers_total";
constexpr const char* kEngineRefusedAddresses = "skyloom_engine_refused_addresses";
constexpr const char* kEngineReceiverRestarts = "skyloom_engine_receiver_restarts_total";
constexpr const char* kEngineReceiverLost = "skyloom_engine_receiver_messages_lost_total";
constexpr const char* kEngineTooLarge = "skyloom_engine_messages_too_large_total";

constexpr const char* kCameraReceived = "skyloom_camera_messages_received_total";
constexpr const char* kCameraConverted = "skyloom_camera_messages_converted_total";
constexpr const char* kCameraPackets = "skyloom_camera_packets_pushed_total";
constexpr const char* kCameraLastMessage = "skyloom_camera_last_message_timestamp_seconds";
constexpr const char* kCameraDropped = "skyloom_camera_messages_dropped_total";
constexpr const char* kCameraCut = "skyloom_camera_elements_cut_total";
constexpr const char* kCameraQueuedBytes = "skyloom_camera_queued_bytes";
constexpr const char* kCameraQueueBudget = "skyloom_camera_queue_budget_bytes";
constexpr const char* kCameraEngineDelay = "skyloom_camera_engine_delay_seconds";
constexpr const char* kCameraEngineDelayMedian = "skyloom_camera_engine_delay_median_seconds";
constexpr const char* kCameraEngineDelayP95 = "skyloom_camera_engine_delay_p95_seconds";
constexpr const char* kCameraEngineDelayState = "skyloom_camera_engine_delay_state";
constexpr const char* kCameraNoEngineTime = "skyloom_camera_messages_without_engine_time_total";
constexpr const char* kCameraOutsideHistory =
    "skyloom_camera_engine_time_outside_frame_history_total";

/** Every family above. */
inline constexpr const char* kAll[] = {
    kBuildInfo, kMetricsWritten, kEngineRunning, kEngineListening, kEngineReceiverMode,
    kEngineEncryption, kEngineAllowList, kEngineCopyOpen, kEngineCopyWatchers, kEngineQueueBudget,
    kEngineReceived, kEngineReceivedBytes, kEngineRelayed, kEngineNoCamera, kEnginesConnected,
    kEngineConnections, kEngineDisconnects, kEngineRefused, kEngineRefusedAddresses,
    kEngineReceiverRestarts, kEngineReceiverLost, kEngineTooLarge, kCameraReceived,
    kCameraConverted, kCameraPackets, kCameraLastMessage, kCameraDropped, kCameraCut,
    kCameraQueuedBytes, kCameraQueueBudget, kCameraEngineDelay, kCameraEngineDelayMedian,
    kCameraEngineDelayP95, kCameraEngineDelayState, kCameraNoEngineTime, kCameraOutsideHistory,
};

} // namespace nx::vms_server_plugins::analytics::sample::metric_names
