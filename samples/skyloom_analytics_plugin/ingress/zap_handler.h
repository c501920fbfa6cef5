// The ZAP handler of one engine's ZeroMQ context: it answers every handshake on the service
// port (which carries kZapDomain and enforces it, so plain peers are asked about too) from the
// current IngressPolicy: address allow-list, connections per address, CurveZMQ keys. It also
// reads the service socket's monitor to count live connections per peer address, to learn of
// handshakes that failed before reaching it, to tell of AI engines that connected (handshake
// done) and disconnected, and of connections that libzmq closed over a message too large.
// Refusals and connections go to the IngressSink.
//
// A refused connection is hung up as soon as its refusal is known, not left to libzmq's
// handshake timeout: libzmq keeps a connection whose handshake it refused open until then, and
// a peer that opens such connections faster than they time out would take every descriptor.
// libzmq names no way to close one connection of a SUB socket; its monitor names the
// connection's descriptor (ACCEPTED), and shutdown(2) on it makes libzmq's next read fail, after
// which libzmq closes the connection as for a peer gone. A connection from an address outside the
// allow-list, or beyond the caps, is hung up at its ACCEPTED event, before its handshake; one
// whose handshake the handler refuses (an unknown key) a moment after the answer, which lets
// libzmq tell the peer why (a ZeroMQ peer told so does not come back by itself).
//
// Threads: constructed and destroyed by the thread that owns the service socket (after the
// socket is made and before it is bound); it owns one thread of its own, stopped at once through
// a Wakeup and joined by the destructor. The policy source and the sink are called on that
// thread, for every handshake, so that new settings hold from the next handshake on.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "common/clock.h"
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
     * Live connections from one address beyond which new ones are refused (hung up at once),
     * whatever the policy: AI engines open one or a few each.
     */
    static constexpr int kMaxConnectionsPerAddress = 64;
    /** Live connections from all addresses beyond which new ones are refused. */
    static constexpr int kMaxConnections = 1024;
    /**
     * How long a connection whose handshake was refused stays open before it is hung up: time
     * for libzmq to send the peer the refusal (a ZeroMQ peer that gets it gives up; one hung up
     * without it would connect again at once, and again).
     */
    static constexpr std::chrono::milliseconds kRefusedHangUpDelay{100};
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
    using Clock = sample::Clock;

    /** One connection of the service socket, from its ACCEPTED event to its DISCONNECTED. */
    struct Connection
    {
        enum class State
        {
            judging, //< Its handshake is not yet answered.
            admitted, //< An AI engine connected there.
            refused, //< Refused, hung up or about to be.
        };
        std::string address;
        /** Order of arrival: a ZAP request names an address, answered for its oldest one. */
        uint64_t arrival = 0;
        State state = State::judging;
        /** Whether its ZAP request came (a connection refused on arrival may still send one). */
        bool answered = false;
    };

    /** A refused connection to hang up once libzmq has had time to tell the peer. */
    struct DueHangUp
    {
        Clock::time_point at;
        int fd = -1;
        uint64_t arrival = 0;
    };

    void threadFuncZap();
    /** How long the thread may sleep: until the next due hang-up, or for ever (-1). */
    [[nodiscard]] long pollTimeoutMs() const;
    void readMonitor();
    void accepted(int fd);
    void ended(int fd);
    /** The connection on the descriptor is no longer counted. */
    void forget(int fd);
    /**
     * Why a new connection from the address is refused before its handshake (allow-list, caps),
     * counted already; null if that is left to its handshake.
     */
    [[nodiscard]] const char* refusalOnArrival(const std::string& address) const;
    void answerRequest();
    /** The oldest connection from the address whose ZAP request has not come; or end. */
    [[nodiscard]] std::map<int, Connection>::iterator unansweredFrom(const std::string& address);
    /** Tells the refusal: a log line (held to a rate per reason) and the sink. */
    void tellRefused(const std::string& address, const char* reason);
    /** Shuts the connection's socket down: libzmq then closes it as a connection lost. */
    static void hangUp(int fd);
    /** Hangs up the refused connections whose delay is over and that are still open. */
    void hangUpDue(Clock::time_point now);
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
    /** The live connections by descriptor. */
    std::map<int, Connection> m_connectionOfDescriptor;
    uint64_t m_arrivals = 0;
    std::map<std::string, int> m_connectionsOfPeer;
    int m_connections = 0;
    /** In the order of their times (one delay for all). */
    std::deque<DueHangUp> m_dueHangUps;
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
