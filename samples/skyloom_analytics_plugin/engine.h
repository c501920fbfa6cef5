// The plugin's engine: engine manifest, device agent factory, and the relay thread
// (threadFuncZeromqLoop) that republishes every message from the AI engine's service port,
// unchanged, on the loopback endpoint that each device agent subscribes to. Server threads
// construct, configure and destroy it (the destructor stops and joins the relay); only the relay
// thread touches the ZeroMQ sockets. The device agent returned carries one reference.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include <nx/sdk/analytics/helpers/engine.h>

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

class Plugin;

class Engine: public nx::sdk::analytics::Engine
{
public:
    static constexpr int kInitialServicePort = 9011;
    static constexpr int kDefaultServicePort = 9911;
    static constexpr const char* kRelayEndpoint = "tcp://127.0.0.1:688";

    /** Starts the relay thread. `plugin` is not owned. */
    explicit Engine(Plugin* plugin);
    virtual ~Engine() override;

    virtual void doObtainDeviceAgent(
        nx::sdk::Result<nx::sdk::analytics::IDeviceAgent*>* outResult,
        const nx::sdk::IDeviceInfo* deviceInfo) override;

protected:
    virtual std::string manifestString() const override;
    virtual nx::sdk::Result<const nx::sdk::ISettingsResponse*> settingsReceived() override;

private:
    void threadFuncZeromqLoop();
    void runRelay();
    bool bindInput(zmq::socket_t& input, int port);
    bool bindOutput(zmq::socket_t& output);
    bool bindEndpoint(zmq::socket_t& socket, const std::string& endpoint, const char* caption);
    void relayOneMessage(zmq::socket_t& input, zmq::socket_t& output, bool outputBound);

    /** Sleeps for `duration` unless a stop is requested; false if it was. */
    bool sleepUnlessStopped(std::chrono::milliseconds duration);

private:
    [[maybe_unused]] Plugin* const m_plugin; //< The parent; kept, never used.

    std::mutex m_mutex; //< Taken by the stop request; guards the wake-up of the relay's sleeps.
    std::condition_variable m_stopCondition;

    std::thread m_thread;

    /** Set once by the destructor (under m_mutex), read by the relay thread every pass. */
    std::atomic<bool> m_terminated{false};

    /** Written by settingsReceived() (server thread) and once by the relay; read every pass. */
    std::atomic<int> m_servicePort{kInitialServicePort};
};

} // namespace nx::vms_server_plugins::analytics::sample
