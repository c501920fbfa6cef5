#include "relay_context.h"

#include <zmq.hpp>

namespace nx::vms_server_plugins::analytics::sample {

void RelayEndpoint::setBound(bool bound)
{
    MutexLock lock(m_mutex);
    m_bound = bound;
    if (bound)
        m_boundSignal.notify();
    else
        m_boundSignal.consume();
}

bool RelayEndpoint::connectIfBound(zmq::socket_t& socket)
{
    // Under the lock: the relay cannot close its socket between the check and the connect.
    MutexLock lock(m_mutex);
    if (!m_bound)
        return false;
    socket.connect(kAgentRelayEndpoint);
    return true;
}

RelayShared::RelayShared(const Intervals& intervals):
    intervals(intervals),
    context(std::make_unique<zmq::context_t>())
{
    // The context may outlive the engine, held by agents that are released later; at the end
    // it must not wait for any socket's unsent messages (each socket also sets linger 0).
    context->set(zmq::ctxopt::blocky, 0);
}

RelayShared::~RelayShared() = default;

RelayContext makeRelayContext(const Intervals& intervals)
{
    return std::make_shared<RelayShared>(intervals);
}

} // namespace nx::vms_server_plugins::analytics::sample
