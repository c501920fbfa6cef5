// The plugin side of the end-to-end runs: the plugin library loaded through the test host the
// way the server loads it, one engine listening on a service port, and device agents whose
// handlers read the publish time out of each object packet's first track id and record it in a
// DeliverySink. Call everything on one thread (the server's role); the handlers run on the
// agents' receive threads. The destructor releases the agents and then the engine. The rig keeps
// the engine's settings: each delivery sends all of them, as the server does.
#pragma once

#include <atomic>
#include <cstdint>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/analytics/i_engine.h>
#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/analytics/i_plugin.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/engine_handler.h>
#include <skyloom/testhost/plugin_library.h>

#include "agent_settings.h"
#include "delivery_sink.h"

namespace skyloom::bench {

/**
 * The AI engine's track id of the packet's first object (the last four bytes of its track UUID),
 * which the benchmarks' messages use to carry a number back; false if it has no object.
 */
bool firstTrackNumber(nx::sdk::analytics::IMetadataPacket* packet, uint32_t* number);

class TimingHandler;

class PluginRig
{
public:
    explicit PluginRig(DeliverySink* sink);
    ~PluginRig();

    PluginRig(const PluginRig&) = delete;
    PluginRig& operator=(const PluginRig&) = delete;

    /**
     * Waits (up to `portWait`) until nobody listens on the service port on loopback (another
     * test or demo there would take the messages or slow the run), then loads the library and
     * creates the engine. Throws
     * std::runtime_error on failure. `loopbackRelay` and `isolateReceiver` are the engine
     * settings setting::kLoopbackRelay and setting::kIsolateReceiver.
     */
    void start(const std::string& libraryPath, int servicePort,
        std::chrono::milliseconds portWait,
        bool loopbackRelay = setting::kLoopbackRelay.defaultValue.isTrue(),
        bool isolateReceiver = setting::kIsolateReceiver.defaultValue.isTrue());

    /**
     * Delivers these engine settings with the others given so far (the service port of start()
     * among them); throws std::runtime_error if the engine refuses the call or one of them.
     */
    void setEngineSettings(const std::map<std::string, std::string>& settings);

    /**
     * Delivers setting::kIsolateReceiver and waits (up to `timeout`) until the engine has acted
     * on it: a receiver process runs (a new one if the setting changed), or none does. Throws
     * std::runtime_error on refusal or timeout (with the engine's diagnostics).
     */
    void setIsolateReceiver(bool isolate, std::chrono::milliseconds timeout);

    bool isolateReceiver() const
    {
        return m_settings.at(setting::kIsolateReceiver.name) == "true";
    }

    /** The engine's diagnostic events so far, one line each ("" if none). */
    std::string engineDiagnostics() const;

    /**
     * Adds cameras (ids from cameraId()) until there are `count`, each with every detection
     * admitted, a handler and one video frame. Throws std::runtime_error on failure.
     */
    void addCameras(int count);

    int cameraCount() const { return static_cast<int>(m_cameras.size()); }

    /**
     * An agent of its own for a measurement (not among the cameras above): the device's
     * handler and these camera settings. Release it before stop(). Throws std::runtime_error.
     */
    nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent> makeAgent(const std::string& deviceId,
        nx::sdk::analytics::IDeviceAgent::IHandler* handler,
        const std::map<std::string, std::string>& settings);
    /** The plugin object, for more engines of the same library (SiteRig); null before start(). */
    nx::sdk::analytics::IPlugin* plugin() const { return m_plugin.get(); }

    /** Packets that camera `index`'s handler has seen, stale ones included. */
    int64_t arrivals(int index) const;

    /** Releases the agents one after another; the time of each release, in milliseconds. */
    std::vector<double> releaseCamerasOneByOne();

    /** Releases the engine (after the agents, or before them); its release time in ms. */
    double releaseEngine();

    /** Releases every agent and the engine; waits for their threads. */
    void stop();

private:
    struct Camera;

    DeliverySink* const m_sink;
    testhost::PluginLibrary m_library;
    nx::sdk::Ptr<nx::sdk::analytics::IPlugin> m_plugin;
    nx::sdk::Ptr<testhost::EngineHandler> m_engineHandler;
    nx::sdk::Ptr<nx::sdk::analytics::IEngine> m_engine;
    std::map<std::string, std::string> m_settings; //< The engine's, as last delivered.
    std::vector<std::unique_ptr<Camera>> m_cameras;
};

} // namespace skyloom::bench
