// The thread of skyloom-host besides the main one: FramePump plays the server's video path, it
// pushes a compressed frame stamped with the wall clock to every device agent at the asked rate.
// It owns its thread: the constructor starts it, stop() or the destructor stops and joins it.
// The agents are held (one reference each) for as long as the pump lives.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nx/sdk/analytics/i_device_agent.h>
#include <nx/sdk/ptr.h>

namespace skyloom::host {

class FramePump
{
public:
    FramePump(std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> agents, double fps);
    ~FramePump();

    FramePump(const FramePump&) = delete;
    FramePump& operator=(const FramePump&) = delete;

    void stop();

    int64_t framesPushed() const { return m_framesPushed; }

    /** The first push the agent refused, as text; empty while all were taken. */
    std::string firstError() const;

private:
    void run();
    void pushFrame(size_t cameraIndex, int64_t timestampUs);

private:
    const std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> m_agents;
    const double m_fps;

    std::atomic<int64_t> m_framesPushed{0};
    std::atomic<bool> m_stopped{false};

    mutable std::mutex m_errorMutex; //< Guards m_firstError.
    std::string m_firstError;

    std::thread m_thread; //< Last: starts when everything above is set.
};

} // namespace skyloom::host
