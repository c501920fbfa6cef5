#include "stamping_run.h"

#include <cinttypes>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <nx/sdk/ptr.h>

#include <skyloom/testhost/ai_engine_publisher.h>
#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/video_packets.h>

#include "agent_settings.h"
#include "messages.h"

namespace skyloom::bench {

using namespace nx::sdk;
using namespace nx::sdk::analytics;
using namespace std::chrono;

namespace {

constexpr milliseconds kFrameInterval{40};
constexpr milliseconds kMinDelay{100};
constexpr milliseconds kMaxDelay{300};
constexpr milliseconds kConnectTimeout{30000};
/** A camera of its own, apart from the load runs' cameras. */
constexpr int kCameraIndex = 9000;

int64_t wallClockUs()
{
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

/** The frame's time as the engine writes "meta"."timestamp": seconds with six decimals. */
std::string secondsText(int64_t us)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%" PRId64 ".%06" PRId64, us / 1000000, us % 1000000);
    return text;
}

/** Keeps, per packet, its timestamp and the frame number that its first object's track names. */
class StampHandler: public testhost::HostRefCountable<IDeviceAgent::IHandler>
{
public:
    virtual void handleMetadata(IMetadataPacket* packet) override
    {
        uint32_t frame = 0;
        if (!firstTrackNumber(packet, &frame))
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stamps.emplace_back(frame, packet->timestampUs());
    }

    virtual void handlePluginDiagnosticEvent(IPluginDiagnosticEvent*) override {}
    virtual void pushManifest(const IString*) override {}

    std::vector<std::pair<uint32_t, int64_t>> stamps() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stamps;
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<uint32_t, int64_t>> m_stamps;
};

/** The simulated camera and engine: frames every 40 ms, each answered after its delay. */
class Simulation
{
public:
    Simulation(IDeviceAgent* agent, int servicePort):
        m_agent(agent),
        m_publisher(servicePort),
        m_message(readSampleMessage("01_meta_face.json"), {"src_uuid", "timestamp", "track_id"}),
        m_random(std::random_device{}())
    {
    }

    /** Pushes frame 0 and sends for it until a packet comes back. */
    bool connect(const StampHandler& handler)
    {
        pushFrame();
        return m_publisher.sendUntil(textFor(0), [&]() { return !handler.stamps().empty(); },
            kConnectTimeout);
    }

    void run(steady_clock::duration duration)
    {
        const auto start = steady_clock::now();
        auto nextFrame = start;
        std::uniform_int_distribution<int64_t> delayMs(kMinDelay.count(), kMaxDelay.count());
        while (steady_clock::now() < start + duration)
        {
            const auto now = steady_clock::now();
            if (now >= nextFrame)
            {
                m_due.emplace(now + milliseconds(delayMs(m_random)), pushFrame());
                nextFrame += kFrameInterval;
            }
            while (!m_due.empty() && m_due.begin()->first <= steady_clock::now())
            {
                if (m_publisher.send(textFor(m_due.begin()->second)))
                    ++m_sent;
                m_due.erase(m_due.begin());
            }
            const auto wake =
                m_due.empty() ? nextFrame : std::min(nextFrame, m_due.begin()->first);
            std::this_thread::sleep_until(wake);
        }
    }

    int64_t sent() const { return m_sent; }
    int64_t frameUs(uint32_t frame) const { return m_frameUs.at(frame); }
    size_t frames() const { return m_frameUs.size(); }

private:
    uint32_t pushFrame()
    {
        const int64_t us = wallClockUs();
        const auto frame = makePtr<testhost::CompressedVideoPacket>(us);
        if (!testhost::doPushDataPacket(m_agent, frame.get()).isOk())
            throw std::runtime_error("the agent refused a video frame");
        m_frameUs.push_back(us);
        return static_cast<uint32_t>(m_frameUs.size() - 1);
    }

    std::string textFor(uint32_t frame) const
    {
        return m_message.make({jsonString(cameraId(kCameraIndex)), secondsText(m_frameUs[frame]),
            std::to_string(frame)});
    }

    IDeviceAgent* const m_agent;
    testhost::AiEnginePublisher m_publisher;
    const MessageTemplate m_message;
    std::mt19937_64 m_random;
    std::vector<int64_t> m_frameUs; //< By frame number.
    std::multimap<steady_clock::time_point, uint32_t> m_due; //< Answers not sent yet.
    int64_t m_sent = 0;
};

} // namespace

StampingResult runStamping(PluginRig* plugin, int servicePort, const std::string& source,
    seconds duration)
{
    const auto handler = makePtr<StampHandler>();
    std::map<std::string, std::string> settings = benchAgentSettings();
    settings[setting::kTimestampSource.name] = source;
    const Ptr<IDeviceAgent> agent =
        plugin->makeAgent(deviceId(kCameraIndex), handler.get(), settings);

    Simulation simulation(agent.get(), servicePort);
    if (!simulation.connect(*handler))
        throw std::runtime_error("the stamping camera receives nothing");
    const size_t warmUp = handler->stamps().size();
    simulation.run(duration);
    std::this_thread::sleep_for(kMaxDelay + milliseconds(500)); //< The last answers arrive.

    const std::vector<std::pair<uint32_t, int64_t>> stamps = handler->stamps();
    std::vector<uint32_t> errorsUs;
    for (size_t i = warmUp; i < stamps.size(); ++i)
    {
        const auto [frame, packetUs] = stamps[i];
        if (frame == 0 || frame >= simulation.frames())
            continue;
        errorsUs.push_back(static_cast<uint32_t>(std::llabs(packetUs - simulation.frameUs(frame))));
    }
    StampingResult result;
    result.messages = simulation.sent();
    result.packets = static_cast<int64_t>(errorsUs.size());
    result.error = summarize(std::move(errorsUs));
    return result;
}

} // namespace skyloom::bench
