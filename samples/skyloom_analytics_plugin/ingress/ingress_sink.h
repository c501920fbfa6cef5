// What the service port's units tell about who connects and whether the port listens. In the
// server's process the engine implements it directly; in the receiver process it becomes frames
// on the channel, which the engine turns into the same calls. Log lines travel separately (the
// print statements of the units themselves). What the engine holds back of its reports (a
// minute's summary) is written at the relay's wake-ups: tick() and untilDue().
//
// Threads: called from the thread that owns the service socket and from the ZAP handler's
// thread; an implementation is thread-safe. tick() and untilDue() on the relay's thread.
#pragma once

#include <chrono>
#include <string>

#include <nx/sdk/i_plugin_diagnostic_event.h>

#include "common/clock.h"
#include "health/event_captions.h"

namespace nx::vms_server_plugins::analytics::sample {

/**
 * The relay thread's name in the log: its lines, and those of the service port's units (in the
 * receiver process too), begin with it after the engine's print prefix.
 */
inline constexpr const char* kRelayFunc = "threadFuncZeromqLoop";

class IngressSink
{
public:
    using Level = nx::sdk::IPluginDiagnosticEvent::Level;

    virtual ~IngressSink() = default;

    /** A plugin diagnostic event for the operator (captions from health/event_captions.h). */
    virtual void event(Level level, const std::string& caption, const std::string& description)
        = 0;
    /** A handshake or connection of the address was refused for `reason`. */
    virtual void refused(const std::string& address, const std::string& reason) = 0;
    /** An AI engine's handshake was admitted. */
    virtual void connected(const std::string& address) = 0;
    /** An admitted AI engine's connection ended. */
    virtual void disconnected(const std::string& address) = 0;

    /** Writes the reports held back until now, if any. */
    virtual void tick(Clock::time_point /*now*/) {}
    /** How long until tick() has work. */
    [[nodiscard]] virtual std::chrono::milliseconds untilDue(Clock::time_point /*now*/) const
    {
        return std::chrono::hours(1);
    }
};

} // namespace nx::vms_server_plugins::analytics::sample
