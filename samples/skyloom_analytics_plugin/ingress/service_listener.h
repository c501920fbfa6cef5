// The service port: the socket on which the AI engines publish, with its ZAP handler (who may
// connect) and the monitor that counts connections. It listens on the configured port and
// address, with or without CurveZMQ as the IngressPolicy says, and moves to a new port or
// listens anew when they change. The same unit runs in the receiver process and, as a fallback,
// in the server's process; what it has to tell goes to an IngressSink and the log.
//
// Port rules: the port that listens is the one whose bind succeeded; asking for it again is a
// no-op; a port that fails to bind is tried again only when a different one is asked for, and
// the working one keeps listening (a later address or encryption change listens on it, and
// listens there again if a port asked for together with such a change cannot be bound). A
// listener that takes over from another (a new receiver process, the port moving between the
// receiver and the server's process) is told the port that listened last there: the port asked
// for is tried, and that one listens if it cannot be bound, as after an address change.
//
// Threads: made, used and destroyed by the thread that owns the socket; the ZAP handler's own
// thread calls the policy source and the sink.
#pragma once

#include <memory>
#include <string>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "ingress_policy.h"
#include "ingress_sink.h"
#include "zap_handler.h"

namespace nx::vms_server_plugins::analytics::sample {

class ServiceListener
{
public:
    struct Options
    {
        /**
         * Messages of one connection that libzmq holds before it stops reading it; 0: no bound
         * (the receiver process, which must never hold a connection's input back).
         */
        int inputHighWaterMark = 0;
        /** The port may still be held by a listener closed a moment ago (another process's). */
        bool portMayBeClosing = false;
        /**
         * Whether a ZAP handler or a bind that fails for lack of descriptors or memory throws
         * (from the constructor or apply(), telling nothing itself), so that the owner can make
         * the listener again once they are back; otherwise the listener tells and stays closed.
         */
        bool throwOnLackOfResources = false;
    };

    /** Makes the socket and the ZAP handler; listens only once apply() is called. */
    ServiceListener(zmq::context_t& context, const nx::sdk::LogUtils& logUtils,
        IngressSink& sink, ZapHandler::PolicySource policySource, Options options);
    ~ServiceListener();

    ServiceListener(const ServiceListener&) = delete;
    ServiceListener& operator=(const ServiceListener&) = delete;

    /**
     * The port that the listener before this one (another process's) had working: this one's
     * working port while none of its own listens. 0: none.
     */
    void takeOverFrom(int workingPort);

    /** Listens on `port` (1024..65535) as the policy says; see the port rules above. */
    void apply(int port, std::shared_ptr<const IngressPolicy> policy);

    /** The port that listens, else the one that the listener before it had working; 0: none. */
    [[nodiscard]] int workingPort() const
    {
        return m_listeningPort != 0 ? m_listeningPort : m_previousPort;
    }

    /** The port that listens now; 0: none. */
    [[nodiscard]] int listeningPort() const { return m_listeningPort; }

    zmq::socket_t& socket() { return m_socket; }

    /** The endpoint as libzmq resolved it; empty while nothing listens. */
    const std::string& listeningEndpoint() const { return m_listeningEndpoint; }

    /** The policy last applied (null before the first apply()). */
    const std::shared_ptr<const IngressPolicy>& policy() const { return m_policy; }

private:
    void configureSocket();
    void startZapHandler(zmq::context_t& context, ZapHandler::PolicySource policySource);
    void relisten(int port, int fallbackPort);
    [[nodiscard]] std::string bind(int port);
    void close();

private:
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    const Options m_options;
    zmq::socket_t m_socket;
    /** Answers the socket's handshakes; destroyed (and joined) before the socket closes. */
    std::unique_ptr<ZapHandler> m_zap;
    std::shared_ptr<const IngressPolicy> m_policy;
    int m_requestedPort = 0; //< The port last asked for.
    int m_listeningPort = 0; //< The port that listens; 0: none.
    /** The working port taken over; forgotten once a port of this listener listened. */
    int m_previousPort = 0;
    std::string m_listeningEndpoint;
    /** The endpoint was unbound and nothing bound since: its port may still be closing. */
    bool m_justUnbound = false;
};

} // namespace nx::vms_server_plugins::analytics::sample
