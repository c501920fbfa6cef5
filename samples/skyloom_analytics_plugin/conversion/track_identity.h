// Track UUIDs of one camera. The AI engine names tracks by integers; the server by UUIDs. A
// track UUID is the first 12 bytes of the camera's random base followed by the integer as a
// big-endian 32-bit number. The base is renewed when a message for the camera arrives after 30
// seconds or more of silence, so that the engine's reuse of an integer after a pause starts a
// new track on the server. Bases and the counter object's UUID come from the operating
// system's random source: they differ between cameras, processes, restarts and servers, and
// the process's rand() sequence is left alone.
//
// Threads: one owner thread (the camera's receive thread) after construction.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include <nx/sdk/uuid.h>

#include "common/clock.h"

namespace nx::vms_server_plugins::analytics::sample {

/** A version-4 UUID from the operating system's random source. Any thread. */
[[nodiscard]] nx::sdk::Uuid systemRandomUuid();

class TrackIdentity
{
public:
    /** Silence after which the next message renews the base. */
    static constexpr std::chrono::seconds kRenewalSilence{30};

    /** `now` defaults to Clock::now; tests give one they can advance. */
    explicit TrackIdentity(NowSource now = {});

    /**
     * Notes that a message for the camera arrived: the base is renewed if the previous one
     * arrived kRenewalSilence or more ago. True if it was.
     */
    bool noteMessage() { return noteMessage(m_now()); }
    /** noteMessage() with the time of this source read already (one read per message). */
    bool noteMessage(Clock::time_point now);

    [[nodiscard]] nx::sdk::Uuid makeTrackId(int trackId) const;
    void renewBase();

    const nx::sdk::Uuid& counterTrackId() const { return m_counterTrackId; }
    /** The base in its 38-character text form (braces, hyphens, upper-case digits). */
    const std::string& baseString() const { return m_baseString; }

private:
    const NowSource m_now;
    nx::sdk::Uuid m_counterTrackId;
    nx::sdk::Uuid m_base;
    std::string m_baseString;
    Clock::time_point m_lastMessage;
    bool m_anyMessage = false;
};

} // namespace nx::vms_server_plugins::analytics::sample
