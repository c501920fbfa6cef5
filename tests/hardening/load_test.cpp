// Load on the loaded plugin library, through its relay and the device agents' receive loops: a
// slow server, a flood far beyond what the queues hold, huge object lists, large messages, an AI
// engine that comes and goes, and one that sends more than the relay accepts.
//
// One engine serves the whole binary (its relay needs five seconds to start); the tests run in
// the order written. Each test releases what it created, so that the registry is back to the
// plugin and the engine alone; the last one releases those too and finds the registry empty.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <zmq.hpp>

#include "hardening_support.h"

#if defined(__has_feature)
    #if __has_feature(address_sanitizer)
// The flood frees far more memory than the default quarantine holds back (256 MiB), which would
// show as growth; a small one keeps the memory reading meaningful.
extern "C" const char* __asan_default_options()
{
    return "quarantine_size_mb=16";
}
    #endif
#endif

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::makePtr;
using nx::sdk::Ptr;
using testhost::AiEnginePublisher;
using testhost::DeviceAgentHandler;
using Kind = testhost::MetadataPacketRecord::Kind;

const int kServicePort = testhost::testPort(0);
constexpr char kEngineId[] = "{1a1a1a1a-0000-4000-8000-000000000001}";

/** What the relay accepts from the AI engine in one message. */
constexpr size_t kMaxMessageSize = 4 * 1024 * 1024;

class HardeningLoad: public SharedEngineSuite<HardeningLoad>
{
protected:
    static void SetUpTestSuite() { startSharedEngine(kServicePort, kEngineId); }

    static Camera openCamera(int n, nx::sdk::analytics::IDeviceAgent::IHandler* handler,
        const testhost::Settings& settings = {{"enableMetadata", "true"}, {"showCounter", "true"}})
    {
        Camera camera(cameraId(n));
        EXPECT_TRUE(camera.open(s_engine.engine.get(), handler, settings));
        return camera;
    }
};

/** Sends a probe until the handler has recorded a packet, then forgets everything recorded. */
void settleThroughRelay(AiEnginePublisher& publisher, const Camera& camera,
    DeviceAgentHandler& handler)
{
    ASSERT_TRUE(publisher.isOpen()) << publisher.errorText();
    ASSERT_TRUE(publisher.sendUntil(alarmMessage(camera.id, "Probe"),
        [&]() { return handler.packetCount() > 0; }, kDeliveryTimeout))
        << "nothing reached camera " << camera.id;
    AiEnginePublisher::settle(500ms); //< Probes still under way.
    handler.clear();
}

int countCaptioned(const testhost::MetadataPacketRecord& packet, const std::string& caption)
{
    int count = 0;
    for (const auto& item: packet.items)
    {
        const auto* attribute = item.attribute("caption");
        if (attribute && attribute->value == caption)
            ++count;
    }
    return count;
}

//-------------------------------------------------------------------------------------------------

TEST_F(HardeningLoad, SlowServerHoldsUpOnlyItsOwnCamera)
{
    const auto slowHandler = makePtr<CountingHandler>();
    const auto fastHandler = makePtr<CountingHandler>();
    Camera slow = openCamera(1, slowHandler.get());
    Camera fast = openCamera(2, fastHandler.get());

    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(slow.id, "Probe"),
        [&]() { return slowHandler->packets() > 0; }));
    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(fast.id, "Probe"),
        [&]() { return fastHandler->packets() > 0; }));

    // Every alarm makes three packets; at 10 ms each the slow camera falls far behind: the flood
    // goes on until its queue is full.
    const testhost::LogFile log;
    const std::string dropLine =
        s_engine.printPrefix + "threadFuncZeromqLoop camera " + slow.id + ": queue full, ";
    slowHandler->setPacketDelay(10ms);
    {
        const std::string toSlow = alarmMessage(slow.id, "Load");
        const std::string toFast = alarmMessage(fast.id, "Load");
        Flooder flooder(kServicePort,
            [&](int64_t i) { return (i % 2) ? toSlow : toFast; });
        EXPECT_TRUE(waitUntil([&]() { return log.countLinesContaining(dropLine) > 0; }, 60s));
        EXPECT_GT(flooder.stop(), 0);
        EXPECT_FALSE(flooder.failed());
    }

    // The fast camera is not stuck behind the slow one's backlog.
    const int64_t fastBefore = fastHandler->packets();
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(fast.id, "After"),
        [&]() { return fastHandler->packets() > fastBefore; }));

    // The relay counted the slow camera's drops: reported at the first one, then at most once
    // per ten seconds, not once per message.
    const int dropLines = log.countLinesContaining(dropLine);
    EXPECT_GE(dropLines, 1);
    EXPECT_LE(dropLines, 2);

    // Released in the middle of its backlog, the slow agent stops calling its handler and lets
    // go of it; only the message in progress is finished.
    slow.agent.reset();
    const int64_t slowAtRelease = slowHandler->packets();
    // Once the agent has let go of the handler, it can call it no more.
    EXPECT_TRUE(waitUntil([&]() { return slowHandler->refCount() == 1; }));
    EXPECT_EQ(slowAtRelease, slowHandler->packets());
    EXPECT_EQ(0, slowHandler->badPackets());
    EXPECT_EQ(0, fastHandler->badPackets());
    // The drops of the flood after the first report are reported when the agent unsubscribes.
    const auto deadline = steady_clock::now() + kDeliveryTimeout;
    while (log.countLinesContaining(dropLine) == dropLines && steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(dropLines + 1, log.countLinesContaining(dropLine));

    fast.agent.reset();
    EXPECT_EQ(1, fastHandler->refCount());
    expectOnlyEngineLeft();
}

TEST_F(HardeningLoad, FloodFarBeyondTheQueuesLosesMessagesButNotMemory)
{
    const auto handler = makePtr<CountingHandler>();
    handler->setPacketDelay(1ms);
    Camera camera = openCamera(3, handler.get());
    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "Probe"),
        [&]() { return handler->packets() > 0; }));

    const std::string message = messageOfSize(camera.id, "Flood", 4096);
    const auto flood =
        [&](seconds duration)
        {
            Flooder flooder(kServicePort, [&](int64_t) { return message; });
            std::this_thread::sleep_for(duration);
            const int64_t sent = flooder.stop();
            EXPECT_FALSE(flooder.failed());
            return sent;
        };

    // The first flood fills every queue on the way (publisher, relay, agent) to its high-water
    // mark; from then on the memory in use must stay level.
    flood(2s);
    const int64_t residentBefore = residentKiB();
    const int64_t packetsBefore = handler->packets();
    const int64_t sent = flood(6s);
    const int64_t residentAfter = residentKiB();
    const int64_t handled = handler->packets() - packetsBefore;

    std::cout << "[ MEASURED ] flood: " << sent << " messages sent, " << handled
        << " packets handled, resident " << residentBefore << " KiB -> " << residentAfter
        << " KiB" << std::endl;

    // Four queues of 1000 messages each stand between the publisher and the handler.
    EXPECT_GT(sent, 10 * 4 * 1000) << "not a flood beyond the queues";
    EXPECT_GT(handled, 0);
    ASSERT_GT(residentBefore, 0);
    const int64_t allowedGrowthKiB = builtWithThreadSanitizer() ? 256 * 1024 : 64 * 1024;
    EXPECT_LT(residentAfter - residentBefore, allowedGrowthKiB);

    // Back to normal once the flood is over.
    handler->setPacketDelay(0ms);
    const int64_t packetsAfterFlood = handler->packets();
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "After"),
        [&]() { return handler->packets() > packetsAfterFlood; }, 60s));
    EXPECT_EQ(0, handler->badPackets());

    camera.agent.reset();
    expectOnlyEngineLeft();
}

// ZeroMQ's queues count messages: two slow cameras flooded with 4 MiB messages held 1.9 GB.
TEST_F(HardeningLoad, LargeMessagesQueuedForSlowCamerasHeldGigabytes)
{
    constexpr int64_t kCameraQueueMiB = 32; //< The plugin's bound per camera.
    constexpr int kCameras = 2;
    std::vector<Ptr<CountingHandler>> handlers;
    std::vector<Camera> cameras;
    for (int i = 0; i < kCameras; ++i)
    {
        handlers.push_back(makePtr<CountingHandler>());
        cameras.push_back(openCamera(20 + i, handlers.back().get()));
        ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(cameras.back().id, "Probe"),
            [&]() { return handlers.back()->packets() > 0; }));
        handlers.back()->setPacketDelay(100ms);
    }

    const int64_t residentBefore = residentKiB();
    int64_t residentPeak = residentBefore;
    std::vector<std::string> messages;
    for (const Camera& camera: cameras)
        messages.push_back(messageOfSize(camera.id, "Large", kMaxMessageSize - 4096));
    // The flood lasts six seconds (unbounded queues would hold gigabytes by then) and until
    // each camera's queue was full (logged at once): under a sanitizer's slowdown the receiver's
    // own bounded queue drops much of the flood, and the cameras' queues fill later. Under
    // ThreadSanitizer (the AI engine in this process) it lasts until it is beyond the queues.
    const testhost::LogFile log;
    const auto queueFull = [&](const Camera& camera)
        {
            return log.countLinesContaining(s_engine.printPrefix + "threadFuncZeromqLoop camera "
                + camera.id + ": queue full, ") > 0;
        };
    std::function<bool()> floodedEnough = [&]()
        { return std::all_of(cameras.begin(), cameras.end(), queueFull); };
    const auto samplePeak =
        [&]()
        {
            const auto start = steady_clock::now();
            const auto floodedLongEnough = [&]()
                {
                    residentPeak = std::max(residentPeak, residentKiB());
                    return steady_clock::now() - start >= 6s && floodedEnough();
                };
            EXPECT_TRUE(waitUntil(floodedLongEnough, 120s)) << "not flooded enough";
        };
    // Each message alone is an eighth of a camera's bound: a hundred are far beyond it.
    constexpr int64_t kFlood = 100;
    if (builtWithThreadSanitizer())
    {
        // Its runtime cannot start threads in a forked child: the AI engine runs here, and its
        // own queue counts too (the allowance below is larger for it).
        Flooder flooder(kServicePort,
            [&](int64_t i) { return messages[static_cast<size_t>(i % kCameras)]; }, 5ms);
        floodedEnough = [&]() { return flooder.sent() > kFlood; };
        samplePeak();
        EXPECT_GT(flooder.stop(), kFlood) << "not a flood beyond the queues";
    }
    else
    {
        // The AI engine in a child process: what its own queue holds when the relay falls
        // behind must not count as the plugin's.
        // It floods until the parent closes its end of the pipe (or for two minutes at most).
        int stop[2];
        ASSERT_EQ(0, pipe(stop));
        const pid_t child = fork();
        if (child == 0)
        {
            close(stop[1]);
            AiEnginePublisher publisher(kServicePort);
            int sent = 0;
            const auto end = steady_clock::now() + 120s;
            pollfd stopped{stop[0], POLLIN, 0};
            for (size_t i = 0; steady_clock::now() < end && poll(&stopped, 1, 0) == 0; ++i)
            {
                sent += publisher.send(messages[i % kCameras]) ? 1 : 0;
                std::this_thread::sleep_for(5ms);
            }
            _exit(sent > kFlood ? 0 : 1);
        }
        close(stop[0]);
        ASSERT_GT(child, 0);
        samplePeak();
        close(stop[1]);
        int status = -1;
        ASSERT_EQ(child, waitpid(child, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "not a flood beyond the queues";
    }
    const int64_t growthMiB = (residentPeak - residentBefore) / 1024;
    std::cout << "[ MEASURED ] 4 MiB messages at " << kCameras
        << " slow cameras for 6 s or more: resident growth at its peak " << growthMiB << " MiB"
        << std::endl;
    // The cameras' queues, one message in the hands of each camera (and its parsed form), the
    // relay's input (32 messages) and some room for the allocator.
    const int64_t allowedMiB = kCameras * (kCameraQueueMiB + 2 * 4) + 128 + 32;
    EXPECT_LE(growthMiB, builtWithThreadSanitizer() ? 3 * allowedMiB : allowedMiB);

    // Under ThreadSanitizer's slowdown the receiver process, whose queue to the relay is bounded
    // too, may drop the flood (counted as lost there) before the cameras' queues fill.
    for (const Camera& camera: cameras)
    {
        if (builtWithThreadSanitizer())
            break;
        EXPECT_TRUE(queueFull(camera)) << camera.id;
    }
    cameras.clear();
    expectOnlyEngineLeft();
}

// A 336 KB alarm put 262 MB of text into its packets: its caption was copied into every object.
TEST_F(HardeningLoad, AlarmCaptionCopiedIntoEveryObjectAmplifiedTheMessage)
{
    const auto handler = makePtr<DeviceAgentHandler>();
    Camera camera = openCamera(30, handler.get());
    AiEnginePublisher publisher(kServicePort);
    ASSERT_NO_FATAL_FAILURE(settleThroughRelay(publisher, camera, *handler));

    const std::string text = alarmMessage(camera.id, std::string(300 * 1024, 'c'), 2000);
    ASSERT_TRUE(publisher.send(text));
    ASSERT_TRUE(handler->waitForPackets(3, kDeliveryTimeout)); //< Counter, event, objects.

    size_t textBytes = 0;
    for (const auto& packet: handler->packets())
        textBytes += testhost::textBytes(packet);
    std::cout << "[ MEASURED ] a " << text.size() << "-byte alarm with 2000 objects: "
        << textBytes << " bytes of text in its packets" << std::endl;
    EXPECT_LE(textBytes, 4 * text.size() + 64 * 1024);

    camera.agent.reset();
    expectOnlyEngineLeft();
}

// A 68.8 KB detection message of 1,024 annotations over 128 tracks, each named by an alarm with
// 1 KiB texts, gave the server one packet of 1,024 objects with 3.46 MB of attribute text: the
// tracks' cached attributes went to the server with every object. And line and paragraph
// separators (U+2028, U+2029) reached the server's texts.
TEST_F(HardeningLoad, CachedTrackAttributesCopiedIntoEveryObjectAndLineSeparatorsReachedServer)
{
    constexpr int kTracks = 128;
    constexpr size_t kAnnotations = 1024;
    const auto handler = makePtr<DeviceAgentHandler>();
    Camera camera = openCamera(32, handler.get());
    AiEnginePublisher publisher(kServicePort);
    ASSERT_NO_FATAL_FAILURE(settleThroughRelay(publisher, camera, *handler));

    const std::string caption(1024, 'c');
    const std::string plate(1024, 'p');
    const std::string group(1024, 'g');
    const auto plateObject = [](int track, const std::string& plate, const std::string& group)
    {
        return nlohmann::json{{"tid", track}, {"class", "lp"},
            {"bbox", {{"x0", 0.1}, {"y0", 0.1}, {"x1", 0.2}, {"y1", 0.3}}},
            {"lp_text", plate}, {"lp_group_str", group}};
    };
    nlohmann::json objects = nlohmann::json::array();
    for (int track = 0; track < kTracks; ++track)
        objects.push_back(plateObject(track, plate, group));
    ASSERT_TRUE(publisher.send(envelope(camera.id, {{"source", "intrusion"},
        {"caption", caption}, {"description", "d"}, {"event", {{"object_list", objects}}}})));
    ASSERT_TRUE(handler->waitForPackets(2, kDeliveryTimeout)); //< Event, objects.
    const std::vector<testhost::MetadataItemRecord> named = handler->packets().at(1).items;
    ASSERT_EQ(static_cast<size_t>(kTracks), named.size());
    handler->clear();

    nlohmann::json annotations = nlohmann::json::array();
    for (size_t i = 0; i < kAnnotations; ++i)
    {
        annotations.push_back({{"track_id", static_cast<int>(i) % kTracks}, {"class", "car"},
            {"score", 0.9}, {"bbox", {0.1, 0.1, 0.2, 0.4}}});
    }
    const std::string detections =
        envelope(camera.id, {{"meta", {{"metadata", {{"annotations", annotations}}}}}});
    ASSERT_TRUE(publisher.send(detections));
    ASSERT_TRUE(handler->waitForPackets(1, kDeliveryTimeout));
    const auto packets = handler->packets();
    ASSERT_EQ(1U, packets.size());
    const size_t bytes = testhost::receivedAttributeBytes(packets[0]);
    std::cout << "[ MEASURED ] a " << detections.size() << "-byte message of " << kAnnotations
        << " detections of " << kTracks << " named tracks: " << packets[0].items.size()
        << " objects with " << bytes << " bytes of attributes" << std::endl;
    EXPECT_LE(bytes, 4 * detections.size() + 64 * 1024);
    EXPECT_LT(packets[0].items.size(), kAnnotations);
    // The objects sent are the list's first, each with its track's three attributes.
    for (size_t i = 0; i < packets[0].items.size(); ++i)
    {
        const auto& object = packets[0].items[i];
        ASSERT_EQ(named[i % kTracks].trackId, object.trackId) << "object " << i;
        const auto* plateAttribute = object.attribute("plate");
        ASSERT_TRUE(object.attribute("caption") && plateAttribute && object.attribute("group"));
        ASSERT_EQ(plate, plateAttribute->value);
    }
    handler->clear();

    // Every text that reaches the server: the caption (also the counter's name), the
    // description, the plate and the group.
    const std::string separators = "a\u2028b\u2029";
    const std::string replaced = "a\uFFFDb\uFFFD";
    ASSERT_TRUE(publisher.send(envelope(camera.id, {{"source", "intrusion"},
        {"caption", separators}, {"description", separators},
        {"event", {{"counter", {{"value", {1}}}},
            {"object_list", {plateObject(kTracks, separators, separators)}}}}})));
    ASSERT_TRUE(handler->waitForPackets(3, kDeliveryTimeout)); //< Counter, event, object.
    const auto alarm = handler->packets();
    ASSERT_EQ(3U, alarm.size());
    ASSERT_EQ(1U, alarm[0].items.size());
    ASSERT_EQ(1U, alarm[0].items[0].attributes.size());
    EXPECT_EQ(replaced, alarm[0].items[0].attributes[0].name);
    ASSERT_EQ(1U, alarm[1].items.size());
    EXPECT_EQ(replaced, alarm[1].items[0].caption);
    EXPECT_EQ(replaced, alarm[1].items[0].description);
    ASSERT_EQ(1U, alarm[2].items.size());
    std::vector<std::string> attributes;
    for (const auto& attribute: alarm[2].items[0].attributes)
        attributes.push_back(attribute.name + "=" + attribute.value);
    EXPECT_EQ((std::vector<std::string>{
        "caption=" + replaced, "plate=" + replaced, "group=" + replaced}), attributes);

    camera.agent.reset();
    expectOnlyEngineLeft();
}

// Malformed messages with long strings wrote 302 MB of log in 10 s.
TEST_F(HardeningLoad, MalformedFloodFilledTheDisk)
{
    const auto handler = makePtr<CountingHandler>();
    Camera camera = openCamera(31, handler.get());
    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "Probe"),
        [&]() { return handler->packets() > 0; }));

    const auto logBytes = []() { return std::filesystem::file_size("log_skyloom_0.log"); };
    const uintmax_t before = logBytes();
    const std::string malformed = "{\"src_uuid\":\"" + camera.id + "\",\"caption\":\""
        + std::string(64 * 1024, 'x') + "\x01";
    {
        Flooder flooder(kServicePort, [&](int64_t) { return malformed; });
        std::this_thread::sleep_for(3s);
        EXPECT_GT(flooder.stop(), 1000) << "not a flood";
    }
    AiEnginePublisher::settle(1s);
    const uintmax_t written = logBytes() - before;
    std::cout << "[ MEASURED ] 3 s of malformed 64 KiB messages: " << written
        << " bytes of log" << std::endl;
    EXPECT_LE(written, 64U * 1024);

    camera.agent.reset();
    expectOnlyEngineLeft();
}

TEST_F(HardeningLoad, TenThousandObjectsInOneObjectList)
{
    constexpr int kObjectCount = 10000;
    constexpr int kConverted = 1024; //< Per list; the rest is dropped and counted.
    constexpr int kCacheCapacity = 128;
    const auto handler = makePtr<DeviceAgentHandler>();
    Camera camera = openCamera(4, handler.get());
    AiEnginePublisher publisher(kServicePort);
    ASSERT_NO_FATAL_FAILURE(settleThroughRelay(publisher, camera, *handler));

    // Counter, event and the objects; then one packet of detections for the same tracks.
    ASSERT_TRUE(publisher.send(alarmMessage(camera.id, "Crowd", kObjectCount)));
    ASSERT_TRUE(publisher.send(metaMessage(camera.id, kObjectCount)));
    ASSERT_TRUE(handler->waitForPackets(4, kDeliveryTimeout));

    const auto packets = handler->packets();
    ASSERT_EQ(4U, packets.size());
    const auto& objects = packets[2];
    ASSERT_EQ(Kind::object, objects.kind);
    ASSERT_EQ(kConverted, objects.reportedCount);
    ASSERT_EQ(static_cast<size_t>(kConverted), objects.items.size());
    std::set<nx::sdk::Uuid> trackIds;
    for (const auto& item: objects.items)
        trackIds.insert(item.trackId);
    EXPECT_EQ(static_cast<size_t>(kConverted), trackIds.size());
    EXPECT_EQ(kConverted, countCaptioned(objects, "Crowd"));

    // The track caches keep only the most recent tracks: exactly that many detections are
    // labelled with the alarm's caption, and they are the last tracks of the alarm.
    const auto& detections = packets[3];
    ASSERT_EQ(Kind::object, detections.kind);
    ASSERT_EQ(static_cast<size_t>(kConverted), detections.items.size());
    EXPECT_EQ(kCacheCapacity, countCaptioned(detections, "Crowd"));
    for (int i = 0; i < kConverted; ++i)
    {
        const bool captioned = detections.items[static_cast<size_t>(i)].attribute("caption");
        if (captioned != (i >= kConverted - kCacheCapacity))
        {
            ADD_FAILURE() << "detection of track " << i << (captioned ? " has" : " lacks")
                << " a caption";
            break;
        }
        if (detections.items[static_cast<size_t>(i)].trackId
            != objects.items[static_cast<size_t>(i)].trackId)
        {
            ADD_FAILURE() << "track " << i << " has another id in the detections";
            break;
        }
    }

    camera.agent.reset();
    expectOnlyEngineLeft();
}

TEST_F(HardeningLoad, OneMebibyteMessagesArriveAlsoWithTheDebugDump)
{
    constexpr size_t kSize = 1024 * 1024;
    constexpr int kMessageCount = 12;
    const auto handler = makePtr<DeviceAgentHandler>();
    Camera camera = openCamera(5, handler.get(),
        {{"enableMetadata", "true"}, {"enableDebugDump", "true"}});
    AiEnginePublisher publisher(kServicePort);
    ASSERT_NO_FATAL_FAILURE(settleThroughRelay(publisher, camera, *handler));

    const std::string message = messageOfSize(camera.id, "Large", kSize);
    ASSERT_GE(message.size(), kSize);
    for (int i = 0; i < kMessageCount; ++i)
        ASSERT_TRUE(publisher.send(message));

    // An event and the objects of each message; the counter is off.
    ASSERT_TRUE(handler->waitForPackets(2 * kMessageCount, 60s))
        << "packets: " << handler->packetCount();
    int events = 0;
    for (const auto& packet: handler->packets())
    {
        if (packet.kind != Kind::event)
            continue;
        ++events;
        ASSERT_EQ(1U, packet.items.size());
        EXPECT_EQ("Large", packet.items[0].caption);
        EXPECT_EQ(1024U, packet.items[0].description.size()); //< Cut to what the server takes.
        EXPECT_EQ(std::string::npos, packet.items[0].description.find_first_not_of('d'));
    }
    EXPECT_EQ(kMessageCount, events);

    camera.agent.reset();
    expectOnlyEngineLeft();
}

TEST_F(HardeningLoad, AiEngineThatComesAndGoesIsServedEveryTime)
{
    constexpr int kConnections = 20;
    const auto handler = makePtr<CountingHandler>();
    Camera camera = openCamera(6, handler.get());
    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "Probe"),
        [&]() { return handler->packets() > 0; }));
    AiEnginePublisher::settle(1s);
    const int descriptorsBefore = openDescriptorCount();

    for (int i = 0; i < kConnections; ++i)
    {
        // Connects, is heard, disconnects; sometimes mid-way through a burst.
        const int64_t before = handler->packets();
        AiEnginePublisher publisher(kServicePort);
        ASSERT_TRUE(publisher.sendUntil(alarmMessage(camera.id, "Visit"),
            [&]() { return handler->packets() > before; }, kDeliveryTimeout))
            << "connection " << i << " was not heard";
        for (int k = 0; k < 50 * (i % 3); ++k)
            publisher.send(alarmMessage(camera.id, "Burst"));
    }

    // The relay closes what the departed peers left behind.
    AiEnginePublisher::settle(2s);
    const int descriptorsAfter = openDescriptorCount();
    EXPECT_LE(descriptorsAfter, descriptorsBefore + 4)
        << "descriptors: " << descriptorsBefore << " -> " << descriptorsAfter;
    EXPECT_EQ(0, handler->badPackets());

    camera.agent.reset();
    expectOnlyEngineLeft();
}

/** A publisher whose connection events (connected, disconnected) can be watched. */
class WatchedPublisher
{
public:
    explicit WatchedPublisher(int port)
    {
        m_publisher.set(zmq::sockopt::linger, 0);
        // Larger than any default, so that the one refused message does not stay queued.
        m_publisher.set(zmq::sockopt::sndhwm, 1000);
        const std::string monitorEndpoint = "inproc://watched-publisher";
        if (zmq_socket_monitor(m_publisher.handle(), monitorEndpoint.c_str(),
            ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED) != 0)
        {
            throw zmq::error_t();
        }
        m_monitor.connect(monitorEndpoint);
        m_publisher.connect("tcp://127.0.0.1:" + std::to_string(port));
    }

    ~WatchedPublisher()
    {
        zmq_socket_monitor(m_publisher.handle(), nullptr, 0);
    }

    bool send(const std::string& text)
    {
        return m_publisher.send(zmq::buffer(text), zmq::send_flags::dontwait).has_value();
    }

    /** The next connection event, or nothing within the timeout. */
    std::optional<int> nextEvent(milliseconds timeout)
    {
        m_monitor.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
        zmq::message_t event;
        if (!m_monitor.recv(event))
            return std::nullopt;
        uint16_t id = 0;
        std::memcpy(&id, event.data(), sizeof(id));
        zmq::message_t address;
        (void) m_monitor.recv(address);
        return id;
    }

    /** Waits for the event, skipping others; false on timeout. */
    bool waitForEvent(int wanted, milliseconds timeout)
    {
        const auto deadline = steady_clock::now() + timeout;
        while (steady_clock::now() < deadline)
        {
            const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
            const auto event = nextEvent(std::max(left, milliseconds(1)));
            if (event == wanted)
                return true;
        }
        return false;
    }

private:
    zmq::context_t m_context;
    zmq::socket_t m_publisher{m_context, zmq::socket_type::pub};
    zmq::socket_t m_monitor{m_context, zmq::socket_type::pair};
};

TEST_F(HardeningLoad, RelayRefusesMessagesOverFourMebibytesAndTheAiEngineReconnects)
{
    const auto handler = makePtr<DeviceAgentHandler>();
    Camera camera = openCamera(7, handler.get());
    const auto bystanderHandler = makePtr<CountingHandler>();
    Camera bystander = openCamera(8, bystanderHandler.get());

    WatchedPublisher publisher(kServicePort);
    ASSERT_TRUE(publisher.waitForEvent(ZMQ_EVENT_CONNECTED, kDeliveryTimeout));
    const auto sendUntilSeen =
        [&](const std::string& caption)
        {
            const auto deadline = steady_clock::now() + kDeliveryTimeout;
            const std::string probe = alarmMessage(camera.id, caption);
            while (steady_clock::now() < deadline)
            {
                publisher.send(probe);
                const bool seen = handler->waitUntil(
                    [&](const testhost::DeviceAgentRecords& records)
                    {
                        for (const auto& packet: records.packets)
                        {
                            if (packet.kind == Kind::event && packet.items.size() == 1
                                && packet.items[0].caption == caption)
                            {
                                return true;
                            }
                        }
                        return false;
                    },
                    100ms);
                if (seen)
                    return true;
            }
            return false;
        };
    ASSERT_TRUE(sendUntilSeen("Before"));

    // Exactly the limit still passes.
    const std::string largest = messageOfSize(camera.id, "Largest", kMaxMessageSize);
    ASSERT_EQ(kMaxMessageSize, largest.size());
    ASSERT_TRUE(publisher.send(largest));
    ASSERT_TRUE(sendUntilSeen("AfterLargest"));
    EXPECT_TRUE(handler->waitUntil(
        [](const testhost::DeviceAgentRecords& records)
        {
            for (const auto& packet: records.packets)
            {
                if (packet.kind == Kind::event && packet.items[0].caption == "Largest")
                    return true;
            }
            return false;
        },
        kDeliveryTimeout));

    // One byte more: the relay drops the connection; the publisher connects again by itself.
    const std::string tooLarge = messageOfSize(camera.id, "TooLarge", kMaxMessageSize + 1);
    ASSERT_EQ(kMaxMessageSize + 1, tooLarge.size());
    ASSERT_TRUE(publisher.send(tooLarge));
    EXPECT_TRUE(publisher.waitForEvent(ZMQ_EVENT_DISCONNECTED, kDeliveryTimeout));
    EXPECT_TRUE(publisher.waitForEvent(ZMQ_EVENT_CONNECTED, kDeliveryTimeout));
    ASSERT_TRUE(sendUntilSeen("AfterReconnect"));

    // The relay went on serving everybody else all along.
    const int64_t bystanderBefore = bystanderHandler->packets();
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(bystander.id, "Bystander"),
        [&]() { return bystanderHandler->packets() > bystanderBefore; }));

    for (const auto& packet: handler->packets())
    {
        for (const auto& item: packet.items)
            EXPECT_NE("TooLarge", item.caption);
    }
    const testhost::LogFile log;
    EXPECT_EQ(0,
        log.countLinesContaining(s_engine.printPrefix + "threadFuncZeromqLoop terminated"));

    camera.agent.reset();
    bystander.agent.reset();
    expectOnlyEngineLeft();
}

TEST_F(HardeningLoad, ReleasingTheEngineLeavesNothingBehind)
{
    s_engine = {};
    s_plugin->releaseExpectingNothingLeft();
    s_errorText = "the engine is gone";
}

} // namespace
} // namespace skyloom::hardening
