// The ZeroMQ context (and the budget of queued bytes) that one engine shares with the device
// agents it makes: the engine's relay publishes on it in-process to the agents, so that no other
// process can feed or read a camera. The engine creates it; the engine and every agent hold a
// shared reference, and the context is
// terminated when the last of them lets go (after its thread has closed its sockets, so the
// termination never waits). Sockets are never shared: each thread opens and closes its own.
#pragma once

#include <memory>

#include "ingest_counters.h"
#include "queue_budget.h"

namespace zmq { class context_t; }

namespace nx::vms_server_plugins::analytics::sample {

/**
 * What the engine's relay and its agents share: the ZeroMQ context, the queue budget and the
 * ingest counters.
 */
struct RelayShared
{
    RelayShared();
    ~RelayShared();

    const std::unique_ptr<zmq::context_t> context;
    QueueBudget queueBudget;
    IngestCounters counters;
};

using RelayContext = std::shared_ptr<RelayShared>;

/**
 * Where the relay publishes to its agents. The name is valid only inside one context, so every
 * engine has an endpoint of its own under the same name.
 */
constexpr const char* kAgentRelayEndpoint = "inproc://skyloom-relay";

/** A new context for one engine; throws zmq::error_t if ZeroMQ cannot create one. */
[[nodiscard]] RelayContext makeRelayContext();

} // namespace nx::vms_server_plugins::analytics::sample
