// The plugin's engine: engine manifest, device agent factory, and the relay thread
// (threadFuncZeromqLoop) that takes every message from the AI engine's service port (held by a
// receiver process that the relay starts and supervises, or, as the fallback, by the same units
// in this process: IngressSource) and republishes it, unchanged, in-process to the device
// agents of this engine, and, when the "LoopbackRelay" setting is on, as a copy for outside
// watchers on tcp://127.0.0.1:688. The relay counts every message into the shared
// IngestCounters (received, relayed, for no camera, queue full, not authorised, lost at the
// receiver) and tells the operator what its ingest looks like: diagnostic events ("Listening for
// the AI engine", AI engines connecting and disconnecting, "Messages for no camera", the
// receiver's restarts), health lines and the "MetricsFile" (RelayHealth).
//
// Ownership: the engine creates the ZeroMQ context (RelayContext) and shares it with every
// agent it makes; an agent may outlive the engine, it then receives nothing more. Server threads
// construct, configure and destroy the engine; the destructor stops and joins the relay at once
// (through a Wakeup polled beside the sockets), which stops and reaps the receiver. Only the
// relay thread touches the sockets and the receiver. The device agent returned by
// doObtainDeviceAgent carries one reference for the server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include <nx/sdk/analytics/helpers/engine.h>
#include <nx/sdk/helpers/settings_response.h>

#include "common/thread_annotations.h"
#include "common/wakeup.h"
#include "ingress/ingress_policy.h"
#include "ingress/ingress_sink.h"
#include "ingress/ingress_source.h"
#include "relay/relay_context.h"

namespace zmq {
class socket_t;
class message_t;
} // namespace zmq

namespace nx::vms_server_plugins::analytics::sample {

class Plugin;
class CameraQueues;

class Engine: public nx::sdk::analytics::Engine, private IngressSink
{
public:
    static constexpr int kInitialServicePort = 9011;
    static constexpr int kDefaultServicePort = 9911;
    /** The copy of every message for outside watchers ("LoopbackRelay"). */
    static constexpr const char* kLoopbackEndpoint = "tcp://127.0.0.1:688";

    /**
     * Creates the shared context and starts the relay thread. `plugin` is not owned. Throws if
     * ZeroMQ or the system refuses a context, a descriptor or a thread.
     */
    explicit Engine(Plugin* plugin);
    virtual ~Engine() override;

    virtual void doObtainDeviceAgent(
        nx::sdk::Result<nx::sdk::analytics::IDeviceAgent*>* outResult,
        const nx::sdk::IDeviceInfo* deviceInfo) override;

protected:
    virtual std::string manifestString() const override;
    virtual nx::sdk::Result<const nx::sdk::ISettingsResponse*> settingsReceived() override;

private:
    struct Sockets;
    struct Relay;

    void threadFuncZeromqLoop();
    /** Sleeps for `duration` unless a stop is requested; false if it was. */
    [[nodiscard]] bool sleepUnlessStopped(std::chrono::milliseconds duration);
    [[nodiscard]] std::optional<zmq::socket_t> openAgentsEndpoint();
    void runRelay();
    void relayPass(Sockets& sockets, CameraQueues& queues, Relay& relay);
    void applySettings(Sockets& sockets);
    [[nodiscard]] std::unique_ptr<IngressSource> makeIngress(bool isolate);
    [[nodiscard]] std::unique_ptr<IngressSource> makeInProcessIngress(const std::string& reason);
    void fallBackInProcess(Sockets& sockets, const std::string& reason);
    void replaceIngress(
        Sockets& sockets, const std::function<std::unique_ptr<IngressSource>()>& make);
    void configureIngress(Sockets& sockets);
    [[nodiscard]] bool messageAllowed(Sockets& sockets, std::string_view message,
        const char* userId, const char* peer, CameraCounters* camera);
    /** The latest policy from the settings; any thread. */
    [[nodiscard]] std::shared_ptr<const IngressPolicy> ingressPolicy();
    IngressSink& sink() { return *this; }

    // IngressSink: what the service port tells, from the relay's or the ZAP handler's thread.
    void event(Level level, const std::string& caption, const std::string& description) override;
    void refused(const std::string& address, const std::string& reason) override;
    void connected(const std::string& address) override;
    void disconnected(const std::string& address) override;

    void reportRefusal(const std::string& address, const std::string& reason, int64_t unreported);
    /** "AI engine connected" or "disconnected"; ZAP handler's thread. */
    void reportConnection(
        const std::string& address, const std::string& change, int64_t unreported);
    void reportNoCamera(Sockets& sockets, CameraQueues& queues, std::string_view message);
    /** Takes "MetricsFile" if it is valid; refuses it in the response otherwise. */
    void applyMetricsFile(nx::sdk::SettingsResponse* response);
    [[nodiscard]] std::string metricsFile() EXCLUDES(m_metricsMutex);
    void openLoopback(Sockets& sockets);
    /** Takes "ServicePort" if it is valid; refuses it in the response otherwise. */
    void applyServicePort(nx::sdk::SettingsResponse* response);
    /** Puts an error for the setting into the response and logs it; the old value stays. */
    void refuseSetting(nx::sdk::SettingsResponse* response, const std::string& name,
        const std::string& value, const std::string& expected);
    void readSubscriptions(zmq::socket_t& agents, CameraQueues& queues);
    void relayOneMessage(Sockets& sockets, CameraQueues& queues, zmq::message_t& message,
        const char* userId, const char* peer);
    void logDropReport(const std::string& cameraId, int64_t dropped, int64_t total);

private:
    [[maybe_unused]] Plugin* const m_plugin; //< The parent; kept, never used.

    /** Shared with the agents; the relay thread's sockets live on it. */
    const RelayContext m_context;

    /** Found once, while descriptors are there to read where the library lies. */
    const std::string m_receiverExecutable;

    /** Wakes the relay for a stop request or new settings. */
    Wakeup m_wakeup;

    std::thread m_thread;

    /** Set once by the destructor, read by the relay thread after every wake-up. */
    std::atomic<bool> m_terminated{false};

    /**
     * The latest accepted "ServicePort", or 0 if one was refused before any was accepted (the
     * relay then starts on the default port). Written by settingsReceived() (server thread);
     * read by the relay at its start and on wake-ups.
     */
    std::atomic<int> m_servicePort{kInitialServicePort};
    /** Whether any "ServicePort" was accepted; written and read by settingsReceived(). */
    std::atomic<bool> m_servicePortAccepted{false};

    /** "LoopbackRelay": written by settingsReceived(), read by the relay on wake-ups. */
    std::atomic<bool> m_loopbackRelay{true};

    /** "IsolateReceiver": written by settingsReceived(), read by the relay on wake-ups. */
    std::atomic<bool> m_isolateReceiver{true};

    /**
     * Guards m_ingressPolicy: settingsReceived() (server thread) writes, the relay and the ZAP
     * handler's thread read.
     */
    std::mutex m_ingressMutex;
    std::shared_ptr<const IngressPolicy> m_ingressPolicy;

    /** Counted by the relay and the ZAP handler; read by the health reports. */
    IngestCounters& m_counters;

    /** Refusals of AI engines, from the ZAP handler's and the relay's threads. */
    RefusalReporter m_refusals;

    /** AI engines connecting and disconnecting, held to a rate per address; ZAP thread. */
    RefusalReporter m_connectionReports;

    /** "MetricsFile": written by settingsReceived(), read by the relay on wake-ups. */
    Mutex m_metricsMutex;
    std::string m_metricsFile GUARDED_BY(m_metricsMutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
