// The log lines of one camera's message handling, held to a rate: an AI engine that sends the
// same malformed message a thousand times a second must not fill the disk. Each kind of line
// (operation and what happened) is written at most kLinesPerWindow times per kWindow; the lines
// left out are counted, and the next line of that kind written says how many there were. Texts
// from the network in a line are escaped and bounded. Besides the cameras, the relay, the
// in-process service port and the ZAP handler hold their repeatable failures to the same rate.
//
// Threads: one thread at a time, the owner's: a camera's receive thread, the engine's relay
// thread (for the in-process service port too) or the ZAP handler's thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include <nx/sdk/helpers/log_utils.h>

#include "common/clock.h"
#include "rate_limiter.h"

namespace nx::vms_server_plugins::analytics::sample {

class CameraLog
{
public:
    static constexpr int kLinesPerWindow = 5;
    static constexpr std::chrono::seconds kWindow{60};

    /**
     * `logUtils` is the owner's and must outlive this object. `now` times the rate; tests give
     * one they can advance.
     */
    explicit CameraLog(const nx::sdk::LogUtils& logUtils, NowSource now = {});
    /** Says how many lines of each kind were left out since they were last written. */
    ~CameraLog();

    CameraLog(const CameraLog&) = delete;
    CameraLog& operator=(const CameraLog&) = delete;

    /**
     * Writes the print prefix, `operation`, `what` and `detail` as one line unless the kind
     * (`operation` and `what`, static texts that outlive this object) is over its rate.
     * `detail` comes from the network: it is escaped and cut to 1 KiB. Never throws.
     */
    void write(const char* operation, const char* what, std::string_view detail) noexcept;

    /** Lines left out since the start, of all kinds. */
    uint64_t linesLeftOut() const { return m_linesLeftOut; }

private:
    /** Operation and what happened. */
    using Kind = std::pair<std::string_view, std::string_view>;

    const NowSource m_now;
    const nx::sdk::LogUtils& m_logUtils;
    RateLimiter<Kind> m_rate{kLinesPerWindow, kWindow};
    uint64_t m_linesLeftOut = 0;
};

} // namespace nx::vms_server_plugins::analytics::sample
