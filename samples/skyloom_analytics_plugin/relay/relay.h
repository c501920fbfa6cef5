// The relay, once its endpoint to the agents is open: it takes every message from the AI
// engine's service port (held by a receiver process that it starts and supervises, or, as the
// fallback, by the same units in this process: IngressSource) and republishes it, unchanged,
// in-process to the device agents of its engine, and, when setting::kLoopbackRelay is on, as a
// copy for outside watchers (DiagnosticCopy). It counts every message into the shared
// IngestCounters (received, relayed, for no camera, queue full, not authorised, lost at the
// receiver) and tells the operator what its ingest looks like: events through the IngressSink
// ("Messages for no camera", the receiver running inside the server, the loopback copy), health
// lines and the metrics file (RelayHealth). With setting::kReceiveMessagesFor "ownCameras" the
// service port subscribes to the envelope prefixes of the cameras that have an agent here, as
// the agents' subscriptions come and go, so that an AI engine that feeds several servers sends
// each only its cameras' messages; a message for no camera is then only counted.
//
// Ownership: made and destroyed by the relay thread (RelayThread), which owns every socket here
// and the receiver process; the destructor writes the last reports and stops the receiver. A
// receiver killed but not reaped at once is reaped at the relay's later wake-ups (ChildReaper);
// whatever listens anew (a new receiver, the port moving between the processes) takes over the
// port that listened last.
//
// Threads: the relay thread only; the ZAP handler's thread of an in-process service port calls
// the sink and reads the settings box.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "common/wakeup.h"
#include "health/camera_log.h"
#include "health/relay_health.h"
#include "ingress/child_reaper.h"
#include "ingress/connection_ledger.h"
#include "ingress/ingress_sink.h"
#include "ingress/ingress_source.h"
#include "ingress/receiver_user.h"
#include "relay/camera_queues.h"
#include "relay/diagnostic_copy.h"
#include "relay/relay_context.h"
#include "relay/relay_settings.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Marks the agents' endpoint bound for its lifetime; unbound before the socket closes. */
class BoundMark
{
public:
    explicit BoundMark(RelayEndpoint& endpoint): m_endpoint(endpoint) { endpoint.setBound(true); }
    ~BoundMark() { m_endpoint.setBound(false); }
    BoundMark(const BoundMark&) = delete;
    BoundMark& operator=(const BoundMark&) = delete;

private:
    RelayEndpoint& m_endpoint;
};

class Relay: private IngressConsumer
{
public:
    /**
     * The socket that publishes to the agents, bound to their endpoint; throws zmq::error_t if
     * it cannot be made (no descriptor or memory left).
     */
    [[nodiscard]] static zmq::socket_t makeAgentsSocket(zmq::context_t& context);

    /** Opens the service port and the loopback copy as the settings say. */
    Relay(zmq::socket_t boundAgents, RelayShared& shared, const nx::sdk::LogUtils& logUtils,
        IngressSink& sink, const RelaySettingsBox& settings, std::string receiverExecutable);
    ~Relay() override;

    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    /**
     * One wait for input, subscriptions, `wakeup` (new settings or a stop) or a deadline, and
     * what it brought. Never throws.
     */
    void pass(Wakeup& wakeup, const std::atomic<bool>& terminated) noexcept;

private:
    using Clock = RelayHealth::Clock;

    void passOrThrow(Wakeup& wakeup, const std::atomic<bool>& terminated);
    void applySettings();
    [[nodiscard]] static DiagnosticCopy::Target copyTarget(const RelaySettings& settings);

    // The service port.
    [[nodiscard]] std::unique_ptr<IngressSource> makeIngress(bool isolate);
    [[nodiscard]] std::unique_ptr<IngressSource> makeInProcessIngress(const std::string& reason);
    [[nodiscard]] std::optional<UserIds> receiverUser();
    void replaceIngress(const std::function<std::unique_ptr<IngressSource>()>& make);
    /**
     * The ingress goes; the AI engines it had connected are ended (`releasing`: counted only,
     * the engine is being released).
     */
    void dropIngress(bool releasing = false) noexcept;
    void configureIngress();
    [[nodiscard]] Subscriptions wantedSubscriptions();
    void ingressLost(const std::exception& failure) noexcept;
    void tickIngress(Clock::time_point now);
    [[nodiscard]] std::chrono::milliseconds untilIngressDue(Clock::time_point now) const;

    // Messages.
    void deliver(zmq::message_t& message, const char* userId, const char* peer) override;
    [[nodiscard]] bool messageAllowed(std::string_view message, const char* userId,
        const char* peer, CameraCounters* camera);
    void sendToCamera(CameraQueues::Camera& camera, zmq::message_t& message);
    void reportNoCamera(std::string_view message);
    void readSubscriptions();
    void logDropReport(const CameraQueues::Report& report);

private:
    RelayShared& m_shared;
    IngestCounters& m_counters;
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    const RelaySettingsBox& m_settings;
    const std::string m_receiverExecutable;

    zmq::socket_t m_agents;
    /** After m_agents: no agent may connect once its socket begins to close. */
    BoundMark m_agentsBound;
    DiagnosticCopy m_copy;
    /** What the service port tells, with the copy's endpoint where it says that it listens. */
    ListeningWithCopy m_ingressSink;
    /** What every ingress reports to: its AI engines still connected when it goes are ended. */
    ConnectionLedger m_connections;

    /** Receivers killed but not yet reaped; outlives m_ingress, which hands them here. */
    ChildReaper m_reaper;
    /** The service port: a receiver process, or the listener in this process; null while it
     * could not be made (tried again at m_ingressRetry). */
    std::unique_ptr<IngressSource> m_ingress;
    /** The port that listened last, as the ingress dropped last said; 0: none. */
    int m_workingPort = 0;
    /** The port that the listener in this process dropped last may still hold; 0: none. */
    int m_portClosingHere = 0;
    Clock::time_point m_ingressRetry;
    /** The event that told why it could not be made; unset once it was. */
    std::optional<std::string> m_ingressFailureTold;
    /** Why the service port runs in this process, as last told; unset while it does not. */
    std::optional<std::string> m_inProcessTold;
    /** Whether the operator was told that receivers run without a user of their own. */
    bool m_receiverUserTold = false;
    bool m_isolateWanted = false; //< The setting::kIsolateReceiver value last acted upon.
    /** setting::kReceiveMessagesFor as last acted upon: only this engine's cameras. */
    bool m_ownCameras = false;
    /** Whether the log said that the cameras are too many to subscribe to one by one. */
    bool m_tooManyTold = false;
    /** The ingress policy last acted upon; null until the ingress is configured. */
    std::shared_ptr<const IngressPolicy> m_policy;

    /** The failures that a broken peer or socket can repeat per message, held to a rate. */
    CameraLog m_log;
    RelayHealth m_health;
    NoCameraReport m_noCamera;
    CameraQueues m_queues;
};

} // namespace nx::vms_server_plugins::analytics::sample
