// The engine's relay thread (threadFuncZeromqLoop): it waits the start-up delay (time for the
// server to deliver the engine's settings), opens the endpoint that feeds the agents (again every
// second while the process has no descriptor or memory for it, told once as "Cannot open the
// internal relay endpoint"), then runs a Relay until it is stopped. Nothing leaves the thread: a
// failure is logged and ends only the relay.
//
// Ownership: the engine owns it; the destructor stops and joins the thread at once (through a
// Wakeup polled beside the relay's sockets), which stops and reaps the receiver process (whose
// life is bound to this thread). `sink` and `logUtils` must outlive it.
//
// Threads: the constructor and destructor on a server thread; apply(), settings() and
// setEngineId() from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include <nx/sdk/helpers/log_utils.h>

#include "common/wakeup.h"
#include "ingress/ingress_sink.h"
#include "relay/relay_context.h"
#include "relay/relay_settings.h"

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

class RelayThread
{
public:
    /** Starts the thread; throws if the system refuses a descriptor or a thread. */
    RelayThread(RelayContext context, const nx::sdk::LogUtils& logUtils, IngressSink& sink,
        std::string receiverExecutable);
    ~RelayThread();

    RelayThread(const RelayThread&) = delete;
    RelayThread& operator=(const RelayThread&) = delete;

    /** New settings, taken up at once (or when the relay opens its sockets). */
    void apply(RelaySettings settings);
    [[nodiscard]] RelaySettings settings() const { return m_settings.get(); }
    /** The engine's id from the server, taken up at once; it names the private copy. */
    void setEngineId(std::string engineId);

private:
    void threadFuncZeromqLoop() noexcept;
    /** Sleeps for `duration` unless a stop is requested; false if it was. */
    [[nodiscard]] bool sleepUnlessStopped(std::chrono::milliseconds duration);
    [[nodiscard]] std::optional<zmq::socket_t> openAgentsEndpoint();
    void runRelay();

private:
    const RelayContext m_context;
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    const std::string m_receiverExecutable;
    RelaySettingsBox m_settings;
    /** Wakes the relay for a stop request or new settings. */
    Wakeup m_wakeup;
    /** Set once by the destructor, read by the relay thread after every wake-up. */
    std::atomic<bool> m_terminated{false};
    std::thread m_thread; //< Last: the thread reads every member above.
};

} // namespace nx::vms_server_plugins::analytics::sample
