// When and what one camera tells the operator about the messages it lost: the text of its
// "Messages dropped" diagnostic event, at most once per kInterval, with the counts by reason
// since the previous event (messages dropped, then elements cut from delivered messages) and the
// first loss this camera's thread saw (with its detail). The
// counts come from the camera's shared counters, so the relay's drops (queue full, camera not
// authorised) are told as well. Drops before the first video frame are counted at once, but told
// only when the camera has had messages for kVideoGrace without any frame: every camera loses a
// few at each start, before its first frame, and that is no news for the operator.
//
// Threads: one thread at a time (the camera's receive thread); the counters are shared.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "ingest_counters.h"
#include "rate_limiter.h"

namespace nx::vms_server_plugins::analytics::sample {

class DropReport
{
public:
    static constexpr std::chrono::seconds kInterval{60};
    static constexpr std::chrono::seconds kVideoGrace{60};
    static constexpr size_t kMaxDetailBytes = 256;

    /** `now` times the events; tests give one they can advance. */
    DropReport(std::shared_ptr<CameraCounters> counters, NowSource now = {});

    CameraCounters& counters() { return *m_counters; }
    const CameraCounters& counters() const { return *m_counters; }

    /** Counts dropped messages; the first loss since the last event is kept with its detail. */
    void drop(DropReason reason, uint64_t count, std::string_view detail) noexcept;
    /** Counts elements cut from a delivered message; kept as drop() keeps it. */
    void cut(DropReason reason, uint64_t count, std::string_view detail) noexcept;

    /** A message arrived; `videoSeen`: whether the camera has had any video frame. */
    void messageArrived(bool videoSeen) noexcept;

    /** The event's description if one is due now; what it tells is then taken as told. */
    [[nodiscard]] std::optional<std::string> due(bool videoSeen);

private:
    void keepFirst(DropReason reason, std::string_view detail) noexcept;
    /** The reasons' texts and counts since the last event, and takes them as told. */
    static std::string tell(const DropCounts& news, DropCounts& told);

    const std::shared_ptr<CameraCounters> m_counters;
    const NowSource m_now;
    /** What the events have told so far (or was counted before this report), per reason. */
    DropCounts m_told;
    DropCounts m_toldCuts;
    /** One event per kInterval; the counts it tells are the counters', not the limiter's. */
    RateLimiter<SingleKind> m_rate{1, kInterval};
    bool m_anyEvent = false;
    /** The first message that found the camera without video; unset once video came. */
    std::optional<Clock::time_point> m_firstMessageWithoutVideo;
    std::optional<DropReason> m_firstReason;
    bool m_firstIsCut = false;
    std::string m_firstDetail;
};

} // namespace nx::vms_server_plugins::analytics::sample
