// The service port in a receiver process of its own (ReceiverProcess), supervised: what the
// receiver sends over the channel becomes messages for the relay and calls of the IngressSink,
// checked first (a malformed frame ends that receiver); a receiver that dies for any reason is
// logged, counted ("receiver_restarts", the messages it held as "receiver_lost"), told as
// "AI engine receiver restarted" and started again at once, or at most once a second when it
// keeps dying (then also an error event). A receiver that cannot be started for lack of
// descriptors, processes or memory is tried again every second (an error event says so once).
// A receiver that ends by itself before its first frame, kReceiverSilentEnds times in a row,
// cannot run here (a library missing, the system refusing what it does at its start): failed()
// then says so, for the relay to take the service port into the server. The configuration and the
// subscriptions are sent again to every new receiver, with the port that listened last (as the
// receivers' "listening" events said, or as given by the service port before this one), on which
// a receiver listens if the port asked for cannot be bound. What the receiver dropped because the
// relay was behind is counted as lost too; the AI engines that were connected through a receiver
// that ended are told as disconnected. A receiver killed but not reaped at once goes to the
// ChildReaper. At each checkAlive() a receiver that sent nothing since the one before is sent
// a ping; one that has not answered (sent anything) by the next is taken as hung (a deadlock,
// a stopped process), killed and restarted: "did not answer for N s".
//
// Whatever a receiver sends, it costs the server at most kChannelSharePercent of one core
// (CpuShare): the relay's time for the channel and the agents' for the messages together
// (IngressBudgets). Beyond it, the channel is not read until the share allows it again, and the
// receiver, whose queue to the engine fills, drops messages and counts them (stats frames, lost).
// One wake-up reads at most kBytesPerPass of frames. The receiver's log lines and events are
// held to the engine's TextBudget; its refusals and connections go to the sink, which reports
// them within the same budget.
//
// Threads: the relay thread only (it started the receiver, whose life is bound to it).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <nx/sdk/helpers/log_utils.h>

#include "channel.h"
#include "child_reaper.h"
#include "cpu_share.h"
#include "health/ingest_counters.h"
#include "health/rate_limiter.h"
#include "ingress_budgets.h"
#include "ingress_sink.h"
#include "ingress_source.h"
#include "receiver_process.h"
#include "restart_policy.h"

namespace nx::vms_server_plugins::analytics::sample {

class IsolatedIngress: public IngressSource
{
public:
    /** Receivers that end by themselves before their first frame, in a row, that mean failed(). */
    static constexpr int kReceiverSilentEnds = 3;
    /**
     * The most of one core that a receiver's input may take: the relay's reading of its channel
     * and the agents' handling of its messages.
     */
    static constexpr int kChannelSharePercent = 50;
    /** The most of that share saved up while the channel is quiet, for a burst. */
    static constexpr std::chrono::milliseconds kChannelBurst{50};
    /** Bytes of frames that one wake-up reads at most. */
    static constexpr uint64_t kBytesPerPass = 8 * 1024 * 1024;

    /** The user for the next receiver (receiver_user.h); none: this process's user. */
    using UserChoice = std::function<std::optional<UserIds>()>;

    /**
     * Starts the receiver; failed() tells if it could not be started. `budgets`: the engine's,
     * for the receiver's log lines and events, and the agents' time for its messages.
     * `workingPort`: the port that listened last before (0: none). `restartBackoff`: see
     * RestartPolicy. `userChoice`, asked at each start; empty: this process's user.
     */
    IsolatedIngress(std::string executable, const nx::sdk::LogUtils& logUtils,
        IngressSink& sink, EngineCounters& counters, ChildReaper& reaper, IngressBudgets& budgets,
        int workingPort = 0,
        std::chrono::milliseconds restartBackoff = kShippedIntervals.restartBackoff,
        UserChoice userChoice = {});
    /** Stops the receiver; if it cannot be reaped at once, the ChildReaper gets it. */
    ~IsolatedIngress() override;

    zmq::pollitem_t pollItem() override;
    void configure(int port, std::shared_ptr<const IngressPolicy> policy) override;
    void subscribe(const Subscriptions& wanted) override;
    void receive(IngressConsumer& consumer, int max) override;
    std::chrono::milliseconds untilDue(Clock::time_point now) const override;
    void tick(Clock::time_point now) override;
    void checkAlive(Clock::time_point now) override;
    std::optional<std::string> failed() const override { return m_failed; }
    int workingPort() const override { return m_workingPort; }

    /** The receiver's process id; -1 while none runs. */
    [[nodiscard]] pid_t pid() const { return m_process ? m_process->pid() : -1; }

private:
    /** false: the receiver was found dead or faulty and is gone. */
    [[nodiscard]] bool handle(const Frame& frame, IngressConsumer& consumer);
    void startReceiver(Clock::time_point now);
    void waitForResources(const std::string& reason, Clock::time_point now);
    void ended(const std::string& why, Clock::time_point now);
    /** Stops the receiver, the reaping of what is left handed on. */
    [[nodiscard]] std::string stopReceiver();
    void noteListening(std::string_view endpoint);
    void sendConfiguration();
    void sendSubscriptions();
    /** What the agents spent on messages since the last look, counted against the share. */
    void spendAgentsTime();
    /** Whether the receiver's input is within its share; a change to held back is told. */
    [[nodiscard]] bool channelOpen(Clock::time_point now);
    /** Reads frames until `max`, kBytesPerPass, nothing waiting or the receiver gone. */
    void readFrames(IngressConsumer& consumer, int max);
    /** The receiver's share of a core is spent: its channel waits; told once a minute. */
    void heldBack(Clock::time_point now);
    void tellLinesLeftOut(uint64_t count);
    void logFromReceiver(std::string_view line);
    [[nodiscard]] bool eventAllowed(Clock::time_point now);

private:
    const std::string m_executable;
    const UserChoice m_userChoice;
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    EngineCounters& m_counters;
    ChildReaper& m_reaper;
    /** The engine's: what the receiver may put into the server's log and events, and cost. */
    IngressBudgets& m_budgets;

    std::unique_ptr<ReceiverProcess> m_process;
    std::unique_ptr<ChannelReader> m_reader;
    std::unique_ptr<ChannelWriter> m_writer;
    RestartPolicy m_restarts;
    std::optional<Clock::time_point> m_nextStart; //< While no receiver runs.
    std::optional<std::string> m_endedWhy; //< Told when the next one starts.
    std::optional<std::string> m_failed;
    /** Starts in a row that lacked descriptors, processes or memory. */
    int64_t m_startsFailed = 0;
    /** Whether the running receiver sent a frame yet. */
    bool m_heardFrom = false;
    /** Whether the running receiver sent a frame since the last checkAlive(). */
    bool m_heardSinceCheck = false;
    /** When the running receiver was sent the ping that it has not yet answered. */
    std::optional<Clock::time_point> m_pingSent;
    /** Receivers in a row that ended by themselves before their first frame. */
    int m_silentEnds = 0;
    uint64_t m_queuedAtReceiver = 0; //< As its latest stats frame said.
    /** The AI engines connected through the running receiver; told as gone when it ends. */
    std::multiset<std::string> m_connected;

    int m_port = 0;
    int m_workingPort = 0; //< The port that listened last; 0: none.
    std::shared_ptr<const IngressPolicy> m_policy;
    Subscriptions m_wanted = everything();
    /** What the running receiver subscribes to, as far as it was sent. */
    Subscriptions m_subscribed = everything();

    /** The relay's time for the channel and the agents' for its messages. */
    CpuShare m_channelShare{kChannelSharePercent, kChannelBurst};
    /** The agents' time as last counted against the share. */
    int64_t m_agentsCpuNs = 0;
    /** Whether the channel waits for its share now. */
    bool m_holdingBack = false;
    /** Times the channel waited for its share since the line that told it last. */
    uint64_t m_heldBack = 0;
    RateLimiter<SingleKind> m_heldBackLines;
    /** The line that the receiver cannot be started, while starts keep lacking resources. */
    RateLimiter<SingleKind> m_resourceLines;
};

} // namespace nx::vms_server_plugins::analytics::sample
