#include "service_listener.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include <nx/kit/debug.h>

#include "common/descriptor_usage.h"
#include "service_socket.h"

// A draft option of libzmq (zmq.h declares it only for draft builds), which Debian's libzmq
// honours: without it, a socket with a ZAP domain admits everyone when no handler answers.
#ifndef ZMQ_ZAP_ENFORCE_DOMAIN
    #define ZMQ_ZAP_ENFORCE_DOMAIN 93
#endif

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->m_logUtils.printPrefix())

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/**
 * Where the service socket's monitor publishes, for the ZAP handler's connection count; one
 * endpoint per listener: a closed socket's monitor leaves its endpoint to libzmq's reaper
 * thread, and the listener that replaces this one at once would find it taken.
 */
std::string serviceMonitorEndpoint()
{
    static std::atomic<uint64_t> listeners{0};
    return "inproc://skyloom-service-monitor-" + std::to_string(++listeners);
}

/** How long a bind waits for the same port, unbound just before, to be closed. */
constexpr std::chrono::milliseconds kRebindWait{1000};
constexpr std::chrono::milliseconds kRebindPause{10};

} // namespace

ServiceListener::ServiceListener(zmq::context_t& context, const nx::sdk::LogUtils& logUtils,
    IngressSink& sink, ZapHandler::PolicySource policySource, Options options)
    :
    m_logUtils(logUtils),
    m_sink(sink),
    m_options(options),
    m_socket(context, zmq::socket_type::sub),
    m_justUnbound(options.portMayBeClosing)
{
    configureSocket();
    startZapHandler(context, std::move(policySource));
}

ServiceListener::~ServiceListener()
{
    m_zap.reset(); //< Its thread stops before the socket closes.
}

/**
 * The options that never change (ServiceSocket), and every handshake goes to the ZAP handler
 * (also plain ones: the domain is enforced).
 */
void ServiceListener::configureSocket()
{
    ServiceSocket::configure(m_socket, m_options.inputHighWaterMark);
    m_socket.set(zmq::sockopt::zap_domain, ZapHandler::kZapDomain);
    const int enforce = 1;
    if (zmq_setsockopt(m_socket.handle(), ZMQ_ZAP_ENFORCE_DOMAIN, &enforce, sizeof(enforce)) != 0)
    {
        // Then a plain peer would pass unasked; the allow-list would hold only for CurveZMQ.
        NX_PRINT << kRelayFunc << " ZMQ_ZAP_ENFORCE_DOMAIN failed: " << zmq_strerror(zmq_errno())
            << " (plain peers are admitted without the address check)";
        m_sink.event(IngressSink::Level::error, kServicePortCaption,
            std::string("ZMQ_ZAP_ENFORCE_DOMAIN: ") + zmq_strerror(zmq_errno()));
    }
}

void ServiceListener::startZapHandler(
    zmq::context_t& context, ZapHandler::PolicySource policySource)
{
    try
    {
        const std::string monitorEndpoint = serviceMonitorEndpoint();
        if (zmq_socket_monitor(
            m_socket.handle(), monitorEndpoint.c_str(), ZapHandler::kMonitorEvents) != 0)
        {
            throw zmq::error_t();
        }
        m_zap = std::make_unique<ZapHandler>(context, monitorEndpoint,
            std::move(policySource), m_sink, m_logUtils);
    }
    catch (const std::exception& e)
    {
        if (m_options.throwOnLackOfResources && isLackOfResources(errorNumberOf(e)))
            throw;
        // Without a handler every handshake fails (the domain is enforced): closed, not open.
        NX_PRINT << kRelayFunc << " ZAP handler failed: " << e.what()
            << " (no AI engine can connect)";
        m_sink.event(IngressSink::Level::error, kServicePortCaption,
            std::string("ZAP handler: ") + e.what());
    }
}

void ServiceListener::takeOverFrom(int workingPort)
{
    if (m_listeningPort == 0)
        m_previousPort = workingPort;
}

void ServiceListener::apply(int port, std::shared_ptr<const IngressPolicy> policy)
{
    const bool listenAnew = !m_policy || !policy->sameListeners(*m_policy);
    m_policy = std::move(policy);
    const bool portAsked = port != m_requestedPort;
    m_requestedPort = port;
    if (listenAnew)
    {
        // A port asked for now, else the one that works (a failed one is not retried here);
        // the one that worked stays the fallback if the new one cannot be bound.
        const int working = workingPort();
        relisten(portAsked || working == 0 ? port : working, working);
        return;
    }
    // The port that listens, or one that failed and is asked for again unchanged: no bind.
    if (!portAsked || port == m_listeningPort || m_policy->failClosedReason)
        return;
    if (std::string endpoint = bind(port); !endpoint.empty())
    {
        // The old port closes once the new one listens: an AI engine still sending there is
        // refused, not served on a port nobody configured any more.
        close();
        m_listeningEndpoint = std::move(endpoint);
        m_listeningPort = port;
        m_previousPort = 0;
    }
}

/**
 * Closes the endpoint (and with it its connections) and listens on `port` as the policy says,
 * or on `fallbackPort` (the one that listened, 0 if none) if `port` cannot be bound, or not at
 * all if the policy's encryption cannot be loaded.
 */
void ServiceListener::relisten(int port, int fallbackPort)
{
    close();
    if (m_policy->failClosedReason)
    {
        NX_PRINT << kRelayFunc << " not listening for the AI engine: encryption is asked for"
            << " and " << *m_policy->failClosedReason;
        m_sink.event(IngressSink::Level::error, kEncryptionCaption,
            "The service port is closed: " + *m_policy->failClosedReason);
        return;
    }
    m_socket.set(zmq::sockopt::ipv6, m_policy->serviceAddress.find(':') != std::string::npos);
    if (m_policy->curve)
    {
        m_socket.set(zmq::sockopt::curve_server, 1);
        m_socket.set(zmq::sockopt::curve_secretkey, zmq::buffer(m_policy->serverKey.secretKey));
    }
    else
    {
        m_socket.set(zmq::sockopt::curve_server, 0); //< Back to the NULL mechanism.
    }
    const bool justUnbound = m_justUnbound;
    // The listener taken over held no port but its working one: another port in use is another
    // program's, not worth waiting for.
    if (m_previousPort != 0 && port != m_previousPort)
        m_justUnbound = false;
    m_listeningEndpoint = bind(port);
    if (m_listeningEndpoint.empty() && fallbackPort != 0 && fallbackPort != port)
    {
        // The old endpoint may still be closing: waited for as after the close itself.
        m_justUnbound = justUnbound;
        port = fallbackPort;
        m_listeningEndpoint = bind(port);
    }
    if (!m_listeningEndpoint.empty())
    {
        m_listeningPort = port;
        m_previousPort = 0;
    }
}

/**
 * Adds the port, on the policy's address, to the socket's endpoints; failures are logged and
 * told. Returns the endpoint as libzmq resolved it (what unbinding it takes), empty on failure.
 */
std::string ServiceListener::bind(int port)
{
    const std::string endpoint = serviceEndpoint(m_policy->serviceAddress, port);
    // An endpoint unbound a moment ago is closed by libzmq's I/O thread (or a process that
    // ended) a little later: while it is, its port is still taken.
    const auto deadline = std::chrono::steady_clock::now() + kRebindWait;
    try
    {
        for (;;)
        {
            try
            {
                m_socket.bind(endpoint);
                break;
            }
            catch (const zmq::error_t& e)
            {
                if (e.num() != EADDRINUSE || !m_justUnbound
                    || std::chrono::steady_clock::now() >= deadline)
                {
                    throw;
                }
                std::this_thread::sleep_for(kRebindPause);
            }
        }
        m_justUnbound = false;
    }
    catch (const zmq::error_t& e)
    {
        m_justUnbound = false;
        if (m_options.throwOnLackOfResources && isLackOfResources(e.num()))
            throw;
        NX_PRINT << kRelayFunc << " bind " << endpoint << " failed: " << e.what();
        m_sink.event(IngressSink::Level::error, kServicePortCaption, endpoint + ": " + e.what());
        return {};
    }
    NX_PRINT << kRelayFunc << " bind " << endpoint;
    std::string bound = m_socket.get(zmq::sockopt::last_endpoint);
    m_sink.event(IngressSink::Level::info, kListeningCaption, bound);
    return bound;
}

void ServiceListener::close()
{
    if (m_listeningEndpoint.empty())
        return;
    try
    {
        m_socket.unbind(m_listeningEndpoint);
        m_justUnbound = true;
        NX_PRINT << kRelayFunc << " unbind " << m_listeningEndpoint;
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " unbind " << m_listeningEndpoint << " failed: " << e.what();
    }
    m_listeningEndpoint.clear();
    m_listeningPort = 0;
}

} // namespace nx::vms_server_plugins::analytics::sample
