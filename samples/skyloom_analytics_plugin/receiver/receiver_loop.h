// The receiver process's work: it listens on the service port (ServiceListener), reads every
// message that libzmq decodes at once (no connection's input is ever held back) and hands it,
// with the peer's user id and address, to the engine over the channel; what the service port has
// to tell (events, refusals, connections, log lines) goes the same way. When the engine is
// behind, the queue to it stops at kMaxQueuedBytes and further messages are dropped and counted
// (stats frames, once a second). The engine's configuration frames make the listener listen; its
// subscription frames narrow (or widen) what the AI engines send it, held to SubscriptionTable's
// bounds.
//
// Threads: run() on the main thread; the ZAP handler's thread adds frames through the sink
// (under the queue's lock) and wakes the main thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "common/thread_annotations.h"
#include "common/wakeup.h"
#include "ingress/channel.h"
#include "ingress/ingress_sink.h"
#include "ingress/service_listener.h"
#include "ingress/subscriptions.h"

namespace nx::vms_server_plugins::analytics::sample {

class ReceiverLoop: private IngressSink
{
public:
    /** Frames waiting for the engine beyond which messages are dropped. */
    static constexpr size_t kMaxQueuedBytes = 64 * 1024 * 1024;
    /** What events may queue beyond kMaxQueuedBytes. */
    static constexpr size_t kEventReserveBytes = 4 * 1024 * 1024;

    /** The channel to the engine, non-blocking; owned by the caller. */
    explicit ReceiverLoop(int channelFd);
    ~ReceiverLoop();

    /**
     * Makes the listener (its socket and threads), then calls `enterSandbox` and tells the
     * engine what it returned, if anything; then serves until the engine closes the channel.
     * Returns the process's exit status.
     */
    int run(const std::function<std::optional<std::string>()>& enterSandbox);

    /** Writes what is queued for the engine, without waiting; false if the engine is gone. */
    [[nodiscard]] bool flushNow() { return flush(); }

    /** A log line for the engine (the output of the print statements). Any thread. */
    void log(const std::string& line);

private:
    void event(Level level, const std::string& caption, const std::string& description) override;
    void refused(const std::string& address, const std::string& reason) override;
    void connected(const std::string& address) override;
    void disconnected(const std::string& address) override;

    /** Queues a frame of the sink (any thread) and wakes the main thread. */
    void pushAlways(std::string frame);
    /** false: the engine closed the channel or sent what is no configuration. */
    [[nodiscard]] bool readConfiguration();
    void subscribe(const SubscriptionChange& change);
    void readMessages();
    [[nodiscard]] bool flush();
    void sendStats();
    [[nodiscard]] std::shared_ptr<const IngressPolicy> policy();

private:
    const int m_channel;
    nx::sdk::LogUtils m_logUtils{/*enableOutput*/ true, ""};
    Wakeup m_wakeup;
    ChannelReader m_reader{/*fromReceiver*/ false};

    Mutex m_queueMutex;
    ChannelWriter m_writer GUARDED_BY(m_queueMutex){kMaxQueuedBytes};

    Mutex m_policyMutex;
    std::shared_ptr<const IngressPolicy> m_policy GUARDED_BY(m_policyMutex);

    /** The service socket's subscriptions as the engine asked for them; main thread. */
    SubscriptionTable m_subscriptions;

    uint64_t m_dropped = 0; //< Since the last stats frame; main thread.
    uint64_t m_lastQueued = 0;

    std::unique_ptr<zmq::context_t> m_context;
    std::unique_ptr<ServiceListener> m_listener;
};

} // namespace nx::vms_server_plugins::analytics::sample
