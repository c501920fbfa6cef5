// The relay's table of the cameras that its agents subscribed for, by subscription prefix
// (`{"src_uuid":"<id>"`, learnt from the agents' subscriptions): each camera's byte account,
// its ingest counters, and the messages dropped because its queue was full. A message belongs to
// the camera whose prefix begins it, found without parsing it. A camera's first queue drop is
// logged at once; later ones at most once per kReportInterval, when the next message for the
// camera comes (dropped or delivered), and what is left when the agent unsubscribes or the
// relay ends: a flood costs a few log lines, never one per message, and needs no timer.
//
// Threads: the relay thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "health/ingest_counters.h"
#include "health/rate_limiter.h"
#include "queue_budget.h"

namespace nx::vms_server_plugins::analytics::sample {

class CameraQueues
{
public:
    using Clock = sample::Clock;
    static constexpr std::chrono::seconds kReportInterval{10};

    struct Camera
    {
        std::string id; //< As the prefix names it.
        std::shared_ptr<QueueBudget::Account> account;
        std::shared_ptr<CameraCounters> counters;
        int64_t total = 0; //< Queue drops since the camera subscribed.
    };

    struct Report
    {
        std::string cameraId;
        int64_t dropped = 0; //< Since the previous report.
        int64_t total = 0; //< Since the camera subscribed.
    };

    void subscribe(const std::string& prefix, std::shared_ptr<QueueBudget::Account> account,
        std::shared_ptr<CameraCounters> counters);

    /** The report of what is left unreported, if anything; nothing if it was not subscribed. */
    [[nodiscard]] std::optional<Report> unsubscribe(const std::string& prefix);

    /** The camera whose prefix begins the message; null if none does. */
    [[nodiscard]] Camera* find(std::string_view message);

    /** Counts one queue drop of the camera; a report if one is due. */
    [[nodiscard]] std::optional<Report> dropped(Camera& camera, Clock::time_point now);

    /** A message of the camera went through; a report of its earlier drops if one is due. */
    [[nodiscard]] std::optional<Report> delivered(Camera& camera, Clock::time_point now);

    /** True while some camera has unreported drops: only then does a delivery need a look. */
    [[nodiscard]] bool anyUnreported() const { return m_reports.anyLeftOut(); }

    /** Reports of every camera with unreported drops (the relay stops). */
    [[nodiscard]] std::vector<Report> takeAllReports();

    /** The ids of the subscribed cameras. */
    [[nodiscard]] std::vector<std::string> cameraIds() const;

    /** The subscription prefixes of the subscribed cameras. */
    [[nodiscard]] std::vector<std::string> prefixes() const;

    /** The camera id in a subscription prefix (the prefix itself if it has another form). */
    [[nodiscard]] static std::string cameraIdOf(std::string_view prefix);

private:
    /** The report of `dropped` queue drops of the camera, if there were any. */
    static std::optional<Report> report(const Camera& camera, uint64_t dropped);

    /** Whether the camera id in a prefix holds a quote: then find() must compare whole prefixes. */
    static bool isUnusual(std::string_view prefix);

    /** By prefix; std::less<> finds by string_view, without a string per message. */
    std::map<std::string, Camera, std::less<>> m_cameras;
    int m_unusualPrefixes = 0;
    /**
     * One kind per camera, by its entry in m_cameras (whose address holds until unsubscribe()
     * forgets it): as many kinds as subscriptions, so no bound of its own. Each drop is a line;
     * the one let through reports itself and those left out before it.
     */
    RateLimiter<const Camera*> m_reports{1, kReportInterval};
};

} // namespace nx::vms_server_plugins::analytics::sample
