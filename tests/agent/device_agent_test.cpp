// The device agent driven directly, without its receive thread: frames and settings go in
// through the server's calls, messages through handleMessage(), and the test host's handler
// records what reaches the server. Log lines are read back from the log file in the working
// directory.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <nx/kit/debug.h>
#include <nx/sdk/helpers/uuid_helper.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/testhost.h>

#include "agent/device_agent.h"
#include "conversion/log_texts.h"
#include "conversion/type_ids.h"
#include "relay/relay_context.h"

namespace {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::CameraLog;
using nx::vms_server_plugins::analytics::sample::CameraSnapshot;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::Drop;
using nx::vms_server_plugins::analytics::sample::DropReason;
using nx::vms_server_plugins::analytics::sample::DropReasonInfo;
using nx::vms_server_plugins::analytics::sample::kDropReasons;
using nx::vms_server_plugins::analytics::sample::MessageDrops;
using nx::vms_server_plugins::analytics::sample::makeRelayContext;
using nx::vms_server_plugins::analytics::sample::NowSource;
using nx::vms_server_plugins::analytics::sample::RelayContext;
using nx::vms_server_plugins::analytics::sample::TrackIdentity;
using nx::vms_server_plugins::analytics::sample::eventTypeIdForSource;
using namespace skyloom::testhost;
namespace log_texts = nx::vms_server_plugins::analytics::sample::log_texts;
using Kind = MetadataPacketRecord::Kind;

constexpr int64_t kFrameTimeUs = 1598863206064000;
constexpr const char* kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";

std::string occupancyAlarm(
    const std::string& counter = R"({"value": [1622], "is_init_cnt": false})")
{
    return std::string(R"({"src_uuid":")") + kCameraId + R"(", "timestamp": "1598863206064000",
        "source": "source_0", "caption": "Occupancy", "description": "Occupancy over limit",
        "event": {"trigger_id": 3, "trigger_name": "occupancy", "trigger_type": "counting",
            "ch": 0, "timestamp_us": 1598863206064000, "sys_ts_us": 1598863206070000,
            "vid_ts_us": 1598863206064000, "rule_id": 7, "rule_name": "Hall",
            "counter": )" + counter + R"(, "onvif_ai_event": false, "object_list": [],
            "actions": ["vms"], "zone": [{"x": 0.1, "y": 0.2}, {"x": 0.9, "y": 0.8}]}})";
}

std::string alarm(const std::string& source, const std::string& caption = "Alarm")
{
    return nlohmann::json{{"src_uuid", kCameraId}, {"source", source}, {"caption", caption},
        {"description", "d"}, {"event", {{"object_list", nlohmann::json::array()}}}}.dump();
}

const MetadataItemRecord* onlyItem(const MetadataPacketRecord& packet)
{
    return packet.items.size() == 1 ? &packet.items[0] : nullptr;
}

std::vector<MetadataPacketRecord> eventPackets(const std::vector<MetadataPacketRecord>& packets)
{
    std::vector<MetadataPacketRecord> result;
    for (const auto& packet: packets)
    {
        if (packet.kind == Kind::event)
            result.push_back(packet);
    }
    return result;
}

/** Packets carrying the counter object. */
std::vector<MetadataPacketRecord> counterPackets(const std::vector<MetadataPacketRecord>& packets)
{
    std::vector<MetadataPacketRecord> result;
    for (const auto& packet: packets)
    {
        if (packet.kind == Kind::object && !packet.items.empty()
            && packet.items[0].typeId == "skyloom.plugin.obj_counter")
        {
            result.push_back(packet);
        }
    }
    return result;
}

class DeviceAgentTest: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        nx::kit::debug::debugStream(); //< Opens (and rotates) the log before the mark.
        m_log.mark();
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
        m_agent = Ptr<DeviceAgent>(new DeviceAgent(deviceInfo.get(),
            DeviceAgent::ReceiveThread::none, [this]() { return m_now; }));
        m_agent->setHandler(m_handler.get());
    }

    /** A case of its own: the log's rate of lines per kind starts afresh. */
    void nextCase()
    {
        m_now += CameraLog::kWindow;
        m_log.mark();
    }

    void settings(const Settings& values)
    {
        const SettingsResult result = doSetSettings(m_agent.get(), values);
        ASSERT_TRUE(result.isOk()) << result.errorMessage;
    }

    void compressedFrame(int64_t timestampUs)
    {
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(timestampUs));
        ASSERT_TRUE(doPushDataPacket(m_agent.get(), frame.get()).isOk());
    }

    void uncompressedFrame(int64_t timestampUs)
    {
        const Ptr<UncompressedVideoFrame> frame(new UncompressedVideoFrame(timestampUs));
        ASSERT_TRUE(doPushDataPacket(m_agent.get(), frame.get()).isOk());
    }

    std::vector<std::string> linesContaining(const std::string& text) const
    {
        std::vector<std::string> result;
        for (const auto& line: m_log.lines())
        {
            if (line.find(text) != std::string::npos)
                result.push_back(line);
        }
        return result;
    }

    /** Drops of `lost` that the step `operation` logged as a failure. */
    static int failures(const MessageDrops& lost, std::string_view operation)
    {
        return static_cast<int>(std::count_if(lost.drops.begin(), lost.drops.end(),
            [operation](const Drop& drop)
            {
                return drop.operation == operation && drop.line
                    && std::string_view(drop.line) == log_texts::kException;
            }));
    }

    /** Every drop the camera's counters hold, of any reason. */
    uint64_t dropsCounted() const
    {
        const auto counts = m_agent->counters().drops();
        return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
    }

    static std::vector<std::optional<DropReason>> reasons(const MessageDrops& lost)
    {
        std::vector<std::optional<DropReason>> result;
        for (const Drop& drop: lost.drops)
            result.push_back(drop.reason);
        return result;
    }

protected:
    std::chrono::steady_clock::time_point m_now;
    LogFile m_log;
    Ptr<DeviceAgentHandler> m_handler{new DeviceAgentHandler()};
    Ptr<DeviceAgent> m_agent;
};

//-------------------------------------------------------------------------------------------------
// Event conversion.

TEST_F(DeviceAgentTest, OccupancyAlarmGivesCounterThenEventWithCorrectedTime)
{
    settings({{"showCounter", "true"}, {"timeCorrection", "-200"}});
    compressedFrame(kFrameTimeUs);

    m_agent->handleMessage(occupancyAlarm());

    const auto packets = m_handler->packets();
    ASSERT_GE(packets.size(), 2U);

    const MetadataPacketRecord& counter = packets[0];
    ASSERT_EQ(Kind::object, counter.kind);
    EXPECT_EQ(1598863205864000, counter.timestampUs);
    EXPECT_EQ(600000000, counter.durationUs);
    const MetadataItemRecord* counterItem = onlyItem(counter);
    ASSERT_TRUE(counterItem);
    EXPECT_EQ("skyloom.plugin.obj_counter", counterItem->typeId);
    EXPECT_EQ(nx::sdk::Rect(0.05F, 0.05F, 0.001F, 0.001F), counterItem->boundingBox);
    ASSERT_EQ(1U, counterItem->attributes.size());
    EXPECT_EQ(nx::sdk::IAttribute::Type::number, counterItem->attributes[0].type);
    EXPECT_EQ("Occupancy", counterItem->attributes[0].name);
    EXPECT_EQ("1622", counterItem->attributes[0].value);

    const MetadataPacketRecord& event = packets[1];
    ASSERT_EQ(Kind::event, event.kind);
    EXPECT_EQ(1598863205864000, event.timestampUs);
    EXPECT_EQ(300000, event.durationUs);
    const MetadataItemRecord* eventItem = onlyItem(event);
    ASSERT_TRUE(eventItem);
    EXPECT_EQ("skyloom.plugin.evt_unregistered", eventItem->typeId);
    EXPECT_EQ("Occupancy", eventItem->caption);
    EXPECT_EQ("Occupancy over limit", eventItem->description);
    EXPECT_TRUE(eventItem->isActive);
    EXPECT_EQ(0U, dropsCounted());
}

TEST_F(DeviceAgentTest, CounterObjectKeepsItsTrackIdAcrossAlarms)
{
    settings({{"showCounter", "true"}});
    compressedFrame(kFrameTimeUs);

    m_agent->handleMessage(occupancyAlarm());
    m_agent->handleMessage(occupancyAlarm(R"({"value": [1623]})"));

    const auto counters = counterPackets(m_handler->packets());
    ASSERT_EQ(2U, counters.size());
    EXPECT_FALSE(counters[0].items[0].trackId.isNull());
    EXPECT_EQ(counters[0].items[0].trackId, counters[1].items[0].trackId);
    EXPECT_EQ("1623", counters[1].items[0].attributes.at(0).value);
}

TEST_F(DeviceAgentTest, CounterValues)
{
    struct Row
    {
        std::string counter;
        bool showCounter;
        const char* expectedValue; //< Null: no counter packet.
        bool expectEvent;
    };
    const std::vector<Row> rows{
        {R"({"value": [12.9]})", true, "12", true},
        {R"({"value": [-12.9]})", true, "-12", true},
        {R"({"value": [-3]})", true, "-3", true},
        {R"({"value": [2147483647]})", true, "2147483647", true},
        {R"({"value": []})", true, nullptr, true},
        {R"({"value": [null]})", true, nullptr, true},
        {R"({"other": 1})", true, nullptr, true},
        // A step through null cannot resolve the path: malformed, like any other non-container.
        {"null", true, nullptr, false},
        {R"({"value": null})", true, nullptr, false},
        {R"({"value": {"0": 5}})", true, "5", true},
        // Malformed counters are not looked at while the counter display is off.
        {R"({"value": ["x"]})", false, nullptr, true},
        {R"("text")", false, nullptr, true},
        // Malformed with the counter display on: neither counter nor event.
        {R"({"value": ["x"]})", true, nullptr, false},
        {R"({"value": [1e20]})", true, nullptr, false},
        {R"({"value": [2147483648]})", true, nullptr, false},
        {R"({"value": [true]})", true, nullptr, false},
        {R"({"value": [1622, "ignored"]} )", true, "1622", true},
        {R"("text")", true, nullptr, false},
        {R"({"value": 5})", true, nullptr, false},
        {R"({"value": {"a": 5}})", true, nullptr, true},
    };
    compressedFrame(kFrameTimeUs);
    for (const Row& row: rows)
    {
        SCOPED_TRACE(row.counter + (row.showCounter ? " (shown)" : " (hidden)"));
        settings({{"showCounter", row.showCounter ? "true" : "false"}});
        m_handler->clear();
        nextCase();

        const MessageDrops lost = m_agent->handleMessage(occupancyAlarm(row.counter));

        const auto packets = m_handler->packets();
        const auto counters = counterPackets(packets);
        if (row.expectedValue)
        {
            ASSERT_EQ(1U, counters.size());
            EXPECT_EQ(row.expectedValue, counters[0].items[0].attributes.at(0).value);
        }
        else
        {
            EXPECT_TRUE(counters.empty());
        }
        EXPECT_EQ(row.expectEvent ? 1U : 0U, eventPackets(packets).size());
        EXPECT_EQ(row.expectEvent ? 0 : 1, failures(lost, log_texts::kEventConversion));
    }
}

TEST_F(DeviceAgentTest, AlarmWithoutCaptionDescriptionOrSourceIsSkippedSilently)
{
    compressedFrame(kFrameTimeUs);
    for (const char* member: {"caption", "description", "source"})
    {
        for (const bool asNull: {false, true})
        {
            SCOPED_TRACE(std::string(member) + (asNull ? " null" : " absent"));
            auto message = nlohmann::json::parse(alarm("fire"));
            if (asNull)
                message[member] = nullptr;
            else
                message.erase(member);
            const MessageDrops lost = m_agent->handleMessage(message.dump());
            // Told to tools, but neither counted nor logged.
            ASSERT_EQ(1U, lost.drops.size());
            EXPECT_FALSE(lost.drops[0].reason);
            EXPECT_EQ(nullptr, lost.drops[0].line);
        }
    }
    EXPECT_TRUE(eventPackets(m_handler->packets()).empty());
    EXPECT_EQ(0U, dropsCounted());
}

TEST_F(DeviceAgentTest, AlarmMemberOfWrongTypeIsOneExceptionLine)
{
    compressedFrame(kFrameTimeUs);
    for (const char* member: {"caption", "description", "source"})
    {
        auto message = nlohmann::json::parse(alarm("fire"));
        message[member] = 42;
        EXPECT_EQ(1, failures(m_agent->handleMessage(message.dump()), log_texts::kEventConversion));
    }
    EXPECT_TRUE(eventPackets(m_handler->packets()).empty());
    EXPECT_EQ(3U, m_agent->counters().drops(DropReason::malformed));
}

// Drops were told in the JSON library's words ("[json.exception.type_error.303] incompatible
// ReferenceType for get_ref"), without saying which member of the message was wrong.
TEST_F(DeviceAgentTest, DropDetailsWereTheJsonLibrarysInternals)
{
    const std::string head = std::string(R"({"src_uuid":")") + kCameraId + R"(",)";
    const std::string alarmHead = head + R"("caption":"LPR","description":"d","source":"lpr",)";
    const std::string object = R"({"class":"lp","tid":7,"bbox":{"x0":0,"y0":0,"x1":1,"y1":1}})";
    const std::string detections = head + R"("meta":{"metadata":{"annotations":)";
    struct Row
    {
        std::string message;
        DropReason reason;
        const char* detail;
    };
    const std::vector<Row> rows{
        {head + R"("caption":5,"description":"d","source":"lpr","event":{"object_list":[]}})",
            DropReason::malformed, R"("caption" must be a text, but is a number)"},
        {alarmHead + R"("event":{"object_list":[)" + object + "," + object
                + R"(,{"class":"lp","bbox":{}}]}})",
            DropReason::malformed,
            R"(object_list[2] dropped: "event"."object_list"[2]."tid" is missing)"},
        {alarmHead + R"("event":{"object_list":[{"class":"lp","tid":1.5,"bbox":{}}]}})",
            DropReason::malformed, R"(object_list[0] dropped: "event"."object_list"[0]."tid" )"
                "must be a whole number, but is 1.5"},
        {alarmHead + R"("event":{"object_list":[{"class":null,"tid":1}]}})",
            DropReason::malformed, R"(object_list[0] dropped: "event"."object_list"[0]."class" )"
                "must be a text, but is null"},
        {alarmHead + R"("event":{}})", DropReason::malformed,
            R"("event"."object_list" is missing)"},
        {alarmHead + R"("event":{"counter":{"value":["x"]},"object_list":[]}})",
            DropReason::malformed,
            R"("event"."counter"."value"[0] must be a number, but is a text)"},
        {detections + R"({}}}})", DropReason::malformed,
            R"("meta"."metadata"."annotations" must be an array, but is an object)"},
        {detections + R"([{"track_id":3000000000,"class":"car","bbox":[0,0,1,1]}]}}})",
            DropReason::numberOutOfRange, R"(annotations[0] dropped: "meta"."metadata".)"
                R"("annotations"[0]."track_id" is 3000000000, which does not fit a 32-bit )"
                "integer"},
        {detections + R"([{"track_id":1,"class":"car","bbox":[0,0,1]}]}}})",
            DropReason::malformed, R"(annotations[0] dropped: "meta"."metadata".)"
                R"("annotations"[0]."bbox"[3] is missing)"},
        // The parser's own words (simdjson's: what, not where).
        {R"({"src_uuid":"x",)", DropReason::notJson, "not JSON: The JSON document has an "
            "improper structure: missing or superfluous commas, braces, missing keys, etc."},
    };
    compressedFrame(kFrameTimeUs);
    settings({{"showCounter", "true"}, {"enableMetadata", "true"}});
    for (const Row& row: rows)
    {
        SCOPED_TRACE(row.message);
        const MessageDrops lost = m_agent->handleMessage(row.message);
        ASSERT_EQ(1U, lost.drops.size());
        EXPECT_EQ(row.reason, lost.drops[0].reason);
        EXPECT_EQ(row.detail, lost.drops[0].detail);
    }
}

TEST(DeviceAgentEventTypes, SourceNamesMapToEventTypeIds)
{
    const std::vector<std::pair<std::string, std::string>> rows{
        {"intrusion", "evt_intrusion"}, {"loitering", "evt_loitering"}, {"fence", "evt_fence"},
        {"abandon", "evt_abandon"}, {"animal", "evt_animal"}, {"body_gaze", "evt_body_gaze"},
        {"crowd", "evt_crowd"}, {"fallen", "evt_fallen"}, {"fire", "evt_fire"},
        {"hand_intrusion", "evt_hand_intrusion"}, {"illegal_parking", "evt_illegal_parking"},
        {"lpr", "evt_lpr"}, {"lpr_entry", "evt_lpr"}, {"lprx", "evt_lpr"},
        {"no_helmet", "evt_no_helmet"}, {"no_vest", "evt_no_vest"},
        {"occupancy", "evt_occupancy"}, {"people_counting", "evt_people_counting"},
        {"prolonged_stay", "evt_prolonged_stay"}, {"stay_go", "evt_stay_go"},
        {"stopping", "evt_stopping"}, {"tailgating", "evt_tailgating"}, {"threat", "evt_threat"},
        {"vehicle_counting", "evt_vehicle_counting"}, {"violence", "evt_violence"},
        {"zone_occupancy", "evt_zone_occupancy"}, {"dpc", "evt_dpc"},
        // Exact, case-sensitive comparisons of the whole text.
        {"LPR", "evt_unregistered"}, {"lp", "evt_unregistered"}, {"l", "evt_unregistered"},
        {"", "evt_unregistered"}, {"source_0", "evt_unregistered"},
        {"Fire", "evt_unregistered"}, {"fire ", "evt_unregistered"},
        {"intrusionx", "evt_unregistered"}, {"occupancy_zone", "evt_unregistered"},
        {"ptz_tracking", "evt_unregistered"}, {"unregistered", "evt_unregistered"},
    };
    for (const auto& [source, suffix]: rows)
    {
        EXPECT_EQ("skyloom.plugin." + suffix, eventTypeIdForSource(source))
            << "source: \"" << source << "\"";
    }
}

//-------------------------------------------------------------------------------------------------
// Dispatch and malformed input.

TEST_F(DeviceAgentTest, EventPathRunsBeforeMetaPath)
{
    settings({{"showCounter", "true"}, {"enableMetadata", "true"}});
    compressedFrame(kFrameTimeUs);
    const std::string message = std::string(R"({"src_uuid": ")") + kCameraId
        + R"(", "caption": "Crowd", "description": "d",
        "source": "crowd",
        "event": {"counter": {"value": [4]}, "object_list": [{"tid": 5, "class": "car",
            "bbox": {"x0": 0.1, "y0": 0.1, "x1": 0.5, "y1": 0.5}}]},
        "meta": {"metadata": {"annotations": [{"track_id": 6, "class": "person",
            "bbox": [0.2, 0.2, 0.4, 0.6]}]}}})";

    const MessageDrops lost = m_agent->handleMessage(message);

    const auto packets = m_handler->packets();
    ASSERT_EQ(4U, packets.size());
    EXPECT_EQ("skyloom.plugin.obj_counter", packets[0].items.at(0).typeId);
    EXPECT_EQ(Kind::event, packets[1].kind);
    EXPECT_EQ("skyloom.plugin.obj_car", packets[2].items.at(0).typeId);
    EXPECT_EQ("skyloom.plugin.obj_person", packets[3].items.at(0).typeId);
    EXPECT_TRUE(lost.drops.empty());
}

TEST_F(DeviceAgentTest, ValidJsonWithoutEventOrMetaProducesNothing)
{
    compressedFrame(kFrameTimeUs);
    for (const char* text: {"{}", "[]", "42", "\"event\"", "null", R"({"src_uuid": "x"})",
        R"([{"event": {}}])"})
    {
        EXPECT_TRUE(m_agent->handleMessage(text).drops.empty()) << text;
    }
    EXPECT_EQ(0U, m_handler->packetCount());
}

// The relay delivers by the text's first bytes; a later duplicate "src_uuid" wins in the parsed
// message, and another camera's alarm was shown on this one.
TEST_F(DeviceAgentTest, MessageNamingAnotherCameraWasConvertedForThisOne)
{
    compressedFrame(kFrameTimeUs);
    const std::string head = std::string(R"({"src_uuid":")") + kCameraId + "\"";
    const std::string body =
        R"(,"source":"fire","caption":"A","description":"d","event":{"object_list":[]}})";
    const std::string valid = head + body;
    for (const std::string& text: {
        head + body.substr(0, body.size() - 1) + R"(,"src_uuid":"another-camera"})",
        head + R"(,"src_uuid":5)" + body,
        "{" + body.substr(1),
        head.substr(0, head.size() - 2) + "\"" + body})
    {
        SCOPED_TRACE(text.substr(0, 120));
        nextCase();
        const MessageDrops lost = m_agent->handleMessage(text);
        EXPECT_EQ(0U, m_handler->packetCount());
        EXPECT_EQ(std::vector<std::optional<DropReason>>{DropReason::otherCamera}, reasons(lost));
    }
    EXPECT_EQ(4U, m_agent->counters().drops(DropReason::otherCamera));
    m_agent->handleMessage(valid);
    EXPECT_EQ(1U, m_handler->packetCount());
}

// The server keeps texts as C strings: a NUL cut them short; ESC and bidirectional overrides
// reached captions, descriptions and the name of the counter's attribute.
TEST_F(DeviceAgentTest, EventTextsCarriedControlAndBidiCharactersToTheServer)
{
    settings({{"showCounter", "true"}});
    compressedFrame(kFrameTimeUs);
    auto message = nlohmann::json::parse(occupancyAlarm());
    message["caption"] = "Hall\x1b[2J\u202E1";
    message["description"] = std::string("over\0limit", 10);
    m_agent->handleMessage(message.dump());

    const auto packets = m_handler->packets();
    ASSERT_EQ(2U, packets.size());
    const std::string cleanCaption = "Hall\uFFFD[2J\uFFFD1";
    EXPECT_EQ(cleanCaption, packets[0].items.at(0).attributes.at(0).name);
    EXPECT_EQ(cleanCaption, packets[1].items.at(0).caption);
    EXPECT_EQ("over\uFFFDlimit", packets[1].items.at(0).description);

    // An empty caption names no attribute: the counter's value goes under a name of its own.
    m_handler->clear();
    message["caption"] = "";
    m_agent->handleMessage(message.dump());
    const auto counters = counterPackets(m_handler->packets());
    ASSERT_EQ(1U, counters.size());
    EXPECT_EQ("Counter", counters[0].items.at(0).attributes.at(0).name);
    EXPECT_EQ("1622", counters[0].items.at(0).attributes.at(0).value);
}

TEST_F(DeviceAgentTest, MalformedMessagesAreLoggedAndTheNextOneIsConverted)
{
    settings({{"enableDebugDump", "true"}});
    compressedFrame(kFrameTimeUs);

    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "[";
    std::string deepObjects;
    for (int i = 0; i < 65; ++i)
        deepObjects += R"({"a":)";
    deepObjects += "1" + std::string(65, '}');
    // 66 levels, of which neither kind of bracket alone opens more than the limit.
    std::string deepMixed;
    for (int i = 0; i < 33; ++i)
        deepMixed += R"({"a":[)";
    for (int i = 0; i < 33; ++i)
        deepMixed += "]}";
    const std::vector<std::string> malformed{
        "not json",
        "",
        R"({"caption": "Occupancy",)",
        alarm("fire") + " trailing",
        "/* comment */" + alarm("fire"),
        alarm("fire").insert(1, "// comment\n"),
        std::string("{\"caption\": \"bad \xff\xfe utf-8\"}"),
        deep,
        deep + std::string(100000, ']'),
        deepObjects,
        deepMixed,
        std::string(1 << 20, 'x'),
    };
    for (const std::string& text: malformed)
    {
        SCOPED_TRACE(text.substr(0, 40));
        nextCase();
        EXPECT_EQ(1, failures(m_agent->handleMessage(text), log_texts::kReceiveLoop));
        EXPECT_EQ(0, m_log.countLinesContaining("recv_msg")); //< Only what parsed is dumped.
    }
    EXPECT_EQ(0U, m_handler->packetCount());

    m_agent->handleMessage(alarm("fire"));
    EXPECT_EQ(1U, eventPackets(m_handler->packets()).size());
}

// Malformed messages wrote 302 MB of log in 10 s; their texts reached the log unescaped.
TEST_F(DeviceAgentTest, MalformedFloodFilledTheLogWithUnescapedTexts)
{
    compressedFrame(kFrameTimeUs);
    for (int i = 0; i < 1000; ++i)
        m_agent->handleMessage("\"" + std::to_string(i) + "\xE2\x80\xA8\x1b[2J");
    const auto lines = linesContaining("threadFuncZeromqProcess exception: ");
    ASSERT_EQ(static_cast<size_t>(CameraLog::kLinesPerWindow), lines.size());
    // The parser's sentence no longer quotes the message; what a line quotes is escaped.
    EXPECT_NE(std::string::npos, lines[0].find("not JSON: ")) << lines[0];
    EXPECT_EQ(std::string::npos, lines[0].find("\xE2\x80\xA8")) << lines[0];

    // A line of another kind is not held back by the flood.
    m_agent->handleMessage(R"({"src_uuid":"another","event":{}})");
    EXPECT_EQ(1U, linesContaining("names another camera").size());

    m_now += CameraLog::kWindow;
    m_agent->handleMessage("not json");
    EXPECT_EQ(1U, linesContaining("(and 995 such lines not written before it)").size());
}

TEST_F(DeviceAgentTest, ErrorLineOfAHugeMalformedTokenIsBounded)
{
    // A JSON parser may quote the token it stopped at; a message from the network must not
    // turn that into a megabyte log line.
    compressedFrame(kFrameTimeUs);
    m_log.mark();
    m_agent->handleMessage(R"({"caption": ")" + std::string(1 << 20, 'x'));

    int exceptionLines = 0;
    for (const std::string& line: m_log.lines())
    {
        if (line.find("threadFuncZeromqProcess exception: ") == std::string::npos)
            continue;
        ++exceptionLines;
        EXPECT_LT(line.size(), 2048U);
        EXPECT_NE(std::string::npos, line.find("not JSON: ")) << line;
    }
    EXPECT_EQ(1, exceptionLines);
}

TEST_F(DeviceAgentTest, NestingLimitCountsOnlyStructure)
{
    compressedFrame(kFrameTimeUs);

    // 64 levels are accepted; brackets and escaped quotes inside texts are not structure.
    std::string nested = "1";
    for (int i = 0; i < 63; ++i) //< Inside the top-level object: 64 levels in all.
        nested = "[" + nested + "]";
    auto message = nlohmann::json::parse(alarm("fire"));
    message["deep"] = nlohmann::json::parse(nested);
    message["description"] = "\\\" [[[[{{{{" + std::string(200, '[');
    m_agent->handleMessage(message.dump());

    const auto events = eventPackets(m_handler->packets());
    ASSERT_EQ(1U, events.size());
    EXPECT_EQ(message["description"], events[0].items.at(0).description);
    EXPECT_EQ(0U, dropsCounted());

    message["deep"] = nlohmann::json::parse("[" + nested + "]"); //< 65 levels.
    const MessageDrops lost = m_agent->handleMessage(message.dump());
    EXPECT_EQ(1U, eventPackets(m_handler->packets()).size());
    EXPECT_EQ(std::vector<std::optional<DropReason>>{DropReason::tooDeep}, reasons(lost));
}

TEST_F(DeviceAgentTest, DebugDumpWritesTheMessageIndentedWithTextUnescaped)
{
    compressedFrame(kFrameTimeUs);
    const std::string message = alarm("fire", "Zoné 東");
    m_agent->handleMessage(message); //< Dump off.
    EXPECT_EQ(0, m_log.countLinesContaining("recv_msg"));

    settings({{"enableDebugDump", "true"}});
    m_agent->handleMessage(message);
    const std::string log = m_log.contents();
    const auto dumpStart = log.find("threadFuncZeromqProcess recv_msg: ");
    ASSERT_NE(std::string::npos, dumpStart);
    EXPECT_NE(std::string::npos,
        log.find(nlohmann::json::parse(message).dump(2, ' ', false), dumpStart));
    EXPECT_NE(std::string::npos, log.find("\"caption\": \"Zoné 東\"", dumpStart));
    EXPECT_EQ(2U, eventPackets(m_handler->packets()).size());
}

// A long text reached the server whole, in the event and in every object and cached copy.
TEST_F(DeviceAgentTest, LargeMessageIsConvertedWithItsTextsCut)
{
    compressedFrame(kFrameTimeUs);
    auto message = nlohmann::json::parse(alarm("fire"));
    std::string description = "x";
    for (int i = 0; i < (1 << 19); ++i)
        description += "\u00E9"; //< Two bytes each: byte 1024 falls inside a character.
    message["description"] = description;
    const MessageDrops lost = m_agent->handleMessage(message.dump());

    const auto events = eventPackets(m_handler->packets());
    ASSERT_EQ(1U, events.size());
    EXPECT_EQ(description.substr(0, 1023), events[0].items.at(0).description);
    EXPECT_EQ(1U, lost.cuts.texts);
    EXPECT_EQ(0U, lost.cuts.elements + lost.cuts.objects);
    EXPECT_EQ(1U, m_agent->counters().cuts(DropReason::textCut));
    EXPECT_EQ(0U, dropsCounted()); //< Delivered, cut: no drop.
}

// A cut or a bad element among good ones left the message delivered and counted it as dropped
// all the same, so the drops by reason did not add up to the messages lost.
TEST_F(DeviceAgentTest, DeliveredMessagesWithCutsWereCountedAsDropped)
{
    const auto annotations = [](const std::string& list)
        {
            return std::string(R"({"src_uuid":")") + kCameraId
                + R"(","meta":{"metadata":{"annotations":[)" + list + "]}}}";
        };
    const std::string good = R"({"track_id":1,"class":"person","bbox":[0.1,0.1,0.2,0.2]})";
    const std::string outside = R"({"track_id":2,"class":"person","bbox":[5,5,6,6]})";
    const std::string malformed =
        R"({"track_id":"seven","class":"person","bbox":[0.1,0.1,0.2,0.2]})";
    using Counts = std::map<DropReason, uint64_t>;
    const struct
    {
        const char* name;
        std::string message;
        bool video;
        Counts dropped; //< Messages, by reason.
        Counts cut; //< Elements, by reason.
    } rows[] = {
        {"before video", alarm("fire"), false, {{DropReason::beforeVideo, 1}}, {}},
        {"not JSON", "{\"src_uuid\":", true, {{DropReason::notJson, 1}}, {}},
        {"its only detection outside", annotations(outside), true,
            {{DropReason::boxOutsideFrame, 1}}, {}},
        {"its only detections malformed", annotations(malformed + "," + malformed), true,
            {{DropReason::malformed, 1}}, {}},
        {"one detection of two outside", annotations(good + "," + outside), true, {},
            {{DropReason::boxOutsideFrame, 1}}},
        {"two bad among good ones", annotations(good + "," + malformed + "," + outside), true,
            {}, {{DropReason::malformed, 1}, {DropReason::boxOutsideFrame, 1}}},
        {"caption cut", alarm("fire", std::string(2000, 'c')), true, {},
            {{DropReason::textCut, 1}}},
        {"whole", alarm("fire"), true, {}, {}},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        if (row.video)
            compressedFrame(kFrameTimeUs);
        const CameraSnapshot before = m_agent->counters().snapshot(kCameraId);
        m_agent->receiveMessage(row.message);
        const CameraSnapshot after = m_agent->counters().snapshot(kCameraId);
        for (const DropReasonInfo& reason: kDropReasons)
        {
            const auto i = static_cast<size_t>(reason.reason);
            const auto expected = [&](const Counts& counts)
                {
                    const auto found = counts.find(reason.reason);
                    return found == counts.end() ? uint64_t{0} : found->second;
                };
            EXPECT_EQ(expected(row.dropped), after.drops[i] - before.drops[i]) << reason.name;
            EXPECT_EQ(expected(row.cut), after.cuts[i] - before.cuts[i]) << reason.name;
        }
        EXPECT_EQ(row.dropped.empty() ? 1U : 0U, after.converted - before.converted);
    }
    const CameraSnapshot counts = m_agent->counters().snapshot(kCameraId);
    EXPECT_EQ(std::size(rows), counts.received);
    EXPECT_EQ(counts.received - counts.converted,
        std::accumulate(counts.drops.begin(), counts.drops.end(), uint64_t{0}));
}

//-------------------------------------------------------------------------------------------------
// Frame time and its correction.

TEST_F(DeviceAgentTest, FrameTimeCorrection)
{
    struct Row
    {
        const char* timeCorrection;
        bool compressed;
        int64_t expectedUs;
    };
    const std::vector<Row> rows{
        {"0", true, kFrameTimeUs},
        {"-200", true, kFrameTimeUs - 200000},
        {"5000", true, kFrameTimeUs + 5000000},
        {"-200", false, kFrameTimeUs}, //< Uncompressed frames are never corrected.
        // Beyond what a 32-bit product of milliseconds and 1000 can hold.
        {"3000000", true, kFrameTimeUs + 3000000000LL},
        {"-2147483648", true, kFrameTimeUs - 2147483648000LL},
    };
    for (const Row& row: rows)
    {
        SCOPED_TRACE(std::string(row.timeCorrection) + (row.compressed ? "" : " uncompressed"));
        settings({{"timeCorrection", row.timeCorrection}});
        if (row.compressed)
            compressedFrame(kFrameTimeUs);
        else
            uncompressedFrame(kFrameTimeUs);
        EXPECT_EQ(row.expectedUs, m_agent->lastFrameTimestampUs());
    }
}

TEST_F(DeviceAgentTest, PacketsCarryTheLatestFrameTime)
{
    compressedFrame(kFrameTimeUs);
    settings({{"timeCorrection", "100"}}); //< Applies from the next frame on.
    m_agent->handleMessage(alarm("fire"));
    compressedFrame(kFrameTimeUs + 40000);
    m_agent->handleMessage(alarm("fire"));

    const auto events = eventPackets(m_handler->packets());
    ASSERT_EQ(2U, events.size());
    EXPECT_EQ(kFrameTimeUs, events[0].timestampUs);
    EXPECT_EQ(kFrameTimeUs + 40000 + 100000, events[1].timestampUs);
}

//-------------------------------------------------------------------------------------------------
// Settings.

TEST_F(DeviceAgentTest, DefaultsDeliveryLogsEverySettingInOrder)
{
    settings({{"enableMetadata", "false"}, {"enableDebugDump", "false"},
        {"skipNullFaceObject", "true"}, {"skipNullPlateObject", "true"},
        {"showCounter", "true"}, {"timeCorrection", "0"}});

    const std::vector<std::string> expected{
        "settingsReceived m_enableMetadata:0", "settingsReceived m_enableDebugDump:0",
        "settingsReceived m_skipNullFaceObject:1", "settingsReceived m_skipNullPlateObject:1",
        "settingsReceived m_showCounter:1", "settingsReceived m_timeCorrection:0",
        "settingsReceived m_timestampSource:latestFrame"};
    const auto lines = linesContaining("settingsReceived");
    ASSERT_EQ(expected.size(), lines.size());
    for (size_t i = 0; i < expected.size(); ++i)
    {
        const std::string& line = lines[i];
        ASSERT_GE(line.size(), expected[i].size());
        EXPECT_EQ(expected[i], line.substr(line.size() - expected[i].size())) << line;
        EXPECT_EQ(0U, line.rfind("[device_{8f120e8a..}] ", 0)) << line;
    }
}

TEST_F(DeviceAgentTest, TimeCorrectionTexts)
{
    const std::vector<std::pair<std::string, int>> rows{
        {"0x10", 16}, {"010", 8}, {"-200", -200}, {" 42", 42},
        {"12 ", 42}, {"12ms", 42}, {"", 42}, {"3000000000", 42}, {"0x", 42}, {"-", 42},
    };
    settings({{"timeCorrection", "42"}});
    for (const auto& [text, expectedMs]: rows)
    {
        SCOPED_TRACE("\"" + text + "\"");
        settings({{"timeCorrection", "42"}});
        settings({{"timeCorrection", text}});
        compressedFrame(kFrameTimeUs);
        EXPECT_EQ(kFrameTimeUs + int64_t(expectedMs) * 1000, m_agent->lastFrameTimestampUs());
    }
}

TEST_F(DeviceAgentTest, OnlyExactTrueSwitchesOn)
{
    const std::vector<std::pair<std::string, bool>> rows{
        {"true", true}, {"True", false}, {"TRUE", false}, {"1", false}, {"yes", false},
        {"", false}, {" true", false}, {"true ", false}, {"false", false},
    };
    compressedFrame(kFrameTimeUs);
    int trackId = 100;
    for (const auto& [text, on]: rows)
    {
        SCOPED_TRACE("\"" + text + "\"");
        settings({{"enableMetadata", text}, {"showCounter", text}});
        m_handler->clear();

        // "showCounter" shows the alarm's counter; "enableMetadata" a track no alarm has named.
        m_agent->handleMessage(occupancyAlarm());
        m_agent->handleMessage(std::string(R"({"src_uuid": ")") + kCameraId
            + R"(", "meta": {"metadata": {"annotations": [{"track_id": )"
            + std::to_string(++trackId)
            + R"(, "class": "person", "bbox": [0.2, 0.2, 0.4, 0.6]}]}}})");

        const auto packets = m_handler->packets();
        EXPECT_EQ(on ? 1U : 0U, counterPackets(packets).size());
        const auto people = std::count_if(packets.begin(), packets.end(),
            [](const MetadataPacketRecord& packet)
            {
                return packet.kind == Kind::object && onlyItem(packet)
                    && onlyItem(packet)->typeId == "skyloom.plugin.obj_person";
            });
        EXPECT_EQ(on ? 1 : 0, people);
    }
}

TEST_F(DeviceAgentTest, CounterIsHiddenBeforeTheFirstSettings)
{
    compressedFrame(kFrameTimeUs);
    m_agent->handleMessage(occupancyAlarm());
    EXPECT_TRUE(counterPackets(m_handler->packets()).empty());
    EXPECT_EQ(1U, eventPackets(m_handler->packets()).size());
}

// Before the first settings every detection is shown (the model's default shows only the tracks
// that an alarm named); faces and plates that the AI engine has not analysed are skipped, as by
// default.
TEST_F(DeviceAgentTest, EveryAnalysedDetectionIsShownBeforeTheFirstSettings)
{
    compressedFrame(kFrameTimeUs);
    m_agent->handleMessage(std::string(R"({"src_uuid": ")") + kCameraId
        + R"(", "meta": {"metadata": {"annotations": [
            {"track_id": 1, "class": "person", "bbox": [0.2, 0.2, 0.4, 0.6]},
            {"track_id": 2, "class": "face", "bbox": [0.2, 0.2, 0.4, 0.6]},
            {"track_id": 3, "class": "lp", "bbox": [0.2, 0.2, 0.4, 0.6]}]}}})");

    const auto packets = m_handler->packets();
    ASSERT_EQ(1U, packets.size());
    ASSERT_EQ(1U, packets[0].items.size());
    EXPECT_EQ("skyloom.plugin.obj_person", packets[0].items[0].typeId);
    EXPECT_EQ(0U, dropsCounted());
}

//-------------------------------------------------------------------------------------------------
// Manifest.

TEST_F(DeviceAgentTest, ManifestDeclaresEveryProducedType)
{
    const ManifestResult first = getManifest(m_agent.get());
    ASSERT_TRUE(first.isOk());
    EXPECT_EQ(first.manifest, getManifest(m_agent.get()).manifest);
    ASSERT_GE(first.manifest.size(), 2U);
    EXPECT_EQ("}\n", first.manifest.substr(first.manifest.size() - 2));
    EXPECT_EQ('{', first.manifest.front());

    const auto manifest = nlohmann::json::parse(first.manifest);
    const auto& eventTypes = manifest.at("eventTypes");
    const auto& objectTypes = manifest.at("objectTypes");
    EXPECT_EQ(27U, eventTypes.size());
    EXPECT_EQ(13U, objectTypes.size());

    std::set<std::string> eventIds;
    for (const auto& type: eventTypes)
    {
        EXPECT_EQ(2U, type.size());
        eventIds.insert(type.at("id").get<std::string>());
    }
    EXPECT_EQ(27U, eventIds.size());
    for (const char* source: {"intrusion", "loitering", "fence", "abandon", "animal", "body_gaze",
        "crowd", "fallen", "fire", "hand_intrusion", "illegal_parking", "lpr", "no_helmet",
        "no_vest", "occupancy", "people_counting", "prolonged_stay", "stay_go", "stopping",
        "tailgating", "threat", "vehicle_counting", "violence", "zone_occupancy", "dpc", "?"})
    {
        EXPECT_EQ(1U, eventIds.count(eventTypeIdForSource(source))) << source;
    }
    EXPECT_EQ(1U, eventIds.count("skyloom.plugin.evt_ptz_tracking"));
    EXPECT_EQ("Hand & Foot Intrusion", eventTypes.at(7).at("name"));
    EXPECT_EQ("skyloom.plugin.obj_counter", objectTypes.at(11).at("id"));
    EXPECT_EQ("object", objectTypes.at(12).at("name"));
}

//-------------------------------------------------------------------------------------------------
// Subscription prefix.

TEST(DeviceAgentPrefix, BuiltFromTheDeviceIdWithoutBraces)
{
    nx::kit::debug::debugStream();
    LogFile log;
    const std::string longId(200, 'a');
    const std::vector<std::pair<std::string, std::string>> rows{
        {"{8f120e8a-2ced-c84a-aa40-59a59f563488}", "8f120e8a-2ced-c84a-aa40-59a59f563488"},
        {"8f120e8a-2ced-c84a-aa40-59a59f563488", "8f120e8a-2ced-c84a-aa40-59a59f563488"},
        {"{" + longId + "}", longId},
        {longId, longId},
        {"{abc", "{abc"},
        {"abc}", "abc}"},
        {"{}", ""},
        {"x", "x"},
        {"", ""},
    };
    for (const auto& [id, expected]: rows)
    {
        SCOPED_TRACE("id \"" + id + "\"");
        log.mark();
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(id));
        const Ptr<DeviceAgent> agent(
            new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
        const std::string filter = "{\"src_uuid\":\"" + expected + "\"";
        EXPECT_EQ(filter, agent->zeromqFilter());

        std::vector<std::string> filterLines;
        for (const auto& line: log.lines())
        {
            if (line.find("DeviceAgent m_zeromqFilter: ") != std::string::npos)
                filterLines.push_back(line);
        }
        ASSERT_EQ(1U, filterLines.size());
        const std::string ending = "DeviceAgent m_zeromqFilter: " + filter;
        ASSERT_GE(filterLines[0].size(), ending.size());
        EXPECT_EQ(ending, filterLines[0].substr(filterLines[0].size() - ending.size()));
    }
}

/** A steady clock that only moves when told to; copies share the time. */
class ManualClock
{
public:
    NowSource clock() const
    {
        return [now = m_now]() { return *now; };
    }
    void advance(std::chrono::milliseconds duration) { *m_now += duration; }

private:
    std::shared_ptr<std::chrono::steady_clock::time_point> m_now{
        std::make_shared<std::chrono::steady_clock::time_point>()};
};

std::string baseOf(const DeviceAgent& agent)
{
    return agent.converter().trackIdentity().baseString();
}

std::string counterIdOf(const DeviceAgent& agent)
{
    return nx::sdk::UuidHelper::toStdString(agent.converter().trackIdentity().counterTrackId());
}

TEST(DeviceAgentTrackIds, BaseAndCounterTrackIdAreRandomPerAgent)
{
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(DeviceInfo::kDefaultId));
    const Ptr<DeviceAgent> first(
        new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
    const Ptr<DeviceAgent> second(
        new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
    EXPECT_EQ(38U, baseOf(*first).size());
    EXPECT_EQ(baseOf(*first),
        nx::sdk::UuidHelper::toStdString(nx::sdk::UuidHelper::fromStdString(baseOf(*first))));
    EXPECT_NE(baseOf(*first), baseOf(*second));
    EXPECT_NE(counterIdOf(*first), counterIdOf(*second));
}

// The ids came from the process's unseeded rand(): every server start, and every server, gave
// camera 1 the same base and counter id, and new objects merged into archived tracks.
TEST(DeviceAgentTrackIds, TrackIdsRepeatedAcrossProcesses)
{
    const auto idsInChild = []()
    {
        int fds[2];
        if (pipe(fds) != 0)
            return std::string("pipe failed");
        const pid_t pid = fork();
        if (pid == 0)
        {
            close(fds[0]);
            const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(DeviceInfo::kDefaultId));
            const Ptr<DeviceAgent> agent(
                new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
            const std::string ids = baseOf(*agent) + counterIdOf(*agent);
            const bool written = write(fds[1], ids.data(), ids.size())
                == static_cast<ssize_t>(ids.size());
            _exit(written ? 0 : 1);
        }
        close(fds[1]);
        std::string ids;
        char buffer[128];
        for (ssize_t got; (got = read(fds[0], buffer, sizeof(buffer))) > 0;)
            ids.append(buffer, static_cast<size_t>(got));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        return ids;
    };
    const std::string first = idsInChild();
    const std::string second = idsInChild();
    ASSERT_EQ(76U, first.size()) << first;
    ASSERT_EQ(76U, second.size()) << second;
    EXPECT_NE(first.substr(0, 38), second.substr(0, 38));
    EXPECT_NE(first.substr(38), second.substr(38));
}

// The server's own users of rand() must see the sequence they seeded, however many cameras come
// and go and however often their bases renew.
TEST(DeviceAgentTrackIds, AgentsLeaveTheRandSequenceAlone)
{
    constexpr int kDraws = 8;
    std::srand(1);
    std::vector<int> expected;
    for (int i = 0; i < kDraws; ++i)
        expected.push_back(std::rand());

    std::srand(1);
    ManualClock clock;
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
    for (int i = 0; i < 4; ++i)
    {
        const Ptr<DeviceAgent> agent(new DeviceAgent(
            deviceInfo.get(), DeviceAgent::ReceiveThread::none, clock.clock()));
        const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler());
        agent->setHandler(handler.get());
        const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimeUs));
        ASSERT_TRUE(doPushDataPacket(agent.get(), frame.get()).isOk());
        agent->handleMessage(alarm("fire"));
        clock.advance(TrackIdentity::kRenewalSilence);
        agent->handleMessage(alarm("fire")); //< Renews the base.
        ASSERT_EQ(2U, handler->packetCount());
    }
    std::vector<int> actual;
    for (int i = 0; i < kDraws; ++i)
        actual.push_back(std::rand());
    EXPECT_EQ(expected, actual);
}

//-------------------------------------------------------------------------------------------------
// Renewal of the track id base.

TEST(DeviceAgentRenewal, BaseRenewsWhenAMessageFollowsThirtySecondsOfSilence)
{
    using std::chrono::milliseconds;
    struct Step
    {
        milliseconds silence; //< Before the message.
        bool renewed;
    };
    const Step steps[] = {
        {milliseconds(0), false}, //< The first message renews nothing.
        {milliseconds(29999), false},
        {milliseconds(29999), false}, //< Silence counts from the latest message.
        {milliseconds(30000), true},
        {milliseconds(1), false},
        {milliseconds(3600000), true},
    };
    ManualClock clock;
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(DeviceInfo::kDefaultId));
    const Ptr<DeviceAgent> agent(
        new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none, clock.clock()));
    for (const Step& step: steps)
    {
        SCOPED_TRACE(step.silence.count());
        const std::string before = baseOf(*agent);
        clock.advance(step.silence);
        agent->handleMessage("not json"); //< Any message counts, whatever its content.
        EXPECT_EQ(step.renewed, baseOf(*agent) != before);
    }
}

// The idle count was shared by all cameras: others' idle time renewed the base of a camera in
// the middle of a track, splitting it.
TEST(DeviceAgentRenewal, BusyCameraKeepsItsBaseWhileOtherCamerasIdle)
{
    ManualClock clock;
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(DeviceInfo::kDefaultId));
    std::vector<Ptr<DeviceAgent>> agents;
    for (int i = 0; i < 61; ++i)
    {
        agents.emplace_back(
            new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none, clock.clock()));
        agents.back()->handleMessage("{}");
    }
    DeviceAgent& busy = *agents[0];
    const std::string busyBase = baseOf(busy);
    for (int second = 0; second < 120; ++second)
    {
        clock.advance(std::chrono::seconds(1));
        busy.handleMessage("{}");
    }
    EXPECT_EQ(busyBase, baseOf(busy));

    // An idle camera renews on its next message, and only its own base.
    const std::string idleBase = baseOf(*agents[1]);
    agents[1]->handleMessage("{}");
    EXPECT_NE(idleBase, baseOf(*agents[1]));
    EXPECT_EQ(busyBase, baseOf(busy));
}

//-------------------------------------------------------------------------------------------------
// Receive thread.

TEST(DeviceAgentLifecycle, ReceiveThreadWaitsForARelayThatNeverComesAndStopsAtOnce)
{
    using namespace std::chrono;
    nx::kit::debug::debugStream();
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(DeviceInfo::kDefaultId));

    // An engine's context on which no relay ever binds, and no context at all (an agent made
    // without an engine): neither receives anything, and both go at once.
    const struct
    {
        const char* name;
        RelayContext context;
        int threads;
    } cases[] = {
        {"context without a relay", makeRelayContext(), 1},
        {"no context", nullptr, 0},
    };
    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.name);
        LogFile log;
        log.mark();
        Ptr<DeviceAgent> agent(new DeviceAgent(deviceInfo.get(), c.context));
        if (c.threads > 0)
        {
            ASSERT_TRUE(log.waitForLine("threadFuncZeromqProcess start!!", seconds(5)));
            std::this_thread::sleep_for(milliseconds(300)); //< Let it reach its poll.
        }

        const auto releaseStart = steady_clock::now();
        agent.reset();
        const auto releaseMs =
            duration<double, std::milli>(steady_clock::now() - releaseStart).count();
        std::cout << "[ MEASURED ] release (" << c.name << "): " << releaseMs << " ms\n";
        EXPECT_LT(releaseMs, 1000);

        EXPECT_EQ(c.threads, log.countLinesContaining("threadFuncZeromqProcess start!!"));
        EXPECT_EQ(c.threads, log.countLinesContaining("threadFuncZeromqProcess terminated!!"));
        EXPECT_EQ(0, log.countLinesContaining("threadFuncZeromqProcess cannot"));
        EXPECT_EQ(0, log.countLinesContaining("poll Error"));
    }
}

} // namespace

namespace {

using nx::vms_server_plugins::analytics::sample::QueueBudget;

TEST(QueueBudgetRules, CameraAndEngineBoundsHoldAndRefundsNeverOverpay)
{
    constexpr int64_t kMiB = 1024 * 1024;
    QueueBudget budget;
    auto first = budget.account("{\"src_uuid\":\"a\"");
    EXPECT_EQ(first, budget.account("{\"src_uuid\":\"a\"")); //< One account per camera.

    EXPECT_TRUE(first->charge(QueueBudget::kCameraBytes - kMiB));
    EXPECT_FALSE(first->charge(2 * kMiB)); //< Over the camera's bound: nothing charged.
    EXPECT_TRUE(first->charge(kMiB));
    EXPECT_EQ(QueueBudget::kCameraBytes, budget.bytes());

    // Two agents of one camera both refund a message charged once.
    first->refund(kMiB);
    first->refund(QueueBudget::kCameraBytes);
    EXPECT_EQ(0, first->bytes());
    EXPECT_EQ(0, budget.bytes());

    // All cameras together stop at the engine's bound.
    std::vector<std::shared_ptr<QueueBudget::Account>> accounts;
    int64_t charged = 0;
    for (int i = 0; charged < 2 * QueueBudget::kEngineBytes; ++i)
    {
        accounts.push_back(budget.account("{\"src_uuid\":\"" + std::to_string(i) + "\""));
        if (!accounts.back()->charge(QueueBudget::kCameraBytes))
            break;
        charged += QueueBudget::kCameraBytes;
    }
    EXPECT_EQ(QueueBudget::kEngineBytes, charged);
    EXPECT_EQ(QueueBudget::kEngineBytes, budget.bytes());

    // What a camera that goes away still has charged leaves the engine's total with it.
    accounts.front().reset();
    EXPECT_EQ(QueueBudget::kEngineBytes - QueueBudget::kCameraBytes, budget.bytes());
}

} // namespace

//-------------------------------------------------------------------------------------------------
// Drop reports.

namespace {

/** Each step: seconds since the start, then a message or (with frame) a video frame. */
struct DropStep
{
    int seconds;
    bool frame = false;
};

} // namespace

TEST_F(DeviceAgentTest, DropsBeforeVideoAreReportedOnlyAfterAMinuteOfMessagesWithoutVideo)
{
    const struct
    {
        const char* name;
        std::vector<DropStep> steps;
        bool reported;
    } rows[] = {
        {"a minute less a second without video", {{0}, {30}, {59}}, false},
        {"a full minute without video", {{0}, {30}, {60}}, true},
        {"the few of the start, then video", {{0}, {1}, {2, true}, {61}}, false},
        {"video that never came for a minute, then came", {{0}, {61}, {62, true}}, true},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        const auto start = m_now;
        const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
        const Ptr<DeviceAgent> agent(new DeviceAgent(deviceInfo.get(),
            DeviceAgent::ReceiveThread::none, [this]() { return m_now; }));
        const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler());
        agent->setHandler(handler.get());
        for (const DropStep& step: row.steps)
        {
            m_now = start + std::chrono::seconds(step.seconds);
            if (step.frame)
            {
                const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(1000));
                ASSERT_TRUE(doPushDataPacket(agent.get(), frame.get()).isOk());
            }
            else
            {
                agent->receiveMessage(alarm("intrusion"));
            }
        }
        const auto events = handler->snapshot().diagnosticEvents;
        ASSERT_EQ(row.reported ? 1U : 0U, events.size());
        if (row.reported)
        {
            EXPECT_EQ("Messages dropped", events[0].caption);
            EXPECT_NE(std::string::npos,
                events[0].description.find("before the first video frame"));
        }
        // Every message is accounted for: dropped before video, or converted.
        const auto messages = std::count_if(row.steps.begin(), row.steps.end(),
            [](const DropStep& step) { return !step.frame; });
        const auto counts = agent->counters().snapshot("");
        EXPECT_EQ(static_cast<uint64_t>(messages), counts.received);
        EXPECT_EQ(counts.received, counts.drops[0] + counts.converted);
        m_now = start + std::chrono::hours(1);
    }
}

TEST_F(DeviceAgentTest, AgentMadeAnewForACameraRetoldThePreviousAgentsDrops)
{
    const RelayContext context = makeRelayContext();
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string("{") + kCameraId + "}"));
    // Each agent: one video frame, one message; the drops it reports.
    const auto reportsOf =
        [&](const std::string& message)
        {
            const Ptr<DeviceAgent> agent(new DeviceAgent(deviceInfo.get(), context,
                DeviceAgent::ReceiveThread::none, [this]() { return m_now; }));
            const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler());
            agent->setHandler(handler.get());
            const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(1000));
            EXPECT_TRUE(doPushDataPacket(agent.get(), frame.get()).isOk());
            agent->receiveMessage(message);
            return handler->snapshot().diagnosticEvents.size();
        };
    EXPECT_EQ(1U, reportsOf("{\"src_uuid\":"));
    EXPECT_EQ(0U, reportsOf(alarm("intrusion")));
}
