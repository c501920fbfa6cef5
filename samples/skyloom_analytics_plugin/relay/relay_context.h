// The ZeroMQ context (and the budget of queued bytes) that one engine shares with the device
// agents it makes: the engine's relay publishes on it in-process to the agents, so that no other
// process can feed or read a camera. The engine creates it; the engine and every agent hold a
// shared reference, and the context is
// terminated when the last of them lets go (after its thread has closed its sockets, so the
// termination never waits). Sockets are never shared: each thread opens and closes its own.
#pragma once

#include <memory>

#include "common/intervals.h"
#include "common/thread_annotations.h"
#include "common/wakeup.h"
#include "health/ingest_counters.h"
#include "ingress/ingress_budgets.h"
#include "queue_budget.h"

namespace zmq {
class context_t;
class socket_t;
} // namespace zmq

namespace nx::vms_server_plugins::analytics::sample {

/**
 * Whether the relay's endpoint (kAgentRelayEndpoint) is bound. Agents connect only while it is:
 * libzmq keeps an in-process connect to an endpoint that is not bound pending in the context,
 * and terminating a context with a pending connect makes a socket to complete it, which aborts
 * the process when no descriptor is left.
 *
 * Threads: the relay thread marks it bound after its bind and unbound before it closes that
 * socket; agents' receive threads connect through it and poll fd() beside their own wake-up.
 */
class RelayEndpoint
{
public:
    /** Throws std::runtime_error if the descriptor for fd() cannot be made. */
    RelayEndpoint() = default;

    void setBound(bool bound) EXCLUDES(m_mutex);

    /** Connects `socket` to the relay if its endpoint is bound; false (nothing done) if not. */
    [[nodiscard]] bool connectIfBound(zmq::socket_t& socket) EXCLUDES(m_mutex);

    /** Readable (POLLIN) while the endpoint is bound. */
    [[nodiscard]] int fd() const { return m_boundSignal.fd(); }

private:
    Mutex m_mutex;
    bool m_bound GUARDED_BY(m_mutex) = false;
    /** Notified on bind, consumed on unbind: a level that any number of threads may poll. */
    Wakeup m_boundSignal;
};

/**
 * What the engine's relay and its agents share: the ZeroMQ context, whether the relay's endpoint
 * is bound, the queue budget, the ingest counters and the periods their threads wait out; and
 * what the engine, its relay and agents share: the budgets of what the service port's input may
 * cost.
 */
struct RelayShared
{
    explicit RelayShared(const Intervals& intervals);
    ~RelayShared();

    const Intervals intervals;

    const std::unique_ptr<zmq::context_t> context;
    RelayEndpoint endpoint;
    QueueBudget queueBudget;
    IngestCounters counters;
    IngressBudgets ingressBudgets;
};

using RelayContext = std::shared_ptr<RelayShared>;

/**
 * Where the relay publishes to its agents. The name is valid only inside one context, so every
 * engine has an endpoint of its own under the same name.
 */
constexpr const char* kAgentRelayEndpoint = "inproc://skyloom-relay";

/**
 * A new context for one engine; throws zmq::error_t if ZeroMQ cannot create one, and
 * std::runtime_error without a descriptor for the endpoint's signal.
 */
[[nodiscard]] RelayContext makeRelayContext(const Intervals& intervals = kShippedIntervals);

} // namespace nx::vms_server_plugins::analytics::sample
