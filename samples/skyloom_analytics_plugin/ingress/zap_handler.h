// The ZAP handler of one engine's ZeroMQ context: it answers every handshake on the service
// port (which carries kZapDomain and enforces it, so plain peers are asked about too) from the
// current IngressPolicy: address allow-list, connections per address, CurveZMQ keys. It also
// reads the service socket's monitor to count live connections per peer address, to learn of
// handshakes that failed before reaching it, to tell of AI engines that connected (handshake
// done) and disconnected, and of connections that libzmq closed over a message too large.
// Refusals and connections go to the IngressSink.
//
// Threads: constructed and destroyed by the thread that owns the service socket (after the
// socket is made and before it is bound); it owns one thread of its own, stopped at once through
// a Wakeup and joined by the destructor. The policy source and the sink are called on that
// thread, for every handshake, so that new settings hold from the next handshake on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <thread>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "common/wakeup.h"
#include "health/camera_log.h"
#include "ingress_policy.h"
#include "ingress_sink.h"

namespace nx::vms_server_plugins::analytics::sample {

class ZapHandler
{
public:
    static constexpr const char* kZapDomain = "skyloom";
    /**
     * Live connections from one address beyond which handshakes are refused, when the policy
     * restricts peers at all (IngressPolicy::restricted()).
     */
    static constexpr int kMaxConnectionsPerAddress = 64;
    /** Live connections from all addresses beyond which handshakes are refused. */
    static constexpr int kMaxConnections = 1024;
    /** The events that monitorEvents() asks the service socket's monitor for. */
    static constexpr int kMonitorEvents = ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED
        | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL;

    /**
     * Binds the context's ZAP endpoint, connects to the monitor endpoint of the service socket
     * (already asked for with kMonitorEvents) and starts the thread. Throws zmq::error_t or
     * std::system_error; nothing is left running then.
     */
    using PolicySource = std::function<std::shared_ptr<const IngressPolicy>()>;

    ZapHandler(zmq::context_t& context, const std::string& monitorEndpoint,
        PolicySource policySource, IngressSink& sink, const nx::sdk::LogUtils& logUtils);
    ~ZapHandler();

    ZapHandler(const ZapHandler&) = delete;
    ZapHandler& operator=(const ZapHandler&) = delete;

private:
    void threadFuncZap();
    void readMonitor();
    void answerRequest();
    /** A handshake from the address was admitted: an AI engine connected. */
    void admitted(const std::string& address);
    /** Keeps a duplicate of an admitted connection's descriptor, to look at when it ends. */
    void watch(int fd);
    /** Whether libzmq closed the connection with bytes of the peer unread; ends the watch. */
    [[nodiscard]] bool closedUnread(int fd);
    /** Status code, reason for a refusal (empty if admitted), user id. */
    struct Verdict
    {
        bool admitted = false;
        const char* reason = "";
        std::string userId;
    };
    [[nodiscard]] Verdict judge(const std::string& domain, const std::string& address,
        const std::string& mechanism, const std::string& credentials);

private:
    IngressSink& m_sink;
    const PolicySource m_policySource;

    Wakeup m_wakeup;
    /** Set once by the destructor, read by the ZAP thread after every wake-up. */
    std::atomic<bool> m_stop{false};

    // Made on the constructing thread, then used by the ZAP thread alone.
    zmq::socket_t m_zap;
    zmq::socket_t m_monitor;
    CameraLog m_log;

    // ZAP thread only.
    std::map<int, std::string> m_peerOfDescriptor;
    /** The descriptors whose handshake succeeded: an AI engine connected there. */
    std::set<int> m_admittedDescriptors;
    std::map<std::string, int> m_connectionsOfPeer;
    int m_connections = 0;
    /** A handshake failed; its DISCONNECTED event (which follows) names the peer. */
    bool m_handshakeFailed = false;
    /**
     * Admitted connections' descriptors and a duplicate of each (closed with the connection's
     * DISCONNECTED event, or by the destructor): AI engines are few, so the first kMaxWatched
     * connections, while the process has most of its descriptors free.
     */
    std::map<int, int> m_watched;
    static constexpr size_t kMaxWatched = 16;
    /** How long a connection's end waits for the rest of a message that was too large. */
    static constexpr std::chrono::milliseconds kRestOfMessageWait{50};

    std::thread m_thread;
};

} // namespace nx::vms_server_plugins::analytics::sample
