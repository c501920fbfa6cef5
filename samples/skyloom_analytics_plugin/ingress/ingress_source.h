// Where the relay gets the AI engines' messages from: the service port in this process
// (InProcessIngress) or a receiver process over its channel (IsolatedIngress). Either way the
// relay polls one item, configures it with the port, the policy and the subscriptions, and takes
// what is waiting; messages come with the user id that the ZAP handler gave their connection and
// the peer's address, and what the service port tells goes to the IngressSink. The port that
// listens (workingPort()) goes on to the source that replaces this one, which listens there if
// the port asked for cannot be bound.
//
// Threads: the relay thread only.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <zmq.hpp>

#include "common/clock.h"
#include "ingress_policy.h"
#include "subscriptions.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Takes each message from the source; userId and peer may be null. */
class IngressConsumer
{
public:
    virtual ~IngressConsumer() = default;
    virtual void deliver(zmq::message_t& message, const char* userId, const char* peer) = 0;
};

class IngressSource
{
public:
    using Clock = sample::Clock;

    virtual ~IngressSource() = default;

    /** What to poll for input; events 0 while there is nothing to poll. */
    [[nodiscard]] virtual zmq::pollitem_t pollItem() = 0;

    /** Listens on `port` (1024..65535) as the policy says; the same values again: nothing. */
    virtual void configure(int port, std::shared_ptr<const IngressPolicy> policy) = 0;

    /**
     * Subscribes the service port to `wanted` (everything(), or prefixes) on the live socket:
     * the AI engines' PUB sockets then send only what matches. The same set again: nothing.
     */
    virtual void subscribe(const Subscriptions& wanted) = 0;

    /** Takes up to `max` waiting messages (and whatever else is waiting) after a poll. */
    virtual void receive(IngressConsumer& consumer, int max) = 0;

    /** How long the relay may sleep before tick() has work. */
    [[nodiscard]] virtual std::chrono::milliseconds untilDue(Clock::time_point now) const = 0;

    /** Time-driven work (starting a receiver again). */
    virtual void tick(Clock::time_point now) = 0;

    /**
     * The relay's periodic look (at its health wake-up, no wake-up of its own) at whether the
     * listener still runs; a listener in this process has nothing to look at.
     */
    virtual void checkAlive(Clock::time_point /*now*/) {}

    /**
     * Why this source can no longer serve and the service port must run in the server's process
     * instead (a receiver that cannot be started); nothing while it serves.
     */
    [[nodiscard]] virtual std::optional<std::string> failed() const = 0;

    /** The port that listened last (in a receiver before the running one too); 0: none. */
    [[nodiscard]] virtual int workingPort() const = 0;

    /** The port that listens now; 0 while none does (a receiver starting again, a failure). */
    [[nodiscard]] virtual int listeningPort() const = 0;
};

} // namespace nx::vms_server_plugins::analytics::sample
