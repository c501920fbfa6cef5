// The two threads of skyloom-host besides the main one. FramePump plays the server's video
// path: it pushes a compressed frame stamped with the wall clock to every device agent at the
// asked rate. RelayTap watches the plugin's loopback relay and counts the messages per camera.
// Each object owns its thread: the constructor starts it, stop() or the destructor stops and
// joins it. The agents are held (one reference each) for as long as the pump lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/ptr.h>

#include "collector.h"

namespace skyloom::host {

class FramePump
{
public:
    FramePump(std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> agents, double fps);
    ~FramePump();

    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    void stop();

    /** Wall-clock time of the camera's first frame in microseconds; 0 before it. */
    int64_t firstFrameUs(size_t cameraIndex) const;

    int64_t framesPushed() const { return m_framesPushed; }

    /** The first push the agent refused, as text; empty while all were taken. */
    std::string firstError() const;

private:
    void run();
    void pushFrame(size_t cameraIndex, int64_t timestampUs);

private:
    const std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> m_agents;
    const double m_fps;

    /** Written by the pump thread, read by the main and tap threads. */
    std::unique_ptr<std::atomic<int64_t>[]> m_firstFrameUs;
    std::atomic<int64_t> m_framesPushed{0};
    std::atomic<bool> m_stopped{false};

    mutable std::mutex m_errorMutex; //< Guards m_firstError.
    std::string m_firstError;

    std::thread m_thread; //< Last: starts when everything above is set.
};

class RelayTap
{
public:
    /** cameraIds as the server reports them (in braces); pump may be null. */
    RelayTap(std::vector<std::string> cameraIds, const FramePump* pump, Collector* collector);
    ~RelayTap();

    RelayTap(const RelayTap&) = delete;
    RelayTap& operator=(const RelayTap&) = delete;

    void stop();

    /** The index of the camera whose subscription prefix begins the message; -1 for none. */
    static int cameraForMessage(const std::vector<std::string>& prefixes, const std::string& text);

    /** The plugin's subscription prefix for a device id: {"src_uuid":"<id without braces>". */
    static std::string subscriptionPrefix(const std::string& cameraId);

private:
    void run();

private:
    std::vector<std::string> m_prefixes;
    const FramePump* const m_pump;
    Collector* const m_collector;
    std::atomic<bool> m_stopped{false};
    std::thread m_thread; //< Last: starts when everything above is set.
};

} // namespace skyloom::host
