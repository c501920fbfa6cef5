#include "host_threads.h"

#include <chrono>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/loopback_subscriber.h>
#include <skyloom/testhost/video_packets.h>

namespace skyloom::host {

namespace {

int64_t wallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
}

constexpr std::chrono::milliseconds kTapPollTimeout{200};
constexpr size_t kHeadLength = 64;

} // namespace

FramePump::FramePump(
    std::vector<nx::sdk::Ptr<nx::sdk::analytics::IDeviceAgent>> agents, double fps):
    m_agents(std::move(agents)),
    m_fps(fps),
    m_firstFrameUs(new std::atomic<int64_t>[m_agents.size()]()),
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

int64_t FramePump::firstFrameUs(size_t cameraIndex) const
{
    return cameraIndex < m_agents.size() ? m_firstFrameUs[cameraIndex].load() : 0;
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
        int64_t none = 0;
        m_firstFrameUs[cameraIndex].compare_exchange_strong(none, timestampUs);
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

RelayTap::RelayTap(
    std::vector<std::string> cameraIds, const FramePump* pump, Collector* collector):
    m_pump(pump),
    m_collector(collector)
{
    for (const std::string& id: cameraIds)
        m_prefixes.push_back(subscriptionPrefix(id));
    m_thread = std::thread([this]() { run(); });
}

RelayTap::~RelayTap()
{
    stop();
}

void RelayTap::stop()
{
    m_stopped = true;
    if (m_thread.joinable())
        m_thread.join();
}

std::string RelayTap::subscriptionPrefix(const std::string& cameraId)
{
    std::string id = cameraId;
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        id = id.substr(1, id.size() - 2);
    return "{\"src_uuid\":\"" + id + "\"";
}

int RelayTap::cameraForMessage(const std::vector<std::string>& prefixes, const std::string& text)
{
    for (size_t i = 0; i < prefixes.size(); ++i)
    {
        if (text.compare(0, prefixes[i].size(), prefixes[i]) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

void RelayTap::run()
{
    try
    {
        testhost::LoopbackSubscriber subscriber;
        while (!m_stopped && subscriber.isOpen())
        {
            const std::optional<std::string> message = subscriber.receive(kTapPollTimeout);
            if (!message)
                continue;
            const int camera = cameraForMessage(m_prefixes, *message);
            const bool beforeFirstFrame = camera >= 0
                && (!m_pump || m_pump->firstFrameUs(static_cast<size_t>(camera)) == 0);
            m_collector->addRelayed(camera, beforeFirstFrame, message->substr(0, kHeadLength));
        }
    }
    catch (...)
    {
        // Watching the relay is a diagnostic aid only: without it the counts stay at 0.
    }
}

} // namespace skyloom::host
