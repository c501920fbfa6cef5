// The time of the packets: where a message names its frame's time, how late the AI engine is,
// and packets stamped with the frame the engine analysed. The agent is driven directly, on a
// clock that moves with the camera's video, by a camera at 25 frames a second and an engine that
// answers 100 to 300 ms after each frame.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <nx/kit/debug.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/testhost.h>

#include "agent/device_agent.h"
#include "agent/frame_history.h"
#include "conversion/engine_time.h"
#include "conversion/message_parser.h"
#include "health/engine_delay.h"
#include "health/event_captions.h"
#include "relay/relay_context.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;
using namespace skyloom::testhost;
using nx::sdk::Ptr;
using json = nlohmann::json;

constexpr const char* kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";
constexpr int64_t kStartUs = 1598863206064000;
constexpr int64_t kFrameIntervalUs = 40000; //< 25 frames a second.

//-------------------------------------------------------------------------------------------------
// Which time is the engine's.

TEST(EngineTime, PlacesFormsAndLimits)
{
    using Status = EngineTime::Status;
    const struct
    {
        const char* message;
        Status status;
        int64_t us;
    } rows[] = {
        {R"({"event": {"vid_ts_us": 1598863206064000}})", Status::found, 1598863206064000},
        {R"({"timestamp": 1598863206064000})", Status::found, 1598863206064000},
        {R"({"timestamp": "1598863206064000"})", Status::found, 1598863206064000},
        {R"({"meta": {"timestamp": 1718269954.482113}})", Status::found, 1718269954482113},
        {R"({"meta": {"timestamp": "1718269954.482113"}})", Status::found, 1718269954482113},
        {R"({"meta": {"timestamp": "1718269954.4821139"}})", Status::found, 1718269954482113},
        {R"({"meta": {"timestamp": 1718269954}})", Status::found, 1718269954000000},
        {R"({"timestamp": -40000})", Status::found, -40000},
        {R"({"timestamp": "-9223372036854775808"})", Status::found, INT64_MIN},
        {R"({"timestamp": 1.5e15})", Status::found, 1500000000000000},
        // The first present place decides, null is absent.
        {R"({"event": {"vid_ts_us": 2}, "timestamp": 1, "meta": {"timestamp": 3}})",
            Status::found, 2},
        {R"({"event": {"vid_ts_us": null}, "timestamp": 1})", Status::found, 1},
        {R"({"event": {"vid_ts_us": "soon"}, "timestamp": 1})", Status::malformed, 0},
        {R"({"event": [], "timestamp": 1})", Status::found, 1},
        {R"({"src_uuid": "x"})", Status::absent, 0},
        {R"({"meta": {"timestamp": null}})", Status::absent, 0},
        {R"([1, 2])", Status::absent, 0},
        // Malformed: wrong type, fractions of a microsecond, beyond 64 bits, not plain decimal.
        {R"({"timestamp": true})", Status::malformed, 0},
        {R"({"timestamp": {"us": 1}})", Status::malformed, 0},
        {R"({"timestamp": 1.5})", Status::malformed, 0},
        {R"({"timestamp": "1.5"})", Status::malformed, 0},
        {R"({"timestamp": 18446744073709551615})", Status::malformed, 0},
        {R"({"timestamp": 1e30})", Status::malformed, 0},
        {R"({"timestamp": "9223372036854775808"})", Status::malformed, 0},
        {R"({"timestamp": "99999999999999999999"})", Status::malformed, 0},
        {R"({"timestamp": ""})", Status::malformed, 0},
        {R"({"timestamp": " 1"})", Status::malformed, 0},
        {R"({"timestamp": "1 "})", Status::malformed, 0},
        {R"({"timestamp": "+1"})", Status::malformed, 0},
        {R"({"timestamp": "-"})", Status::malformed, 0},
        {R"({"timestamp": "0x10"})", Status::malformed, 0},
        {R"({"meta": {"timestamp": 9300000000000}})", Status::malformed, 0},
        {R"({"meta": {"timestamp": "9300000000000"}})", Status::malformed, 0},
        {R"({"meta": {"timestamp": "1."}})", Status::malformed, 0},
        {R"({"meta": {"timestamp": ".5"}})", Status::malformed, 0},
        {R"({"meta": {"timestamp": "1.5x"}})", Status::malformed, 0},
    };
    MessageParser parser;
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.message);
        const MessageParser::Result parsed = parser.parse(row.message);
        ASSERT_TRUE(parsed.parsed()) << parsed.failure;
        const EngineTime time = engineTimeOf(parsed.message);
        EXPECT_EQ(row.status, time.status);
        EXPECT_EQ(row.us, time.found() ? time.us : 0);
    }
}

//-------------------------------------------------------------------------------------------------
// The delay and the frame history, as units.

TEST(DelayWindow, BusyCameraKeepsBoundedSamplesAndAMinute)
{
    DelayWindow window;
    const Clock::time_point start;
    // 1000 messages a second for 70 s, delays 100 to 299 ms evenly: median 200, p95 290.
    for (int ms = 0; ms < 70000; ++ms)
        window.record(100000 + (ms % 200) * 1000, start + std::chrono::milliseconds(ms));
    const auto summary = window.summary(start + std::chrono::milliseconds(69999));
    ASSERT_TRUE(summary);
    EXPECT_EQ(60 * DelayWindow::kSamplesPerSecond, summary->samples);
    EXPECT_NEAR(200000, summary->medianUs, 10000);
    EXPECT_NEAR(290000, summary->p95Us, 10000);
    // A minute later the delays are gone.
    EXPECT_FALSE(window.summary(start + std::chrono::milliseconds(69999 + 60000)));
}

TEST(FrameHistory, KeepsTenSecondsAndRestartsWhenTheTimelineJumpsBack)
{
    FrameHistory history;
    EXPECT_FALSE(history.newest());
    EXPECT_FALSE(history.nearest(0));
    for (int i = 0; i < 1000; ++i) //< 40 s of frames.
        history.add(kStartUs + i * kFrameIntervalUs);
    const auto span = history.span();
    ASSERT_TRUE(span);
    EXPECT_EQ(251U, span->frames); //< 10 s and the frame at its start.
    EXPECT_EQ(kStartUs + 999 * kFrameIntervalUs, span->newestUs);
    EXPECT_EQ(kFrameIntervalUs, span->frameIntervalUs());
    EXPECT_EQ(kStartUs + 990 * kFrameIntervalUs,
        history.nearest(kStartUs + 990 * kFrameIntervalUs + 19999)->frameUs);
    EXPECT_EQ(kStartUs + 990 * kFrameIntervalUs, //< Halfway: the earlier frame.
        history.nearest(kStartUs + 990 * kFrameIntervalUs + 20000)->frameUs);

    history.add(kStartUs); //< The stream started again.
    EXPECT_EQ(1U, history.span()->frames);
    EXPECT_EQ(kStartUs, *history.newest());
}

// The frame thread writes while the receive thread reads: a reader must only ever see times
// that were written, never a torn or half-written slot (run under TSan too).
TEST(FrameHistory, ReaderSeesOnlyWrittenFramesWhileTheWriterLapsTheRing)
{
    FrameHistory history;
    std::atomic<bool> stop{false};
    std::thread writer(
        [&]()
        {
            for (int64_t i = 0; !stop; ++i)
                history.add(kStartUs + i * kFrameIntervalUs);
        });
    int looks = 0;
    for (const auto end = Clock::now() + std::chrono::milliseconds(200); Clock::now() < end;)
    {
        const auto match = history.nearest(kStartUs + 5000 * kFrameIntervalUs);
        if (!match)
            continue;
        ++looks;
        ASSERT_EQ(0, (match->frameUs - kStartUs) % kFrameIntervalUs);
        ASSERT_LE(match->span.frames, FrameHistory::kCapacity);
        ASSERT_LE(match->span.oldestUs, match->frameUs);
        ASSERT_LE(match->frameUs, match->span.newestUs);
    }
    stop = true;
    writer.join();
    EXPECT_GT(looks, 0);
}

//-------------------------------------------------------------------------------------------------
// The agent.

class FrameTimeTest: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        nx::kit::debug::debugStream();
        makeAgent();
    }

    void makeAgent()
    {
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
        m_handler = Ptr<DeviceAgentHandler>(new DeviceAgentHandler());
        m_handler->setPacketCallback(
            [this](const MetadataPacketRecord& packet) { m_times.push_back(packet.timestampUs); });
        m_agent = Ptr<DeviceAgent>(new DeviceAgent(deviceInfo.get(), makeRelayContext(),
            DeviceAgent::ReceiveThread::none, [this]() { return m_now; }));
        m_agent->setHandler(m_handler.get());
    }

    void settings(const char* timestampSource, int timeCorrectionMs = 0)
    {
        const SettingsResult result = doSetSettings(m_agent.get(),
            Settings{{"enableMetadata", "true"}, {"timestampSource", timestampSource},
                {"timeCorrection", std::to_string(timeCorrectionMs)}});
        ASSERT_TRUE(result.isOk()) << result.errorMessage;
    }

    /** A frame of the camera; the agent's clock moves with the video. */
    void frame(int64_t timestampUs)
    {
        m_now = Clock::time_point() + std::chrono::microseconds(timestampUs - kStartUs);
        const Ptr<CompressedVideoPacket> packet(new CompressedVideoPacket(timestampUs));
        ASSERT_TRUE(doPushDataPacket(m_agent.get(), packet.get()).isOk());
    }

    /** The times of the packets that the message made (at least one is expected). */
    std::vector<int64_t> packetTimes(const json& message, int64_t arrivalUs)
    {
        m_now = Clock::time_point() + std::chrono::microseconds(arrivalUs - kStartUs);
        m_times.clear();
        m_agent->receiveMessage(message.dump());
        EXPECT_FALSE(m_times.empty()) << message.dump();
        return m_times;
    }

    std::vector<DiagnosticEventRecord> events(const char* caption) const
    {
        std::vector<DiagnosticEventRecord> result;
        for (const auto& event: m_handler->snapshot().diagnosticEvents)
        {
            if (event.caption == caption)
                result.push_back(event);
        }
        return result;
    }

    CameraSnapshot counts() const { return m_agent->counters().snapshot(kCameraId, m_now); }

    /** An alarm (an event packet and an object packet), to which `times` adds engine times. */
    static json alarm(const json& times = json::object())
    {
        json message = {{"src_uuid", kCameraId}, {"source", "intrusion"}, {"caption", "c"},
            {"description", "d"}, {"event", {{"object_list", {{{"tid", 7}, {"class", "person"},
                {"bbox", {{"x0", 0.1}, {"y0", 0.1}, {"x1", 0.5}, {"y1", 0.6}}}}}}}}};
        message.merge_patch(times);
        return message;
    }

    std::chrono::steady_clock::time_point m_now;
    std::vector<int64_t> m_times; //< Of the packets of the message in hand.
    Ptr<DeviceAgentHandler> m_handler;
    Ptr<DeviceAgent> m_agent;
};

/** A detection message's members with its time, to add to an alarm. */
json meta(const json& timestamp)
{
    return {{"meta", {{"timestamp", timestamp}, {"metadata", {{"annotations", json::array()}}}}}};
}

/** Seconds as the engine writes them in "meta"."timestamp". */
std::string secondsText(int64_t us)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%lld.%06lld", static_cast<long long>(us / 1000000),
        static_cast<long long>(us % 1000000));
    return text;
}

// A camera at 25 fps for 70 s and an AI engine that answers each frame after 100 to 300 ms
// (evenly, jittered), naming the frame in turn in each of its three places.
TEST_F(FrameTimeTest, EngineAnsweringLateStampsTheFrameItNamedOrTheLatestOne)
{
    for (const char* source: {"engineFrame", "latestFrame"})
    {
        SCOPED_TRACE(source);
        makeAgent();
        settings(source);
        const bool engineFrame = std::string(source) == "engineFrame";
        constexpr int kFrames = 70 * 25;
        uint32_t random = 12345;
        std::multimap<int64_t, int64_t> pending; //< Arrival → the frame the message names.
        std::vector<int64_t> delaysUs;
        int messages = 0;
        for (int i = 0; i <= kFrames; ++i)
        {
            const int64_t frameUs = kStartUs + i * kFrameIntervalUs;
            // Messages that arrive before this frame see the previous one as the latest.
            while (!pending.empty() && pending.begin()->first < frameUs)
            {
                const auto [arrivalUs, namedUs] = *pending.begin();
                pending.erase(pending.begin());
                const int64_t latestUs = frameUs - kFrameIntervalUs;
                json times;
                switch (messages++ % 3)
                {
                    case 0: times = {{"event", {{"vid_ts_us", namedUs}}}}; break;
                    case 1: times = {{"timestamp", std::to_string(namedUs)}}; break;
                    default: times = meta(secondsText(namedUs));
                }
                for (const int64_t timeUs: packetTimes(alarm(times), arrivalUs))
                    ASSERT_EQ(engineFrame ? namedUs : latestUs, timeUs);
            }
            frame(frameUs);
            random = random * 1103515245 + 12345;
            const int64_t delayUs = 100000 + (random >> 8) % 200001;
            delaysUs.push_back(delayUs);
            pending.emplace(frameUs + delayUs, frameUs);
        }
        std::nth_element(delaysUs.begin(), delaysUs.begin() + delaysUs.size() / 2, delaysUs.end());
        const int64_t simulatedMedianUs = delaysUs[delaysUs.size() / 2];

        const CameraSnapshot camera = counts();
        EXPECT_EQ(0U, camera.withoutEngineTime);
        EXPECT_EQ(0U, camera.outsideFrameHistory);
        ASSERT_TRUE(camera.engineDelayMedianUs);
        EXPECT_NEAR(simulatedMedianUs, *camera.engineDelayMedianUs, kFrameIntervalUs);
        EXPECT_NEAR(290000, *camera.engineDelayP95Us, 2 * kFrameIntervalUs);

        // Only the latest frame's rule has a correction to suggest; once, as it stays steady.
        const auto suggestions = events(kSuggestedCorrectionCaption);
        ASSERT_EQ(engineFrame ? 0U : 1U, suggestions.size());
        EXPECT_TRUE(events(kOtherClockCaption).empty());
        if (engineFrame)
            continue;
        EXPECT_EQ(nx::sdk::IPluginDiagnosticEvent::Level::info, suggestions[0].level);
        std::smatch found;
        ASSERT_TRUE(std::regex_search(suggestions[0].description, found,
            std::regex("Suggested \"timeCorrection\": (-?[0-9]+) ms \\(now 0 ms\\)")))
            << suggestions[0].description;
        EXPECT_NEAR(-simulatedMedianUs / 1000, std::stoi(found[1]), kFrameIntervalUs / 1000);
    }
}

// Each form of engine time, in each rule: the packets' time, and what the camera counts.
TEST_F(FrameTimeTest, EngineTimeFormsGiveTheirPacketTimeAndCounts)
{
    for (int i = 0; i <= 50; ++i) //< Two seconds of frames.
        frame(kStartUs + i * kFrameIntervalUs);
    const int64_t latest = kStartUs + 50 * kFrameIntervalUs;
    const int64_t named = kStartUs + 25 * kFrameIntervalUs; //< A kept frame, 1 s before.
    const struct
    {
        const char* name;
        const char* source;
        json times;
        int64_t expectedUs;
        uint64_t withoutEngineTime = 0;
        uint64_t outsideFrameHistory = 0;
        int timeCorrectionMs = 0;
    } rows[] = {
        {"frame, number", "engineFrame", {{"event", {{"vid_ts_us", named}}}}, named},
        {"latest frame's rule", "latestFrame", {{"event", {{"vid_ts_us", named}}}}, latest},
        {"nearest frame before", "engineFrame", {{"event", {{"vid_ts_us", named + 15000}}}},
            named},
        {"nearest frame after", "engineFrame", {{"event", {{"vid_ts_us", named + 25000}}}},
            named + kFrameIntervalUs},
        {"µs, number", "engineFrame", {{"timestamp", named}}, named},
        {"µs, string", "engineFrame", {{"timestamp", std::to_string(named)}}, named},
        {"seconds, number", "engineFrame", meta(named / 1e6), named},
        {"seconds, string", "engineFrame", meta(secondsText(named)), named},
        {"fine offset", "engineFrame", {{"timestamp", named}}, named + 100000, 0, 0, 100},
        {"absent", "engineFrame", json::object(), latest, 1},
        {"absent, latest frame's rule", "latestFrame", json::object(), latest, 1},
        {"malformed", "engineFrame", {{"timestamp", "soon"}}, latest, 1},
        {"beyond 64 bits", "engineFrame", {{"timestamp", 1e30}}, latest, 1},
        {"first place malformed", "engineFrame",
            {{"event", {{"vid_ts_us", "x"}}}, {"timestamp", named}}, latest, 1},
        {"another clock", "engineFrame", {{"timestamp", 5000000}}, latest, 0, 1},
        {"a frame not yet seen", "engineFrame", {{"timestamp", latest + 2 * kFrameIntervalUs}},
            latest, 0, 1},
        {"within a frame of the newest", "engineFrame",
            {{"timestamp", latest + kFrameIntervalUs}}, latest},
        {"older than the kept frames", "engineFrame", {{"timestamp", kStartUs - 80000}},
            latest, 0, 1},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        settings(row.source, row.timeCorrectionMs);
        const CameraSnapshot before = counts();
        for (const int64_t timeUs: packetTimes(alarm(row.times), latest + 150000))
            EXPECT_EQ(row.expectedUs, timeUs);
        const CameraSnapshot after = counts();
        EXPECT_EQ(row.withoutEngineTime, after.withoutEngineTime - before.withoutEngineTime);
        EXPECT_EQ(row.outsideFrameHistory, after.outsideFrameHistory - before.outsideFrameHistory);
    }

    // An engine on a clock of its own: told once, with the offset.
    makeAgent();
    settings("latestFrame");
    frame(latest);
    for (int second = 1; second <= 30; ++second)
        packetTimes(alarm({{"timestamp", 5000000 + second * 1000000}}), latest + second * 1000000);
    const auto told = events(kOtherClockCaption);
    ASSERT_EQ(1U, told.size());
    EXPECT_NE(std::string::npos, told[0].description.find(" by 15988631"))
        << told[0].description;
    EXPECT_TRUE(events(kSuggestedCorrectionCaption).empty());
    // Nor do such times pass for a delay of hours.
    const CameraSnapshot camera = counts();
    EXPECT_FALSE(camera.engineDelayMedianUs);
    EXPECT_EQ(DelayState::otherClock, camera.engineDelayState);
    EXPECT_EQ(0U, camera.engineDelayHistogram.count);
}

} // namespace
