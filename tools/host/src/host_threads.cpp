#include "host_threads.h"

#include <chrono>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/video_packets.h>

namespace skyloom::host {

namespace {

int64_t wallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
}

} // namespace

FramePump::FramePump(
    std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> agents, double fps):
    m_agents(std::move(agents)),
    m_fps(fps),
    m_thread([this]() { run(); })
{
}

FramePump::~FramePump()
{
    stop();
}

void FramePump::stop()
{
    m_stopped = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::string FramePump::firstError() const
{
    const std::lock_guard<std::mutex> lock(m_errorMutex);
    return m_firstError;
}

void FramePump::run()
{
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / m_fps));
    auto next = Clock::now();
    while (!m_stopped)
    {
        const int64_t timestampUs = wallClockUs();
        for (size_t i = 0; i < m_agents.size() && !m_stopped; ++i)
            pushFrame(i, timestampUs);
        next += interval;
        // Short sleeps keep stop() quick at low frame rates.
        while (!m_stopped && Clock::now() < next)
            std::this_thread::sleep_for(std::min<Clock::duration>(
                next - Clock::now(), std::chrono::milliseconds(50)));
    }
}

void FramePump::pushFrame(size_t cameraIndex, int64_t timestampUs)
{
    try
    {
        const auto frame = nx::sdk::makePtr<testhost::CompressedVideoPacket>(timestampUs);
        const testhost::CallStatus status =
            testhost::doPushDataPacket(m_agents[cameraIndex].get(), frame.get());
        if (!status.isOk())
        {
            const std::lock_guard<std::mutex> lock(m_errorMutex);
            if (m_firstError.empty())
            {
                m_firstError = "camera " + std::to_string(cameraIndex + 1) + " refused a frame: "
                    + std::to_string(static_cast<int>(status.errorCode)) + " "
                    + status.errorMessage;
            }
            return;
        }
        ++m_framesPushed;
    }
    catch (const std::exception& e)
    {
        const std::lock_guard<std::mutex> lock(m_errorMutex);
        if (m_firstError.empty())
            m_firstError = std::string("pushing a frame failed: ") + e.what();
    }
    catch (...)
    {
        const std::lock_guard<std::mutex> lock(m_errorMutex);
        if (m_firstError.empty())
            m_firstError = "pushing a frame failed";
    }
}

} // namespace skyloom::host
