#include "relay_thread.h"

#include <exception>
#include <utility>

#include <zmq.hpp>

#include <nx/kit/debug.h>

#include "common/clock.h"
#include "common/descriptor_usage.h"
#include "health/event_captions.h"
#include "health/rate_limiter.h"
#include "relay/relay.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->m_logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->m_logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** How soon the relay tries again to open its agents' endpoint. */
constexpr std::chrono::seconds kEndpointRetry{1};

/** How soon the log tells again that the endpoint still cannot be opened. */
constexpr std::chrono::minutes kEndpointRetold{1};


} // namespace

RelayThread::RelayThread(RelayContext context, const nx::sdk::LogUtils& logUtils,
    IngressSink& sink, std::string receiverExecutable)
    :
    m_context(std::move(context)),
    m_logUtils(logUtils),
    m_sink(sink),
    m_receiverExecutable(std::move(receiverExecutable))
{
    m_thread = std::thread([this]() { threadFuncZeromqLoop(); });
}

RelayThread::~RelayThread()
{
    m_terminated = true;
    m_wakeup.notify();
    if (!m_thread.joinable())
        return;
    // Joining itself would throw; only reachable if a call made by the relay thread drops the
    // engine's last reference.
    if (m_thread.get_id() == std::this_thread::get_id())
        m_thread.detach();
    else
        m_thread.join();
}

void RelayThread::apply(RelaySettings settings)
{
    m_settings.put(std::move(settings));
    m_wakeup.notify();
}

void RelayThread::setEngineId(std::string engineId)
{
    m_settings.putEngineId(std::move(engineId));
    m_wakeup.notify();
}

void RelayThread::threadFuncZeromqLoop() noexcept
{
    // Nothing may leave the thread: a failed setup is logged and ends only the relay.
    try
    {
        NX_PRINT << kRelayFunc << " start!!";
        // Gives the server time to deliver the engine settings before the first bind.
        if (sleepUnlessStopped(m_context->intervals.relayStartup))
            runRelay();
    }
    catch (const std::exception& e)
    {
        try { NX_PRINT << kRelayFunc << " exception: " << e.what(); } catch (...) {}
    }
    catch (...)
    {
        try { NX_PRINT << kRelayFunc << " exception: unknown"; } catch (...) {}
    }

    try { NX_PRINT << kRelayFunc << " terminated!!"; } catch (...) {}
}

bool RelayThread::sleepUnlessStopped(std::chrono::milliseconds duration)
{
    // New settings wake the sleep too; they are read when the relay opens its sockets.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!m_terminated)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        if (m_wakeup.waitFor(left))
            m_wakeup.consume();
    }
    return false;
}

/**
 * The agents' endpoint, bound; without a descriptor (or memory) for it, tried again every
 * kEndpointRetry until it can be opened (the operator is told once) or a stop is requested.
 */
std::optional<zmq::socket_t> RelayThread::openAgentsEndpoint()
{
    const auto start = std::chrono::steady_clock::now();
    // Told at once, then in the log once a minute: the cause stays the same.
    RateLimiter<SingleKind> told(1, kEndpointRetold);
    for (int64_t attempt = 0; !m_terminated; ++attempt)
    {
        try
        {
            zmq::socket_t agents = Relay::makeAgentsSocket(*m_context->context);
            if (attempt > 0)
            {
                NX_PRINT << kRelayFunc << " " << kAgentRelayEndpoint << " open after "
                    << std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::steady_clock::now() - start).count()
                    << " s and " << attempt << " failed attempts";
            }
            return agents;
        }
        catch (const zmq::error_t& e)
        {
            if (told.offer({}, Clock::now()).pass)
            {
                const std::string description = std::string(kAgentRelayEndpoint) + ": "
                    + e.what() + " (" + describe(descriptorUsage())
                    + "); nothing is received until it opens, tried again every second";
                NX_PRINT << kRelayFunc << " " << kAgentEndpointCaption << ": " << description;
                if (attempt == 0)
                    m_sink.event(IngressSink::Level::error, kAgentEndpointCaption, description);
            }
        }
        if (!sleepUnlessStopped(kEndpointRetry))
            break;
    }
    return std::nullopt;
}

void RelayThread::runRelay()
{
    std::optional<zmq::socket_t> agents = openAgentsEndpoint();
    if (!agents)
        return; //< Stopped before it could be opened.
    Relay relay(std::move(*agents), *m_context, m_logUtils, m_sink, m_settings,
        m_receiverExecutable);
    while (!m_terminated)
        relay.pass(m_wakeup, m_terminated);
}

} // namespace nx::vms_server_plugins::analytics::sample
