// The AI engine's own time of the video frame that a message describes, in microseconds. The
// engine writes it in up to three places; the first one present decides, in this order:
//   1. "event"."vid_ts_us": the frame's time, microseconds;
//   2. the top-level "timestamp": microseconds, a number or a decimal string;
//   3. "meta"."timestamp": seconds with a fraction, a number or a decimal string.
// A member that is null counts as absent. A present value that is not a whole count of
// microseconds within 64 bits (wrong type, a fraction in a microsecond field, not finite, too
// large, a string that is not plainly decimal) gives no engine time, without looking further:
// the places later in the order are other clocks, and mixing them would blur the delay that the
// agent measures. A message without an engine time is still converted; the agent counts it.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "json_values.h"

namespace nx::vms_server_plugins::analytics::sample {

struct EngineTime
{
    enum class Status { found, absent, malformed };

    Status status = Status::absent;
    int64_t us = 0; //< Valid when found.
    /** The member that decided, e.g. "event"."vid_ts_us"; empty when none is present. */
    std::string_view place;

    [[nodiscard]] bool found() const { return status == Status::found; }
};

/** The engine's time of the frame `message` describes. Never throws. */
[[nodiscard]] EngineTime engineTimeOf(JsonValue message) noexcept;

/** What unit a decimal text is in. */
enum class TimeUnit { microseconds, seconds };

/**
 * A decimal text as a count of microseconds: an optional minus sign and digits, and for seconds
 * optionally a point and a fraction (digits beyond the sixth are cut off). Nothing if it is not
 * such a text or does not fit 64 bits.
 */
[[nodiscard]] std::optional<int64_t> decimalMicroseconds(
    std::string_view text, TimeUnit unit) noexcept;

} // namespace nx::vms_server_plugins::analytics::sample
