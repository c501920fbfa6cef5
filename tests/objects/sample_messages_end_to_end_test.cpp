// The six sample messages of the AI engine (samples/messages) sent through the loaded plugin
// library as the server and the AI engine would: plugin, engine with its relay on a service port,
// one device agent for the samples' camera, a video frame, then each sample published to the
// service port. Between two samples a marker alarm is sent, so that the packets the host
// receives can be attributed to the sample before the marker.
//
// The relay sleeps five seconds before it binds, so everything runs once for the suite and each
// test checks what one sample delivered.

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <nx/sdk/ptr.h>
#include <nx/sdk/rect.h>
#include <nx/sdk/uuid.h>

#include <skyloom/testhost/testhost.h>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using nx::sdk::IAttribute;
using nx::sdk::Ptr;
using nx::sdk::Rect;
using nx::sdk::Uuid;
using namespace skyloom::testhost;
using Kind = MetadataPacketRecord::Kind;

constexpr const char* kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";
const int kServicePort = testPort(0);
constexpr int64_t kFrameTimeUs = 1718269954000000;
constexpr float kTolerance = 1e-5F;
constexpr const char* kMarkerCaption = "end-to-end marker";

const char* const kSampleFiles[] = {
    "01_meta_face.json",
    "02_occupancy_alarm.json",
    "03_face_recognition_alarm.json",
    "04_lpr_alarm_1.json",
    "05_lpr_alarm_2.json",
    "06_lpr_alarm_3.json",
};
constexpr size_t kSampleCount = sizeof(kSampleFiles) / sizeof(kSampleFiles[0]);

std::string readSample(const std::string& name)
{
    std::ifstream file(std::string(SKYLOOM_SAMPLE_MESSAGES_DIR) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    std::string result = text.str();
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    return result;
}

/** An alarm without objects whose event packet marks a point in the stream. Ordered: the
 * camera id must come first for the subscription to match. */
std::string marker(size_t index)
{
    return nlohmann::ordered_json{{"src_uuid", kCameraId}, {"source", "marker"},
        {"caption", kMarkerCaption}, {"description", std::to_string(index)},
        {"event", {{"object_list", json::array()}}}}.dump();
}

bool isMarker(const MetadataPacketRecord& packet, size_t index)
{
    return packet.kind == Kind::event && packet.items.size() == 1
        && packet.items[0].caption == kMarkerCaption
        && packet.items[0].description == std::to_string(index);
}

bool hasMarker(const DeviceAgentRecords& records, size_t index)
{
    for (const auto& packet: records.packets)
    {
        if (isMarker(packet, index))
            return true;
    }
    return false;
}

std::string hex(const Uuid& uuid)
{
    std::ostringstream text;
    text << std::hex << std::setfill('0');
    for (int i = 0; i < Uuid::kSize; ++i)
        text << std::setw(2) << static_cast<int>(uuid[i]);
    return text.str();
}

/** One line per packet and item, printed with the run so that a failure shows what arrived. */
std::string describe(const MetadataPacketRecord& packet)
{
    std::ostringstream text;
    text << (packet.kind == Kind::event ? "  event packet" : "  object packet")
        << " ts " << packet.timestampUs << " duration " << packet.durationUs << ", "
        << packet.items.size() << " item(s)\n";
    for (const auto& item: packet.items)
    {
        text << "    " << item.typeId;
        if (packet.kind == Kind::event)
        {
            text << " caption \"" << item.caption << "\" description \"" << item.description
                << "\" active " << item.isActive;
        }
        else
        {
            const Rect& box = item.boundingBox;
            text << " track " << hex(item.trackId) << " box ("
                << box.x << ", " << box.y << ", " << box.width << ", " << box.height << ")";
        }
        for (const auto& attribute: item.attributes)
        {
            text << " [" << static_cast<int>(attribute.type) << " " << attribute.name << "="
                << attribute.value << "]";
        }
        text << "\n";
    }
    return text.str();
}

class SampleMessagesEndToEnd: public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_failure = run();
    }

    static void TearDownTestSuite()
    {
        // Each release joins the thread that the object owns.
        s_deviceAgent = nullptr;
        s_engine = nullptr;
        s_plugin = nullptr;
    }

    virtual void SetUp() override
    {
        ASSERT_TRUE(s_failure.empty()) << s_failure;
        ASSERT_EQ(kSampleCount, s_received.size());
    }

    /** What the host received for one sample (1-based, as the file names count). */
    static const std::vector<MetadataPacketRecord>& received(size_t sample)
    {
        return s_received.at(sample - 1);
    }

    static std::string run()
    {
        if (!s_library.load(SKYLOOM_PLUGIN_PATH))
            return "cannot load the plugin: " + s_library.errorText();
        s_plugin = s_library.createPlugin();
        if (!s_plugin)
            return "no plugin: " + s_library.errorText();

        auto engine = obtainEngine(s_plugin.get());
        if (!engine.isOk() || !engine.object)
            return "no engine: " + engine.errorMessage;
        s_engine = engine.object;
        const Ptr<EngineInfo> engineInfo(new EngineInfo());
        s_engine->setEngineInfo(engineInfo.get());
        s_engine->setHandler(s_engineHandler.get());
        // Within the relay's first five seconds, so that it binds this port.
        if (!doSetSettings(s_engine.get(), Settings{{"ServicePort", std::to_string(kServicePort)}})
            .isOk())
        {
            return "engine settings refused";
        }

        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
        auto deviceAgent = obtainDeviceAgent(s_engine.get(), deviceInfo.get());
        if (!deviceAgent.isOk() || !deviceAgent.object)
            return "no device agent: " + deviceAgent.errorMessage;
        s_deviceAgent = deviceAgent.object;
        s_deviceAgent->setHandler(s_handler.get());
        // The face detection of the first sample must pass the track gate without an alarm.
        const SettingsResult settings = doSetSettings(s_deviceAgent.get(), Settings{
            {"enableMetadata", "true"}, {"enableDebugDump", "false"},
            {"skipNullFaceObject", "true"}, {"skipNullPlateObject", "true"},
            {"showCounter", "true"}, {"timeCorrection", "0"}});
        if (!settings.isOk())
            return "device agent settings refused: " + settings.errorMessage;
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
        if (!doPushDataPacket(s_deviceAgent.get(), frame.get()).isOk())
            return "video frame refused";

        AiEnginePublisher publisher(kServicePort);
        if (!publisher.isOpen())
            return publisher.errorText();
        const auto firstMarkerArrived = []() { return hasMarker(s_handler->snapshot(), 0); };
        if (!publisher.sendUntil(marker(0), firstMarkerArrived, 30s))
        {
            std::string text = "nothing arrived through the relay: " + publisher.errorText();
            for (const auto& event: s_engineHandler->events())
                text += "; engine reported: " + event.caption + ": " + event.description;
            return text;
        }

        for (size_t i = 1; i <= kSampleCount; ++i)
        {
            const std::string sample = readSample(kSampleFiles[i - 1]);
            if (sample.empty())
                return std::string("cannot read ") + kSampleFiles[i - 1];
            if (!publisher.send(sample) || !publisher.send(marker(i)))
                return "send failed: " + publisher.errorText();
            if (!s_handler->waitUntil(
                [i](const DeviceAgentRecords& records) { return hasMarker(records, i); }, 10s))
            {
                return std::string("no marker after ") + kSampleFiles[i - 1];
            }
        }
        splitBySample(s_handler->packets());
        for (size_t i = 0; i < s_received.size(); ++i)
        {
            std::cout << kSampleFiles[i] << ":\n";
            for (const auto& packet: s_received[i])
                std::cout << describe(packet);
        }
        return {};
    }

    /** Sample i's packets lie between the last marker i-1 and marker i (one connection keeps
     * the order; repeated probes for marker 0 all precede the first sample). */
    static void splitBySample(const std::vector<MetadataPacketRecord>& packets)
    {
        size_t begin = 0;
        for (size_t i = 0; i < packets.size(); ++i)
        {
            if (isMarker(packets[i], 0))
                begin = i + 1;
        }
        for (size_t sample = 1; sample <= kSampleCount; ++sample)
        {
            std::vector<MetadataPacketRecord> segment;
            size_t i = begin;
            for (; i < packets.size() && !isMarker(packets[i], sample); ++i)
                segment.push_back(packets[i]);
            s_received.push_back(segment);
            begin = i + 1;
        }
    }

    static PluginLibrary s_library;
    static Ptr<nx::sdk::analytics::IPlugin> s_plugin;
    static Ptr<nx::sdk::analytics::IEngine> s_engine;
    static Ptr<nx::sdk::analytics::IDeviceAgent> s_deviceAgent;
    static Ptr<EngineHandler> s_engineHandler;
    static Ptr<DeviceAgentHandler> s_handler;
    static std::string s_failure;
    static std::vector<std::vector<MetadataPacketRecord>> s_received;
};

PluginLibrary SampleMessagesEndToEnd::s_library;
Ptr<nx::sdk::analytics::IPlugin> SampleMessagesEndToEnd::s_plugin;
Ptr<nx::sdk::analytics::IEngine> SampleMessagesEndToEnd::s_engine;
Ptr<nx::sdk::analytics::IDeviceAgent> SampleMessagesEndToEnd::s_deviceAgent;
Ptr<EngineHandler> SampleMessagesEndToEnd::s_engineHandler{new EngineHandler()};
Ptr<DeviceAgentHandler> SampleMessagesEndToEnd::s_handler{new DeviceAgentHandler()};
std::string SampleMessagesEndToEnd::s_failure;
std::vector<std::vector<MetadataPacketRecord>> SampleMessagesEndToEnd::s_received;

void expectBox(const Rect& expected, const Rect& actual)
{
    EXPECT_NEAR(expected.x, actual.x, kTolerance);
    EXPECT_NEAR(expected.y, actual.y, kTolerance);
    EXPECT_NEAR(expected.width, actual.width, kTolerance);
    EXPECT_NEAR(expected.height, actual.height, kTolerance);
}

/** "name=value" of each attribute, in order; all must be text attributes. */
std::vector<std::string> textAttributes(const MetadataItemRecord& item)
{
    std::vector<std::string> result;
    for (const auto& attribute: item.attributes)
    {
        EXPECT_EQ(IAttribute::Type::string, attribute.type) << attribute.name;
        result.push_back(attribute.name + "=" + attribute.value);
    }
    return result;
}

void expectTrackIdTail(const Uuid& trackId, uint32_t id)
{
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(static_cast<uint8_t>(id >> (24 - 8 * i)), trackId[12 + i]) << "byte " << 12 + i;
}

void expectSameTrackBase(const Uuid& a, const Uuid& b)
{
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(a[i], b[i]) << "byte " << i;
}

/** The event packet of an alarm sample: "source" "source_0" names no event kind. */
void expectAlarmEvent(const MetadataPacketRecord& packet, const std::string& caption,
    const std::string& description)
{
    ASSERT_EQ(Kind::event, packet.kind);
    EXPECT_EQ(kFrameTimeUs, packet.timestampUs);
    EXPECT_EQ(300000, packet.durationUs);
    ASSERT_EQ(1U, packet.items.size());
    const auto& event = packet.items[0];
    EXPECT_EQ("skyloom.plugin.evt_unregistered", event.typeId);
    EXPECT_EQ(caption, event.caption);
    EXPECT_EQ(description, event.description);
    EXPECT_TRUE(event.isActive);
}

/** The one object of an object packet stamped like every object packet of this run. */
const MetadataItemRecord& onlyObject(const MetadataPacketRecord& packet)
{
    EXPECT_EQ(Kind::object, packet.kind);
    EXPECT_EQ(kFrameTimeUs, packet.timestampUs);
    EXPECT_EQ(300000, packet.durationUs); //< enableMetadata is on.
    EXPECT_EQ(1U, packet.items.size());
    static const MetadataItemRecord kNone;
    return packet.items.empty() ? kNone : packet.items[0];
}

TEST_F(SampleMessagesEndToEnd, MetaFaceGivesOneUnlabelledFace)
{
    ASSERT_EQ(1U, received(1).size());
    const auto& face = onlyObject(received(1)[0]);
    EXPECT_EQ("skyloom.plugin.obj_unregistered", face.typeId);
    expectTrackIdTail(face.trackId, 13003);
    expectBox(Rect(0.19531F, 0.22037F, 0.3625F, 0.66944F), face.boundingBox);
    EXPECT_TRUE(face.attributes.empty()) << "no alarm has named the track yet";
}

TEST_F(SampleMessagesEndToEnd, OccupancyGivesCounterThenEvent)
{
    const auto& packets = received(2);
    ASSERT_EQ(2U, packets.size()) << "counter and event; the object list is empty";

    ASSERT_EQ(Kind::object, packets[0].kind);
    EXPECT_EQ(kFrameTimeUs, packets[0].timestampUs);
    EXPECT_EQ(600000000, packets[0].durationUs);
    ASSERT_EQ(1U, packets[0].items.size());
    const auto& counter = packets[0].items[0];
    EXPECT_EQ("skyloom.plugin.obj_counter", counter.typeId);
    expectBox(Rect(0.05F, 0.05F, 0.001F, 0.001F), counter.boundingBox);
    ASSERT_EQ(1U, counter.attributes.size());
    EXPECT_EQ(IAttribute::Type::number, counter.attributes[0].type);
    EXPECT_EQ("Occupancy", counter.attributes[0].name);
    EXPECT_EQ("1622", counter.attributes[0].value);

    expectAlarmEvent(packets[1], "Occupancy", "Lobby occupancy 1622 exceeds the limit of 1500");
}

TEST_F(SampleMessagesEndToEnd, FaceRecognitionGivesEventThenTheFaceOfTheMetaTrack)
{
    const auto& packets = received(3);
    ASSERT_EQ(2U, packets.size());
    expectAlarmEvent(packets[0], "FR_EVENT", "Registered face recognised: Kim Minsoo (staff)");

    const auto& face = onlyObject(packets[1]);
    EXPECT_EQ("skyloom.plugin.obj_unregistered", face.typeId);
    ASSERT_EQ(1U, received(1).size());
    ASSERT_EQ(1U, received(1)[0].items.size());
    EXPECT_EQ(received(1)[0].items[0].trackId, face.trackId) << "the same tid 13003";
    // Only too narrow: widened to 0.15 about its centre.
    expectBox(Rect(0.391145F, 0.18333F, 0.15F, 0.20741F), face.boundingBox);
    EXPECT_EQ(std::vector<std::string>{"caption=FR_EVENT"}, textAttributes(face));
}

TEST_F(SampleMessagesEndToEnd, LprAlarmsGiveEventThenLabelledPlate)
{
    struct Expected
    {
        size_t sample;
        const char* description;
        uint32_t trackId;
        Rect box;
        std::vector<std::string> attributes;
    };
    const Expected expected[] = {
        {4, "Plate 12GA3456 (VIP) at the main gate", 13011,
            Rect(0.26892F, 0.65333F, 0.26696F, 0.2F),
            {"caption=LPR", "plate=12GA3456", "group=VIP"}},
        {5, "Plate 345NA7721 at the main gate", 13017,
            Rect(0.585415F, 0.62824F, 0.15F, 0.2F),
            {"caption=LPR", "plate=345NA7721"}},
        {6, "Plate 78RU0912 (blacklist) at the main gate", 13024,
            Rect(0.01094F, 0.742595F, 0.15F, 0.2F),
            {"caption=LPR", "plate=78RU0912", "group=blacklist,delivery"}},
    };
    for (const Expected& sample: expected)
    {
        SCOPED_TRACE(kSampleFiles[sample.sample - 1]);
        const auto& packets = received(sample.sample);
        ASSERT_EQ(2U, packets.size());
        expectAlarmEvent(packets[0], "LPR", sample.description);
        const auto& plate = onlyObject(packets[1]);
        EXPECT_EQ("skyloom.plugin.obj_lp", plate.typeId);
        expectTrackIdTail(plate.trackId, sample.trackId);
        ASSERT_FALSE(received(1)[0].items.empty());
        expectSameTrackBase(received(1)[0].items[0].trackId, plate.trackId);
        expectBox(sample.box, plate.boundingBox);
        EXPECT_EQ(sample.attributes, textAttributes(plate));
    }
}

TEST(SampleMessages, NameTheCameraFirstWithoutBlank)
{
    const std::string prefix = std::string("{\"src_uuid\":\"") + kCameraId + "\"";
    for (const char* name: kSampleFiles)
    {
        SCOPED_TRACE(name);
        const std::string text = readSample(name);
        EXPECT_EQ(prefix, text.substr(0, prefix.size()));
        EXPECT_TRUE(json::accept(text));
    }
}

} // namespace
