// The service port in a receiver process of its own (ReceiverProcess), supervised: what the
// receiver sends over the channel becomes messages for the relay and calls of the IngressSink,
// checked first (a malformed frame ends that receiver); a receiver that dies for any reason is
// logged, counted ("receiver_restarts", the messages it held as "receiver_lost"), told as
// "AI engine receiver restarted" and started again at once, or at most once a second when it
// keeps dying (then also an error event). A receiver that cannot be started for lack of
// descriptors, processes or memory is tried again every second (an error event says so once).
// The configuration and the subscriptions are sent again to every new receiver. What the
// receiver dropped because the relay was behind is counted as lost too; the AI engines that were
// connected through a receiver that ended are told as disconnected.
//
// Threads: the relay thread only (it started the receiver, whose life is bound to it).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nx/sdk/helpers/log_utils.h>

#include "channel.h"
#include "health/ingest_counters.h"
#include "health/rate_limiter.h"
#include "ingress_sink.h"
#include "ingress_source.h"
#include "receiver_process.h"
#include "restart_policy.h"

namespace nx::vms_server_plugins::analytics::sample {

class IsolatedIngress: public IngressSource
{
public:
    /** Starts the receiver; failed() tells if it could not be started. */
    IsolatedIngress(std::string executable, const nx::sdk::LogUtils& logUtils,
        IngressSink& sink, EngineCounters& counters);
    /** Stops and reaps the receiver (ReceiverProcess does). */
    ~IsolatedIngress() override = default;

    zmq::pollitem_t pollItem() override;
    void configure(int port, std::shared_ptr<const IngressPolicy> policy) override;
    void subscribe(const Subscriptions& wanted) override;
    void receive(IngressConsumer& consumer, int max) override;
    std::chrono::milliseconds untilDue(Clock::time_point now) const override;
    void tick(Clock::time_point now) override;
    std::optional<std::string> failed() const override { return m_failed; }

    /** The receiver's process id; -1 while none runs. */
    [[nodiscard]] pid_t pid() const { return m_process ? m_process->pid() : -1; }

private:
    /** false: the receiver was found dead or faulty and is gone. */
    [[nodiscard]] bool handle(const Frame& frame, IngressConsumer& consumer);
    void startReceiver(Clock::time_point now);
    void waitForResources(const std::string& reason, Clock::time_point now);
    void ended(const std::string& why, Clock::time_point now);
    void sendConfiguration();
    void sendSubscriptions();
    void tellLinesLeftOut(uint64_t count);
    void logFromReceiver(std::string_view line);
    [[nodiscard]] bool eventAllowed(Clock::time_point now);

private:
    const std::string m_executable;
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    EngineCounters& m_counters;

    std::unique_ptr<ReceiverProcess> m_process;
    std::unique_ptr<ChannelReader> m_reader;
    std::unique_ptr<ChannelWriter> m_writer;
    RestartPolicy m_restarts;
    std::optional<Clock::time_point> m_nextStart; //< While no receiver runs.
    std::optional<std::string> m_endedWhy; //< Told when the next one starts.
    std::optional<std::string> m_failed;
    /** Starts in a row that lacked descriptors, processes or memory. */
    int64_t m_startsFailed = 0;
    uint64_t m_queuedAtReceiver = 0; //< As its latest stats frame said.
    /** The AI engines connected through the running receiver; told as gone when it ends. */
    std::multiset<std::string> m_connected;

    int m_port = 0;
    std::shared_ptr<const IngressPolicy> m_policy;
    Subscriptions m_wanted = everything();
    /** What the running receiver subscribes to, as far as it was sent. */
    Subscriptions m_subscribed = everything();

    // What the receiver may write into the server's log and events, per window; the count of
    // its lines left out is told, its events left out are not.
    RateLimiter<SingleKind> m_lines;
    RateLimiter<SingleKind> m_events;
    /** The line that the receiver cannot be started, while starts keep lacking resources. */
    RateLimiter<SingleKind> m_resourceLines;
};

} // namespace nx::vms_server_plugins::analytics::sample
