// Object metadata of alarms ("object_list") and detections ("annotations"), driven through
// handleMessage() of an agent without its receive thread; the test host's handler records what
// the server receives, and the drops that handleMessage() returns say what was left out.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <nx/sdk/helpers/uuid_helper.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/uuid.h>

#include <skyloom/testhost/testhost.h>

#include "agent/device_agent.h"
#include "common/server_text.h"
#include "conversion/log_texts.h"

namespace {

using nlohmann::json;
using nx::sdk::IAttribute;
using nx::sdk::Ptr;
using nx::sdk::Rect;
using nx::sdk::Uuid;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::Cuts;
using nx::vms_server_plugins::analytics::sample::Drop;
using nx::vms_server_plugins::analytics::sample::DropReason;
using nx::vms_server_plugins::analytics::sample::MessageDrops;
namespace log_texts = nx::vms_server_plugins::analytics::sample::log_texts;
using namespace skyloom::testhost;
using Kind = MetadataPacketRecord::Kind;

constexpr int64_t kFrameTimeUs = 1718269954482113;
constexpr const char* kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";
constexpr const char* kEventFailure = log_texts::kAlarmObjectsConversion;
constexpr const char* kMetaFailure = log_texts::kDetectionsConversion;
constexpr float kTolerance = 1e-5F;

json box(double x0, double y0, double x1, double y1)
{
    return {{"x0", x0}, {"y0", y0}, {"x1", x1}, {"y1", y1}};
}

json eventObject(int tid, const std::string& className, json bbox = box(0.4, 0.4, 0.6, 0.7))
{
    return {{"tid", tid}, {"class", className}, {"score", 0.9}, {"bbox", std::move(bbox)}};
}

json plateObject(int tid, json lpText, json lpGroup)
{
    json object = eventObject(tid, "lp", box(0.26892, 0.67828, 0.53588, 0.82838));
    object["lp_text"] = std::move(lpText);
    if (!lpGroup.is_null())
        object["lp_group_str"] = std::move(lpGroup);
    object["plates"] = json::array({{{"text", "12GA3456"}, {"score", 0.97}}});
    return object;
}

// A vector, not a json: clang reads a braced single json as a copy of it, g++ as an array.
std::string alarm(const std::string& caption, std::vector<json> objects)
{
    return json{{"src_uuid", kCameraId}, {"source", "source_0"}, {"caption", caption},
        {"description", "test alarm"}, {"event", {{"object_list", std::move(objects)}}}}.dump();
}

json annotation(int trackId, const std::string& className,
    json bbox = json::array({0.19531, 0.22037, 0.55781, 0.88981}))
{
    return {{"track_id", trackId}, {"class", className}, {"score", 0.8}, {"bbox", std::move(bbox)}};
}

json withMember(json object, const std::string& name, json value)
{
    object[name] = std::move(value);
    return object;
}

std::string detections(std::vector<json> annotations)
{
    return json{{"src_uuid", kCameraId},
        {"meta", {{"source", "rtsp://192.168.10.31:554/stream1"},
            {"topic", "Analytics/FieldDetector/ObjectDetected"}, {"timestamp", 1718269954.48},
            {"process_time", 0.03}, {"metadata", {{"annotations", std::move(annotations)}}}}}}
        .dump();
}

std::vector<MetadataPacketRecord> objectPackets(const std::vector<MetadataPacketRecord>& packets)
{
    std::vector<MetadataPacketRecord> result;
    for (const auto& packet: packets)
    {
        if (packet.kind == Kind::object)
            result.push_back(packet);
    }
    return result;
}

void expectBox(const Rect& expected, const Rect& actual)
{
    EXPECT_NEAR(expected.x, actual.x, kTolerance);
    EXPECT_NEAR(expected.y, actual.y, kTolerance);
    EXPECT_NEAR(expected.width, actual.width, kTolerance);
    EXPECT_NEAR(expected.height, actual.height, kTolerance);
}

/** Names and values of the text attributes, in order, as "name=value". */
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

using Attributes = std::vector<std::string>;

class ObjectConversion: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
        m_agent = Ptr<DeviceAgent>(new DeviceAgent(deviceInfo.get(),
            DeviceAgent::ReceiveThread::none, [this]() { return m_now; }));
        m_agent->setHandler(m_handler.get());
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
        ASSERT_TRUE(doPushDataPacket(m_agent.get(), frame.get()).isOk());
    }

    void settings(bool enableMetadata, bool skipNullFace = true, bool skipNullPlate = true)
    {
        const auto text = [](bool value) { return value ? "true" : "false"; };
        const SettingsResult result = doSetSettings(m_agent.get(),
            Settings{{"enableMetadata", text(enableMetadata)},
                {"skipNullFaceObject", text(skipNullFace)},
                {"skipNullPlateObject", text(skipNullPlate)}});
        ASSERT_TRUE(result.isOk()) << result.errorMessage;
    }

    /** The object packets that one message produced. */
    std::vector<MetadataPacketRecord> feed(const std::string& message)
    {
        m_handler->clear();
        MessageDrops lost = m_agent->handleMessage(message);
        m_lastCuts = lost.cuts;
        for (Drop& drop: lost.drops)
            m_drops.push_back(std::move(drop));
        return objectPackets(m_handler->packets());
    }

    /** The one object of the one object packet that the message produced. */
    MetadataItemRecord feedOne(const std::string& message)
    {
        const auto packets = feed(message);
        if (packets.size() != 1 || packets[0].items.size() != 1)
        {
            ADD_FAILURE() << "expected one packet with one object for " << message;
            return {};
        }
        return packets[0].items[0];
    }

    /** Conversions by `operation` that failed, since the case began. */
    int failures(std::string_view operation) const
    {
        return static_cast<int>(std::count_if(m_drops.begin(), m_drops.end(),
            [operation](const Drop& drop)
            {
                return drop.operation == operation
                    && std::string_view(drop.line ? drop.line : "") == log_texts::kException;
            }));
    }

    /** The elements dropped since the case began, in order. */
    std::vector<std::string> droppedElements() const
    {
        std::vector<std::string> result;
        for (const Drop& drop: m_drops)
            result.push_back(drop.element);
        return result;
    }

    /** Counted for the reason: messages dropped and elements cut from delivered ones. */
    uint64_t counted(DropReason reason) const
    {
        return m_agent->counters().drops(reason) + m_agent->counters().cuts(reason);
    }

    Uuid trackId(int id) const { return m_agent->converter().trackIdentity().makeTrackId(id); }
    std::string base() const { return m_agent->converter().trackIdentity().baseString(); }

    /** A case of its own, a minute later: what it drops is counted afresh. */
    void nextCase()
    {
        m_now += std::chrono::minutes(1);
        m_drops.clear();
    }

    /** A message after a long silence: the next one starts a new base. */
    void renewBase()
    {
        m_agent->handleMessage("{}");
        m_now += std::chrono::minutes(1);
        m_agent->handleMessage("{}");
    }

protected:
    std::chrono::steady_clock::time_point m_now;
    std::vector<Drop> m_drops; //< Since the case began.
    Cuts m_lastCuts; //< Of the last message.
    Ptr<DeviceAgentHandler> m_handler{new DeviceAgentHandler()};
    Ptr<DeviceAgent> m_agent;
};

//-------------------------------------------------------------------------------------------------
// Track ids.

TEST_F(ObjectConversion, TrackIdIsBaseBytesFollowedByBigEndianId)
{
    const Uuid baseUuid = nx::sdk::UuidHelper::fromStdString(base());
    ASSERT_FALSE(baseUuid.isNull());

    struct Case
    {
        int trackId;
        uint8_t tail[4];
    };
    const Case cases[] = {
        {0, {0x00, 0x00, 0x00, 0x00}},
        {-1, {0xFF, 0xFF, 0xFF, 0xFF}},
        {13003, {0x00, 0x00, 0x32, 0xCB}},
        {std::numeric_limits<int>::min(), {0x80, 0x00, 0x00, 0x00}},
        {0x7FEDCBA9, {0x7F, 0xED, 0xCB, 0xA9}},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.trackId);
        const Uuid trackUuid = trackId(testCase.trackId);
        for (int i = 0; i < 12; ++i)
            EXPECT_EQ(baseUuid[i], trackUuid[i]) << "byte " << i;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(testCase.tail[i], trackUuid[12 + i]) << "byte " << 12 + i;
    }
}

TEST_F(ObjectConversion, TrackIdIsStableUntilTheBaseIsRenewed)
{
    const Uuid first = trackId(13003);
    const auto object = feedOne(alarm("Intrusion", {eventObject(13003, "person")}));
    EXPECT_EQ(first, object.trackId);
    EXPECT_EQ(first, trackId(13003));
    EXPECT_NE(first, trackId(13004));

    const std::string oldBase = base();
    renewBase();
    EXPECT_NE(oldBase, base());
    EXPECT_EQ(38U, base().size());
    const Uuid renewed = trackId(13003);
    EXPECT_NE(first, renewed);
    EXPECT_EQ(renewed, feedOne(alarm("Intrusion", {eventObject(13003, "person")})).trackId);
}

//-------------------------------------------------------------------------------------------------
// Alarm objects.

TEST_F(ObjectConversion, AlarmObjectCarriesTypeCaptionFrameTimeAndDuration)
{
    const auto packets = feed(alarm("Intrusion", {eventObject(42, "car")}));
    ASSERT_EQ(1U, packets.size());
    EXPECT_EQ(kFrameTimeUs, packets[0].timestampUs);
    EXPECT_EQ(300000, packets[0].durationUs);
    ASSERT_EQ(1U, packets[0].items.size());
    const auto& object = packets[0].items[0];
    EXPECT_EQ("skyloom.plugin.obj_car", object.typeId);
    EXPECT_EQ(Attributes{"caption=Intrusion"}, textAttributes(object));
    expectBox(Rect(0.4F, 0.4F, 0.2F, 0.3F), object.boundingBox);

    settings(/*enableMetadata*/ false);
    const auto later = feed(alarm("Intrusion", {eventObject(42, "car")}));
    ASSERT_EQ(1U, later.size());
    EXPECT_EQ(1200000, later[0].durationUs);
}

TEST_F(ObjectConversion, AlarmBoxesGetMinimumSizeAndStayInsideTheFrame)
{
    struct Case
    {
        const char* name;
        json corners;
        Rect expected;
    };
    const float maxFloat = std::numeric_limits<float>::max();
    const Case cases[] = {
        {"larger than the minimum", box(0.4, 0.4, 0.6, 0.7), Rect(0.4F, 0.4F, 0.2F, 0.3F)},
        {"tiny, in a corner", box(0.9, 0.5, 0.95, 0.6), Rect(0.85F, 0.45F, 0.15F, 0.2F)},
        {"plate, only too low", box(0.26892, 0.67828, 0.53588, 0.82838),
            Rect(0.26892F, 0.65333F, 0.26696F, 0.2F)},
        {"at the top left", box(0.0, 0.0, 0.05, 0.05), Rect(0.0F, 0.0F, 0.15F, 0.2F)},
        {"wider than the frame", box(-0.1, 0.2, 1.1, 0.5), Rect(-0.2F, 0.2F, 1.2F, 0.3F)},
        // A dimension without a positive size grows about its first corner; the other
        // dimension keeps its own.
        {"zero width", box(0.5, 0.5, 0.5, 0.7), Rect(0.425F, 0.5F, 0.15F, 0.2F)},
        {"zero height", box(0.2, 0.5, 0.6, 0.5), Rect(0.2F, 0.4F, 0.4F, 0.2F)},
        {"zero size", box(0.3, 0.6, 0.3, 0.6), Rect(0.225F, 0.5F, 0.15F, 0.2F)},
        {"negative size", box(0.6, 0.6, 0.4, 0.4), Rect(0.525F, 0.5F, 0.15F, 0.2F)},
        {"zero size at the far corner", box(1.0, 1.0, 1.0, 1.0), Rect(0.85F, 0.8F, 0.15F, 0.2F)},
        {"size overflowing a float", box(-maxFloat, 0.5, maxFloat, 0.6),
            Rect(0.0F, 0.45F, 0.15F, 0.2F)},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        const auto object =
            feedOne(alarm("Intrusion", {eventObject(1, "person", testCase.corners)}));
        const Rect& actual = object.boundingBox;
        ASSERT_TRUE(std::isfinite(actual.x) && std::isfinite(actual.y)
            && std::isfinite(actual.width) && std::isfinite(actual.height));
        expectBox(testCase.expected, actual);
    }
    EXPECT_EQ(0, failures(kEventFailure));
}

TEST_F(ObjectConversion, PlateAttributesFollowPlateTextAndGroup)
{
    struct Case
    {
        const char* name;
        json object;
        Attributes expected;
    };
    const Case cases[] = {
        {"text and group", plateObject(1, "12GA3456", "VIP"),
            {"caption=LPR", "plate=12GA3456", "group=VIP"}},
        {"text, empty group", plateObject(2, "12GA3456", ""), {"caption=LPR", "plate=12GA3456"}},
        {"empty text, group", plateObject(3, "", "VIP"), {"caption=LPR", "group=VIP"}},
        {"null text, no group", plateObject(4, nullptr, nullptr), {"caption=LPR"}},
        {"no text at all", eventObject(5, "lp"), {"caption=LPR"}},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        const auto object = feedOne(alarm("LPR", {testCase.object}));
        EXPECT_EQ("skyloom.plugin.obj_lp", object.typeId);
        EXPECT_EQ(testCase.expected, textAttributes(object));
    }
    EXPECT_EQ(0, failures(kEventFailure));
}

TEST_F(ObjectConversion, EmptyPlateTextCachesNoPlate)
{
    feedOne(alarm("LPR", {plateObject(7, "", "VIP")}));

    // A plate detection without text is still skipped: no plate is known for the track.
    const auto packets = feed(detections({annotation(7, "lp")}));
    ASSERT_EQ(1U, packets.size());
    EXPECT_TRUE(packets[0].items.empty());

    settings(/*enableMetadata*/ true, /*skipNullFace*/ true, /*skipNullPlate*/ false);
    EXPECT_EQ((Attributes{"caption=LPR", "group=VIP"}),
        textAttributes(feedOne(detections({annotation(7, "lp")}))));
}

// A plate without "lp_group_str" abandoned the whole list, though its caption and plate were
// already cached: the alarm's objects never reached the server, later detections showed them.
TEST_F(ObjectConversion, PlateWithoutGroupLostTheAlarmsObjects)
{
    const auto packets = feed(alarm("LPR",
        {eventObject(30, "car"), plateObject(31, "12GA3456", nullptr), eventObject(32, "car")}));
    ASSERT_EQ(1U, packets.size());
    ASSERT_EQ(3U, packets[0].items.size());
    EXPECT_EQ((Attributes{"caption=LPR", "plate=12GA3456"}), textAttributes(packets[0].items[1]));
    EXPECT_EQ(0, failures(kEventFailure));

    settings(/*enableMetadata*/ false);
    const auto shown = feed(detections({annotation(31, "lp")}));
    ASSERT_EQ(1U, shown.size());
    ASSERT_EQ(1U, shown[0].items.size());
    EXPECT_EQ((Attributes{"caption=LPR", "plate=12GA3456"}), textAttributes(shown[0].items[0]));
}

TEST_F(ObjectConversion, MalformedAlarmIsReportedAndNextMessageStillConverts)
{
    struct Case
    {
        const char* name;
        json message;
    };
    const json person = eventObject(9, "person");
    const Case cases[] = {
        {"no object_list", {{"caption", "A"}, {"event", json::object()}}},
        {"object_list not a list", {{"caption", "A"}, {"event", {{"object_list", "x"}}}}},
        {"event not an object", {{"caption", "A"}, {"event", 5}}},
        {"no caption", {{"event", {{"object_list", {person}}}}}},
        {"caption not a text", {{"caption", 5}, {"event", {{"object_list", {person}}}}}},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        nextCase();
        json message = testCase.message;
        message["src_uuid"] = kCameraId;
        EXPECT_TRUE(feed(message.dump()).empty());
        EXPECT_EQ(1, failures(kEventFailure));
        EXPECT_EQ(1U, feed(alarm("Intrusion", {eventObject(1, "car")})).size());
    }
}

// One malformed object abandoned the whole list; now it alone is dropped, with one line.
TEST_F(ObjectConversion, MalformedAlarmObjectLostItsNeighbours)
{
    struct Case
    {
        const char* name;
        json object;
    };
    const json person = eventObject(9, "person");
    const Case cases[] = {
        {"class not a text", withMember(person, "class", 3)},
        {"tid missing", json{{"class", "car"}, {"bbox", box(0, 0, 1, 1)}}},
        {"tid a text", withMember(person, "tid", "9")},
        {"tid a boolean", withMember(person, "tid", true)},
        {"tid with a fraction", withMember(person, "tid", 9.5)},
        {"tid above int32", withMember(person, "tid", 2147483648LL)},
        {"tid below int32", withMember(person, "tid", -2147483649LL)},
        {"tid far out of range", withMember(person, "tid", 1e10)},
        {"corner missing", withMember(person, "bbox", json{{"x0", 0.1}})},
        {"corner not a number",
            withMember(person, "bbox", json{{"x0", 0}, {"y0", 0}, {"x1", 1}, {"y1", "1"}})},
        {"corner beyond float", withMember(person, "bbox", box(0, 0, 1e39, 1))},
        {"lp_text not a text", plateObject(9, 5, "VIP")},
        {"lp_group_str not a text", plateObject(9, "12GA3456", 5)},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        nextCase();
        const auto packets = feed(alarm("A",
            {eventObject(1, "car"), testCase.object, eventObject(2, "fire")}));
        ASSERT_EQ(1U, packets.size());
        ASSERT_EQ(2U, packets[0].items.size());
        EXPECT_EQ(trackId(1), packets[0].items[0].trackId);
        EXPECT_EQ(trackId(2), packets[0].items[1].trackId);
        EXPECT_EQ(std::vector<std::string>{"object_list[1]"}, droppedElements());
        // Nothing was learnt from the dropped object.
        EXPECT_TRUE(feed(alarm("A", {testCase.object})).empty());
    }
    EXPECT_EQ(2 * std::size(cases),
        counted(DropReason::malformed) + counted(DropReason::numberOutOfRange));
}

TEST_F(ObjectConversion, EmptyObjectListGivesNothingAndNoFailure)
{
    EXPECT_TRUE(feed(alarm("Occupancy", {})).empty());
    EXPECT_EQ(0, failures(kEventFailure));
}

// "tid": true, 1.9 and 1 all read as track 1 and merged three objects into one track.
TEST_F(ObjectConversion, TrackIdsThatAreNotWholeNumbersCollided)
{
    json object = eventObject(0, "person");
    const auto packets = feed(alarm("A", {withMember(object, "tid", true),
        withMember(object, "tid", 1.9), withMember(object, "tid", 1),
        withMember(object, "tid", 2.0), withMember(object, "tid", -0.0)}));
    ASSERT_EQ(1U, packets.size());
    ASSERT_EQ(3U, packets[0].items.size());
    EXPECT_EQ(trackId(1), packets[0].items[0].trackId);
    EXPECT_EQ(trackId(2), packets[0].items[1].trackId);
    EXPECT_EQ(trackId(0), packets[0].items[2].trackId);
    EXPECT_EQ(2, failures(kEventFailure));

    const auto detected = feed(detections({withMember(annotation(0, "car"), "track_id", 3.5),
        withMember(annotation(0, "car"), "track_id", 3)}));
    ASSERT_EQ(1U, detected.size());
    ASSERT_EQ(1U, detected[0].items.size());
    EXPECT_EQ(trackId(3), detected[0].items[0].trackId);
}

//-------------------------------------------------------------------------------------------------
// Detections.

TEST_F(ObjectConversion, TrackGateOpensOnlyForTracksNamedByAnAlarm)
{
    settings(/*enableMetadata*/ false);

    auto packets = feed(detections({annotation(501, "person"), annotation(502, "person")}));
    ASSERT_EQ(1U, packets.size());
    EXPECT_TRUE(packets[0].items.empty());
    EXPECT_EQ(kFrameTimeUs, packets[0].timestampUs);
    EXPECT_EQ(1200000, packets[0].durationUs);

    feedOne(alarm("Loitering", {eventObject(501, "person")}));

    packets = feed(detections({annotation(501, "person"), annotation(502, "person")}));
    ASSERT_EQ(1U, packets.size());
    ASSERT_EQ(1U, packets[0].items.size());
    const auto& object = packets[0].items[0];
    EXPECT_EQ(trackId(501), object.trackId);
    EXPECT_EQ("skyloom.plugin.obj_person", object.typeId);
    EXPECT_EQ(Attributes{"caption=Loitering"}, textAttributes(object));

    settings(/*enableMetadata*/ true);
    packets = feed(detections({annotation(501, "person"), annotation(502, "person")}));
    ASSERT_EQ(1U, packets.size());
    EXPECT_EQ(2U, packets[0].items.size());
    EXPECT_EQ(300000, packets[0].durationUs);
}

TEST_F(ObjectConversion, DetectionLabelsFollowTheLatestAlarm)
{
    feedOne(alarm("LPR", {plateObject(61, "12GA3456", "VIP")}));
    feedOne(alarm("Stopping", {eventObject(61, "car")}));

    const auto object = feedOne(detections(
        {withMember(annotation(61, "lp"), "lp_text", "12GA3456")}));
    EXPECT_EQ((Attributes{"caption=Stopping", "plate=12GA3456", "group=VIP"}),
        textAttributes(object));
}

TEST_F(ObjectConversion, UnreadPlateIsSkippedUnlessItsPlateIsKnown)
{
    struct Case
    {
        const char* name;
        bool skipNullPlate;
        json annotation;
        bool shown;
    };
    const json plate = annotation(700, "lp");
    const Case cases[] = {
        {"no text", true, plate, false},
        {"null text", true, withMember(plate, "lp_text", nullptr), false},
        {"with text", true, withMember(plate, "lp_text", "12GA3456"), true},
        {"rule off", false, plate, true},
        {"not a plate", true, annotation(700, "car"), true},
        {"class not a text", true, withMember(plate, "class", json::array({"lp"})), false},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        settings(/*enableMetadata*/ true, /*skipNullFace*/ true, testCase.skipNullPlate);
        const auto packets = feed(detections({testCase.annotation}));
        if (!testCase.annotation["class"].is_string())
        {
            // Not a plate for the rule, and then no type id can be read: a reported failure.
            EXPECT_TRUE(packets.empty());
            continue;
        }
        ASSERT_EQ(1U, packets.size());
        EXPECT_EQ(testCase.shown ? 1U : 0U, packets[0].items.size());
    }

    // Once an alarm has read the plate, the detection is shown with it.
    settings(/*enableMetadata*/ true);
    feedOne(alarm("LPR", {plateObject(700, "12GA3456", "")}));
    const auto object = feedOne(detections({plate}));
    EXPECT_EQ("skyloom.plugin.obj_lp", object.typeId);
    EXPECT_EQ((Attributes{"caption=LPR", "plate=12GA3456"}), textAttributes(object));
}

TEST_F(ObjectConversion, UnanalysedFaceIsSkippedOnlyWhenTheRuleIsOn)
{
    enum class Face { absent, null, analysed };
    struct Case
    {
        bool skipNullFace;
        bool skipNullPlate;
        Face face;
        bool shown;
    };
    const Case cases[] = {
        {true, true, Face::absent, false},
        {true, false, Face::absent, false},
        {true, true, Face::null, false},
        {true, true, Face::analysed, true},
        {false, true, Face::absent, true},
        {false, false, Face::null, true},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testing::Message() << "skipNullFace " << testCase.skipNullFace
            << ", skipNullPlate " << testCase.skipNullPlate << ", face "
            << static_cast<int>(testCase.face));
        settings(/*enableMetadata*/ true, testCase.skipNullFace, testCase.skipNullPlate);
        json face = annotation(88, "face");
        if (testCase.face == Face::null)
            face["face"] = nullptr;
        else if (testCase.face == Face::analysed)
            face["face"] = {{"id", "P-000127"}, {"name", "Kim Minsoo"}};
        const auto packets = feed(detections({face}));
        ASSERT_EQ(1U, packets.size());
        ASSERT_EQ(testCase.shown ? 1U : 0U, packets[0].items.size());
        if (testCase.shown)
        {
            EXPECT_EQ("skyloom.plugin.obj_unregistered", packets[0].items[0].typeId);
        }
    }
}

// Reversed or oversized corners reached the server as boxes of negative size or beyond the
// frame, which it cannot draw.
TEST_F(ObjectConversion, DetectionBoxesTheServerCouldNotDraw)
{
    struct Case
    {
        const char* name;
        json corners;
        std::optional<Rect> expected; //< None: dropped.
    };
    const Case cases[] = {
        {"inside, unchanged", json::array({0.19531, 0.22037, 0.55781, 0.88981}),
            Rect(0.19531F, 0.22037F, 0.3625F, 0.66944F)},
        {"tiny, unchanged", json::array({0.9, 0.5, 0.95, 0.6}), Rect(0.9F, 0.5F, 0.05F, 0.1F)},
        {"zero size inside", json::array({0.3, 0.3, 0.3, 0.3}), Rect(0.3F, 0.3F, 0.0F, 0.0F)},
        {"corners reversed, below the frame", json::array({0.6, 0.6, 0.4, 1.7}),
            Rect(0.4F, 0.6F, 0.2F, 0.4F)},
        {"around the frame, reversed", json::array({5, 5, -3, -3}), Rect(0, 0, 1, 1)},
        {"too large for a float", json::array({-3e38, -3e38, 3e38, 3e38}), Rect(0, 0, 1, 1)},
        {"right of the frame", json::array({1.2, 0.1, 1.5, 0.3}), std::nullopt},
        {"above the frame", json::array({0.1, -0.5, 0.3, -0.1}), std::nullopt},
        {"touching the left edge from outside", json::array({-0.3, 0.1, 0.0, 0.3}), std::nullopt},
    };
    for (const Case& testCase: cases)
    {
        SCOPED_TRACE(testCase.name);
        nextCase();
        const auto packets = feed(detections(
            {annotation(5, "person", testCase.corners), annotation(6, "car")}));
        ASSERT_EQ(1U, packets.size());
        ASSERT_EQ(testCase.expected ? 2U : 1U, packets[0].items.size());
        if (testCase.expected)
            expectBox(*testCase.expected, packets[0].items[0].boundingBox);
        EXPECT_EQ(testCase.expected ? std::vector<std::string>{}
            : std::vector<std::string>{"annotations[0]"}, droppedElements());
    }
    EXPECT_EQ(3U, counted(DropReason::boxOutsideFrame));
    // Each message delivered its other detection: cut elements, no dropped message.
    EXPECT_EQ(3U, m_agent->counters().cuts(DropReason::boxOutsideFrame));
}

TEST_F(ObjectConversion, AllDetectionsSkippedStillGivesAnEmptyStampedPacket)
{
    const auto packets = feed(detections({annotation(1, "face"), annotation(2, "lp")}));
    ASSERT_EQ(1U, packets.size());
    EXPECT_TRUE(packets[0].items.empty());
    EXPECT_EQ(0, packets[0].reportedCount);
    EXPECT_EQ(kFrameTimeUs, packets[0].timestampUs);
    EXPECT_EQ(300000, packets[0].durationUs);
}

TEST_F(ObjectConversion, MalformedDetectionsAreReportedAndNextMessageStillConverts)
{
    const json person = annotation(9, "person");
    const json messages[] = {
        {{"meta", 1}},
        {{"meta", json::object()}},
        {{"meta", {{"metadata", json::object()}}}},
        {{"meta", {{"metadata", {{"annotations", 1}}}}}},
    };
    for (json message: messages)
    {
        SCOPED_TRACE(message.dump());
        nextCase();
        message["src_uuid"] = kCameraId;
        EXPECT_TRUE(feed(message.dump()).empty());
        EXPECT_EQ(1, failures(kMetaFailure));
        EXPECT_EQ(1U, feed(detections({person})).size());
    }

    const json elements[] = {
        json{{"class", "person"}, {"bbox", {0, 0, 1, 1}}},
        withMember(person, "track_id", 4294967296LL),
        withMember(person, "track_id", -2147483649.0),
        withMember(person, "track_id", "9"),
        json{{"track_id", 9}, {"bbox", {0, 0, 1, 1}}},
        withMember(person, "bbox", {0.1, 0.2, 0.3}),
        withMember(person, "bbox", {0.1, 0.2, 0.3, "x"}),
        withMember(person, "bbox", {0, 0, 1, -1e300}),
    };
    for (const json& element: elements)
    {
        SCOPED_TRACE(element.dump());
        nextCase();
        const auto packets = feed(detections({element, annotation(10, "car")}));
        ASSERT_EQ(1U, packets.size());
        ASSERT_EQ(1U, packets[0].items.size());
        EXPECT_EQ(trackId(10), packets[0].items[0].trackId);
        EXPECT_EQ(std::vector<std::string>{"annotations[0]"}, droppedElements());
        EXPECT_TRUE(feed(detections({element})).empty()); //< Nothing left to send.
    }
}

TEST_F(ObjectConversion, EmptyAnnotationsGiveNothingAndNoFailure)
{
    EXPECT_TRUE(feed(detections({})).empty());
    EXPECT_EQ(0, failures(kMetaFailure));
}

//-------------------------------------------------------------------------------------------------
// Texts for the server.

TEST(ServerText, ControlAndBidiCharactersBecomeOneReplacementEach)
{
    using nx::vms_server_plugins::analytics::sample::needsCleaning;
    using nx::vms_server_plugins::analytics::sample::textForServer;
    const std::string r = "\uFFFD";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"12GA3456", "12GA3456"},
        {"Zoné 東 \u00A0\u2027\u202F\u2065\u206A", "Zoné 東 \u00A0\u2027\u202F\u2065\u206A"},
        {"line\u2028para\u2029", "line" + r + "para" + r},
        {std::string("12\0GA", 5), "12" + r + "GA"},
        {"\x1b[31mred", r + "[31mred"},
        {"a\tb\nc\x7f", "a" + r + "b" + r + "c" + r},
        {"\u0080\u0085\u009F", r + r + r},
        {"\u202A\u202B\u202C\u202D\u202E", r + r + r + r + r},
        {"\u2066\u2067\u2068\u2069", r + r + r + r},
        {"abc\u202E", "abc" + r},
    };
    for (const auto& [input, expected]: rows)
    {
        SCOPED_TRACE(input);
        EXPECT_EQ(expected, textForServer(input));
        EXPECT_EQ(expected != input, needsCleaning(input));
    }
}

TEST(ServerText, UnwantedCharacterSeenAtEveryOffsetOfALongText)
{
    // Long texts are looked at eight bytes at a time: a character at any offset, across the
    // border of two such words too, must still be seen, and the bounds of printable ASCII and
    // fine non-ASCII characters must not be taken for unwanted ones.
    using nx::vms_server_plugins::analytics::sample::needsCleaning;
    const std::string unwanted[] = {
        std::string(1, '\0'), "\x1f", "\x7f", "\u0080", "\u009F", "\u2028", "\u202E", "\u2069"};
    const std::string fine[] = {" ", "~", "\u00A0", "é", "東", "\u2027", "\u202F", "\u2065"};
    for (size_t offset = 0; offset < 20; ++offset)
    {
        SCOPED_TRACE(offset);
        const auto at = [offset](const std::string& character)
            { return std::string(offset, 'a') + character + std::string(20, 'b'); };
        for (const std::string& character: unwanted)
            EXPECT_TRUE(needsCleaning(at(character)));
        for (const std::string& character: fine)
            EXPECT_FALSE(needsCleaning(at(character)));
    }
}

TEST(ServerText, LogLinesHoldNetworkTextsEscaped)
{
    using nx::vms_server_plugins::analytics::sample::textForLog;
    const std::pair<std::string, std::string> rows[] = {
        {"plain text é 東", "plain text é 東"},
        {"a\nb\tc", "a\\u000Ab\\u0009c"},
        {"\x1b[2J\x7f", "\\u001B[2J\\u007F"},
        {"\u0085\u2028\u2029\u202E\u2066", "\\u0085\\u2028\\u2029\\u202E\\u2066"},
        {"bad \xff\xfe utf-8 \xc3", "bad \\xFF\\xFE utf-8 \\xC3"},
        {"\xed\xa0\x80 surrogate, \xc0\xaf overlong",
            "\\xED\\xA0\\x80 surrogate, \\xC0\\xAF overlong"},
        {std::string(2000, 'a'), std::string(1024, 'a') + "... (2000 bytes)"},
    };
    for (const auto& [input, expected]: rows)
    {
        SCOPED_TRACE(input.substr(0, 40));
        EXPECT_EQ(expected, textForLog(input));
    }
    EXPECT_EQ("{\n  \"a\": \"\\u2028\"\n}",
        textForLog("{\n  \"a\": \"\u2028\"\n}", std::string::npos, /*keepLineFeeds*/ true));
}

// "12\u0000GA" reached the server as "12"; ESC and U+202E reached captions and plates.
TEST_F(ObjectConversion, ObjectTextsCarriedControlCharactersToTheServer)
{
    const auto object = feedOne(alarm("LPR\u202E",
        {plateObject(40, std::string("12\0GA", 5), "VIP\x1b[0m")}));
    const Attributes expected{"caption=LPR\uFFFD", "plate=12\uFFFDGA", "group=VIP\uFFFD[0m"};
    EXPECT_EQ(expected, textAttributes(object));
    EXPECT_EQ(expected, textAttributes(feedOne(detections({annotation(40, "lp")}))));
}

//-------------------------------------------------------------------------------------------------
// Bounds.

// A 336 KB alarm put 262 MB of text into its packets: the caption was copied into every object,
// and every later detection of a cached track copied the cached texts again.
TEST_F(ObjectConversion, AlarmCaptionWasCopiedIntoEveryObject)
{
    constexpr size_t kMaxCachedBytes = 128 * 3 * 1024;
    const std::string longText(300000, 'c');
    std::vector<json> objects;
    for (int i = 0; i < 1500; ++i)
    {
        objects.push_back(i % 10 ? eventObject(i % 200, "car", box(0, 0, 1, 1))
            : plateObject(i % 200, std::string(2000, 'p'), std::string(2000, 'g')));
    }
    std::vector<json> annotations(3000, annotation(1, "car"));
    const std::string messages[] = {
        alarm(longText, objects),
        detections(annotations),
        alarm(std::string(2000, '\x7f'), {eventObject(1, "car")}),
    };
    settings(/*enableMetadata*/ true);
    size_t elementsCut = 0;
    for (const std::string& message: messages)
    {
        const auto packets = feed(message);
        elementsCut += m_lastCuts.elements;
        ASSERT_FALSE(packets.empty());
        size_t bytes = 0;
        for (const auto& packet: packets)
            bytes += textBytes(packet);
        std::cout << "[ measured ] " << bytes << " bytes of text from a " << message.size()
                  << "-byte message\n";
        EXPECT_LE(bytes, 4 * message.size() + 64 * 1024 + kMaxCachedBytes);
        for (const auto& packet: packets)
        {
            EXPECT_LE(packet.items.size(), 1024U);
            for (const auto& item: packet.items)
            {
                for (const auto& attribute: item.attributes)
                    EXPECT_LE(attribute.value.size(), 1024U);
            }
        }
    }
    EXPECT_EQ((1500U - 1024) + (3000 - 1024), elementsCut);
}

// A 68.8 KB detection message of 1024 annotations over 128 tracks, each named by an alarm with
// 1 KiB texts, gave the server 3.46 MB of attribute text: a track's cached attributes are shared
// in the plugin, but the server receives them once for every object that holds them.
TEST_F(ObjectConversion, CachedTrackAttributesWereCopiedIntoEveryObject)
{
    const std::string caption(1024, 'c');
    const std::string plate(1024, 'p');
    const std::string group(1024, 'g');
    const Attributes named{"caption=" + caption, "plate=" + plate, "group=" + group};

    std::vector<json> plates;
    for (int track = 0; track < 128; ++track)
        plates.push_back(plateObject(track, plate, group));
    std::vector<json> people;
    for (int track = 2000; track < 2000 + 1024; ++track)
        people.push_back(eventObject(track, "person"));
    /** Annotations of tracks first, first + 1, ... first + trackCount - 1, first again... */
    const auto annotations = [](int count, int first, int trackCount)
    {
        std::vector<json> result;
        for (int i = 0; i < count; ++i)
            result.push_back(annotation(first + i % trackCount, "car"));
        return result;
    };

    struct Row
    {
        const char* what;
        std::string message;
        size_t listSize;
        int firstTrack;
        int trackCount;
        Attributes attributes; //< Of every object sent.
        bool cut;
    };
    const Row rows[] = {
        {"an alarm names 128 tracks", alarm(caption, plates), 128, 0, 128, named, false},
        {"16 detections of named tracks", detections(annotations(16, 0, 128)), 16, 0, 128,
            named, false},
        {"1024 detections of 128 named tracks", detections(annotations(1024, 0, 128)), 1024, 0,
            128, named, true},
        {"1024 detections of unnamed tracks", detections(annotations(1024, 1000, 1024)), 1024,
            1000, 1024, {}, false},
        {"an alarm of 1024 objects shares its caption", alarm(caption, people), 1024, 2000, 1024,
            {"caption=" + caption}, true},
    };
    settings(/*enableMetadata*/ true);
    for (const Row& row: rows)
    {
        SCOPED_TRACE(row.what);
        const uint64_t listCutBefore = m_agent->counters().cuts(DropReason::listCut);

        const auto packets = feed(row.message);
        ASSERT_EQ(1U, packets.size());
        const auto& objects = packets[0].items;
        size_t bytes = 0;
        for (const auto& packet: packets)
            bytes += receivedAttributeBytes(packet);
        const size_t bound = 4 * row.message.size() + 64 * 1024;
        std::cout << "[ measured ] " << row.what << ": " << bytes << " bytes of attributes in "
                  << objects.size() << " objects from a " << row.message.size()
                  << "-byte message\n";
        EXPECT_LE(bytes, bound);

        const uint64_t listCut = m_agent->counters().cuts(DropReason::listCut) - listCutBefore;
        EXPECT_EQ(listCut, m_lastCuts.objects);
        EXPECT_EQ(row.listSize, objects.size() + listCut);
        EXPECT_EQ(row.cut, listCut > 0);
        if (row.cut && !objects.empty())
        {
            // Cut where the next object would not fit, not earlier.
            size_t objectBytes = 0;
            for (const auto& attribute: objects[0].attributes)
                objectBytes += attribute.name.size() + attribute.value.size();
            EXPECT_GT(bytes + objectBytes, bound);
        }
        // The objects sent are the first of the list, as they were before the bound.
        for (size_t i = 0; i < objects.size(); ++i)
        {
            const int track = row.firstTrack + static_cast<int>(i) % row.trackCount;
            ASSERT_EQ(trackId(track), objects[i].trackId) << "object " << i;
            ASSERT_EQ(row.attributes, textAttributes(objects[i])) << "object " << i;
        }
    }
}

} // namespace
