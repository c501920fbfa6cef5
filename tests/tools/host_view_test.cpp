// What skyloom-host makes of the plugin's packets, manifests and metrics file: expectations,
// counts, the plugin's counters, settings defaults, the packet lines and the SVG view.

#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "collector.h"
#include "expectations.h"
#include "host_options.h"
#include "metrics_text.h"
#include "packet_view.h"
#include "plugin_settings.h"
#include "svg_view.h"

namespace skyloom::host {
namespace {

using testhost::AttributeRecord;
using testhost::MetadataItemRecord;
using testhost::MetadataPacketRecord;
using Kind = MetadataPacketRecord::Kind;

MetadataItemRecord plateObject(const std::string& plate, nx::sdk::Rect box)
{
    MetadataItemRecord item;
    item.typeId = "skyloom.plugin.obj_lp";
    item.trackId[15] = 7;
    item.boundingBox = box;
    item.attributes.push_back({nx::sdk::IAttribute::Type::string, "caption", "LPR", 0.0F});
    if (!plate.empty())
        item.attributes.push_back({nx::sdk::IAttribute::Type::string, "plate", plate, 0.0F});
    return item;
}

MetadataPacketRecord packetOf(Kind kind, std::vector<MetadataItemRecord> items)
{
    MetadataPacketRecord packet;
    packet.kind = kind;
    packet.timestampUs = 1718269985771204;
    packet.durationUs = 1200000;
    packet.reportedCount = static_cast<int32_t>(items.size());
    packet.items = std::move(items);
    return packet;
}

TEST(Expectations, MatchKindTypeAttributesAndBox)
{
    const ParsedExpectations parsed = parseExpectations(R"([
        {"name": "plate", "kind": "object", "typeId": "skyloom.plugin.obj_lp",
         "attributes": {"plate": "12GA3456", "group": null}, "box": [0.1, 0.2, 0.3, 0.4]},
        {"kind": "event", "typeId": "skyloom.plugin.evt_lpr", "caption": "LPR", "minCount": 2}
    ])");
    ASSERT_TRUE(parsed.error.empty()) << parsed.error;
    ASSERT_EQ(parsed.expectations.size(), 2U);
    const Expectation& plate = parsed.expectations[0];
    EXPECT_EQ(parsed.expectations[1].name, "expectation 2");
    EXPECT_EQ(parsed.expectations[1].minCount, 2);

    MetadataItemRecord item = plateObject("12GA3456", {0.1F, 0.2F, 0.3F, 0.4F});
    EXPECT_TRUE(matches(plate, Kind::object, item));
    EXPECT_FALSE(matches(plate, Kind::event, item)) << "kind";
    item.boundingBox.x = 0.1009F;
    EXPECT_TRUE(matches(plate, Kind::object, item)) << "within 0.001";
    item.boundingBox.x = 0.102F;
    EXPECT_FALSE(matches(plate, Kind::object, item)) << "box";
    item.boundingBox.x = 0.1F;
    item.attributes.push_back({nx::sdk::IAttribute::Type::string, "group", "VIP", 0.0F});
    EXPECT_FALSE(matches(plate, Kind::object, item)) << "a null attribute must be absent";
    EXPECT_FALSE(matches(plate, Kind::object, plateObject("12GA3458", {0.1F, 0.2F, 0.3F, 0.4F})));
    EXPECT_FALSE(matches(plate, Kind::object, plateObject("", {0.1F, 0.2F, 0.3F, 0.4F})));
}

TEST(Expectations, BadFilesAreRefusedWithAReason)
{
    for (const char* text: {"{}", "[{\"kind\": \"thing\", \"typeId\": \"x\"}]",
        "[{\"kind\": \"object\"}]", "[{\"kind\": \"object\", \"typeId\": \"x\", \"box\": [1]}]",
        "not json"})
    {
        const ParsedExpectations parsed = parseExpectations(text);
        EXPECT_FALSE(parsed.error.empty()) << text;
        EXPECT_TRUE(parsed.expectations.empty());
    }
}

TEST(Collector, CountsPerCameraAndReportsUnmetExpectations)
{
    Expectation plate;
    plate.name = "a plate";
    plate.typeId = "skyloom.plugin.obj_lp";
    plate.attributes = {{"plate", std::string("12GA3456")}};
    Collector collector({"{cam-1}", "{cam-2}"}, {plate});

    collector.addPacket(0, packetOf(Kind::object, {plateObject("12GA3456", {0, 0, 1, 1})}));
    collector.addPacket(0, packetOf(Kind::object, {}));
    MetadataItemRecord event;
    event.typeId = "skyloom.plugin.evt_lpr";
    event.caption = "LPR";
    collector.addPacket(1, packetOf(Kind::event, {event}));
    collector.addPacket(9, packetOf(Kind::event, {event})); //< no such camera: ignored

    const RunStats stats = collector.snapshot();
    ASSERT_EQ(stats.cameras.size(), 2U);
    EXPECT_EQ(stats.cameras[0].packets, 2);
    EXPECT_EQ(stats.cameras[0].objectPackets, 2);
    EXPECT_EQ(stats.cameras[0].emptyObjectPackets, 1);
    EXPECT_EQ(stats.cameras[0].objects, 1);
    EXPECT_EQ(stats.cameras[0].itemsByType.at("skyloom.plugin.obj_lp"), 1);
    EXPECT_EQ(stats.cameras[0].latestObjects.size(), 1U);
    EXPECT_EQ(stats.cameras[1].events, 1);

    const std::vector<std::string> unmet = unmetExpectations(stats, collector.expectations());
    ASSERT_EQ(unmet.size(), 1U);
    EXPECT_EQ(unmet[0], "camera 2: a plate (got 0 of 1)");

    const std::string summary = summaryText(stats);
    EXPECT_NE(summary.find("{cam-1}"), std::string::npos);
    EXPECT_NE(summary.find("skyloom.plugin.evt_lpr"), std::string::npos);
}

TEST(Collector, KeepsTheLatestObjectPerTrackWithinItsLimit)
{
    Collector collector({"{cam}"}, {});
    for (int i = 0; i < static_cast<int>(Collector::kMaxLatestObjects) + 10; ++i)
    {
        MetadataItemRecord item = plateObject(std::to_string(i), {0, 0, 1, 1});
        item.trackId[15] = static_cast<uint8_t>(i);
        collector.addPacket(0, packetOf(Kind::object, {item}));
    }
    collector.addPacket(0, packetOf(Kind::object, {plateObject("again", {0, 0, 1, 1})}));
    const CameraStats camera = collector.snapshot().cameras[0];
    EXPECT_EQ(camera.latestObjects.size(), Collector::kMaxLatestObjects);
    nx::sdk::Uuid track7;
    track7[15] = 7;
    ASSERT_EQ(camera.latestObjects.count(track7), 1U) << "track 7 came back, so it stays";
    EXPECT_EQ(camera.latestObjects.at(track7).item.attribute("plate")->value, "again");
    nx::sdk::Uuid track8;
    track8[15] = 8;
    EXPECT_EQ(camera.latestObjects.count(track8), 0U) << "the oldest tracks went";
}

TEST(MetricsText, ReadsThePluginsCountersWithEscapedLabels)
{
    const ReadCounters read = countersFromMetrics(
        "# HELP skyloom_engine_messages_received_total Messages \\\\ from\\n the AI engine.\n"
        "# TYPE skyloom_engine_messages_received_total counter\n"
        "skyloom_engine_messages_received_total 12\n"
        "skyloom_engine_received_bytes_total{engine=\"{e1}\"} 3456\n"
        "# a plain comment\n"
        "\n"
        "skyloom_engine_ai_engines_connected{engine=\"{e1}\"} 1\n"
        "skyloom_engine_refused_peers_total 3 1718269985771\n"
        "skyloom_engine_some_later_metric{x=\"y\"} 0.5\n"
        "skyloom_camera_messages_received_total{camera=\"8f12\"} 9\n"
        "skyloom_camera_messages_dropped_total { camera = \"8f12\" , reason = \"not_json\" , } 2\n"
        "skyloom_camera_messages_dropped_total{reason=\"malformed\",camera=\"a\\\"b\\\\c\\nd\"} 1\n"
        "skyloom_camera_packets_pushed_total{engine=\"{e1}\",camera=\"8f12\",kind=\"event\"} 4e0\n"
        "skyloom_camera_last_message_timestamp_seconds{camera=\"8f12\"} 1718269985.771\n"
        "# TYPE skyloom_camera_engine_delay_seconds histogram\n"
        "skyloom_camera_engine_delay_seconds_bucket{camera=\"8f12\",le=\"+Inf\"} 3\n"
        "skyloom_camera_engine_delay_seconds_count{camera=\"8f12\"} 3\n"
        "skyloom_camera_engine_delay_median_seconds{camera=\"8f12\"} 0.2\n"
        "skyloom_camera_engine_delay_p95_seconds{camera=\"8f12\"} 0.28\n"
        "skyloom_camera_engine_delay_state{camera=\"8f12\",state=\"measured\"} 1\n"
        "skyloom_camera_engine_delay_state{camera=\"8f12\",state=\"other_clock\"} 0\n"
        "skyloom_camera_engine_delay_state{camera=\"other\",state=\"measured\"} 0\n"
        "skyloom_camera_engine_delay_state{camera=\"other\",state=\"other_clock\"} 1\n"
        "skyloom_camera_messages_without_engine_time_total{camera=\"8f12\"} 5\n"
        "skyloom_camera_engine_time_outside_frame_history_total{camera=\"8f12\"} 6\n");
    ASSERT_TRUE(read.counters) << read.error;
    const PluginCounters& counters = *read.counters;
    EXPECT_EQ(counters.engine.received, 12);
    EXPECT_EQ(counters.engine.receivedBytes, 3456);
    EXPECT_EQ(counters.engine.aiEnginesConnected, 1);
    EXPECT_EQ(counters.engine.refusedPeers, 3);
    const CameraCounts& camera = counters.cameras.at("8f12");
    EXPECT_EQ(camera.received, 9);
    EXPECT_EQ(camera.eventPackets, 4);
    EXPECT_DOUBLE_EQ(camera.lastMessageS, 1718269985.771);
    EXPECT_EQ(camera.drops, (std::map<std::string, int64_t>{{"not_json", 2}}));
    EXPECT_EQ(camera.engineDelayMedianS, 0.2);
    EXPECT_EQ(camera.engineDelayP95S, 0.28);
    EXPECT_EQ(camera.withoutEngineTime, 5);
    EXPECT_EQ(camera.outsideFrameHistory, 6);
    EXPECT_EQ(counters.cameras.at("a\"b\\c\nd").drops.at("malformed"), 1);

    const std::string text = countersText(counters, {"{8f12}", "{other}"});
    EXPECT_NE(text.find("1           9         0        0       4  not_json 2\n"),
        std::string::npos) << text;
    EXPECT_NE(text.find("2           0         0        0       0  -\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("cam 1 AI engine delay: median 200 ms, 95th percentile 280 ms; 5 "
        "messages without engine time, 6 outside the frame history\n"), std::string::npos) << text;
    // Frame times from another clock give no figure, only why (regression: a median of 78469746683
    // ms was told as the delay).
    EXPECT_NE(text.find("cam 2 AI engine delay: not measurable (other_clock: the AI engine's frame"
        " times are on another clock than the video's); 0 messages without engine time"),
        std::string::npos) << text;
    EXPECT_EQ(counters.cameras.at("other").engineDelayMedianS, std::nullopt);
    EXPECT_NE(text.find("engine: 12 messages received (3456 bytes at the service port)"),
        std::string::npos) << text;
}

// Regression: -q's progress said "the plugin had received 0 messages at its latest metrics"
// while packets arrived, from a file 15 s old; the count now says how old it is.
TEST(MetricsText, ReceivedCountSaysHowOldItIs)
{
    const std::string text = "skyloom_engine_metrics_written_timestamp_seconds{engine=\"e1\"} "
        "1718269985.771\n"
        "skyloom_engine_messages_received_total{engine=\"e1\"} 0\n"
        "skyloom_engine_refused_peers_total{engine=\"e1\",reason=\"unknown_key\"} 2\n"
        "skyloom_engine_refused_peers_total{engine=\"e1\",reason=\"other\"} 1\n";
    const ReadCounters read = countersFromMetrics(text);
    ASSERT_TRUE(read.counters) << read.error;
    EXPECT_EQ(read.counters->engine.refusedPeers, 3) << "the reasons add up";
    EXPECT_EQ(receivedText(*read.counters, 1718269985.771 + 14.6),
        "the plugin had received 0 messages by its metrics of 15 s ago");
    EXPECT_EQ(receivedText(*read.counters, 1718269985.0),
        "the plugin had received 0 messages by its metrics of 0 s ago");
    const ReadCounters undated = countersFromMetrics(text.substr(text.find('\n') + 1));
    ASSERT_TRUE(undated.counters) << undated.error;
    EXPECT_EQ(receivedText(*undated.counters, 1718269985.0),
        "the plugin had received 0 messages by its metrics (of an unknown time)");
}

TEST(MetricsText, RefusesTextsThatAreNotThePluginsCounters)
{
    const std::string engine = "skyloom_engine_messages_received_total 1\n";
    const std::vector<std::pair<std::string, const char*>> rows{
        {engine.substr(0, engine.size() - 1), "does not end with a line feed"},
        {"", "not the plugin's metrics"},
        {"skyloom_engine_messages_relayed_total 1\n", "not the plugin's metrics"},
        {engine + engine, "line 2: a second sample of the same series"},
        {engine + "# TYPE skyloom_engine_messages_received_total counter\n",
            "line 2: the TYPE line of skyloom_engine_messages_received_total comes after"},
        {"# TYPE x counter\n# TYPE x gauge\n" + engine, "line 2: a second TYPE line"},
        {"# TYPE x countr\n" + engine, "line 1: bad TYPE line"},
        {"# HELP x a \\t\n" + engine, "bad escape in the HELP text"},
        {engine + "skyloom_engine_messages_relayed_total 0x10\n", "line 2: bad value '0x10'"},
        {engine + "skyloom_engine_messages_relayed_total 1,5\n", "bad value"},
        {engine + "skyloom_engine_messages_relayed_total\n", "a blank before the value"},
        {engine + "skyloom_engine_messages_relayed_total 1 2 3\n", "text after the value"},
        {engine + "skyloom_engine_messages_relayed_total 1.5\n", "not a whole count"},
        {engine + "skyloom_engine_messages_relayed_total -1\n", "not a whole count"},
        {engine + "skyloom_engine_messages_relayed_total NaN\n", "not a whole count"},
        {engine + "skyloom_engine_messages_relayed_total 1\r\n", "carriage return"},
        {engine + "1skyloom 1\n", "expected a metric name"},
        {engine + "skyloom_engine_messages_relayed_total{camera=\"a\"} 1\n", "has labels"},
        {engine + "x{a=\"b\\t\"} 1\n", "bad escape in a label value"},
        {engine + "x{a=\"b} 1\n", "label value not closed"},
        {engine + "x{a=\"b\",a=\"c\"} 1\n", "the label a twice"},
        {engine + "x{a=\"b\" 1\n", "expected ',' or '}'"},
        {engine + "x{a:b=\"c\"} 1\n", "expected '='"},
        {engine + "skyloom_camera_messages_received_total 1\n", "expected the labels camera"},
        {engine + "skyloom_camera_messages_dropped_total{camera=\"c\"} 1\n",
            "expected the labels camera and reason"},
        {engine + "skyloom_camera_packets_pushed_total{camera=\"c\",kind=\"x\"} 1\n",
            "unknown kind \"x\""},
        {engine + "skyloom_camera_engine_delay_median_seconds{camera=\"c\"} NaN\n",
            "is not a number of seconds"},
        {engine + "skyloom_camera_engine_delay_state{camera=\"c\"} 1\n",
            "expected the labels camera and state"},
    };
    for (const auto& [text, errorPart]: rows)
    {
        const ReadCounters read = countersFromMetrics(text);
        EXPECT_FALSE(read.counters) << text;
        EXPECT_NE(read.error.find(errorPart), std::string::npos) << text << "\n" << read.error;
    }
}

TEST(CameraIds, TheSubscriptionPrefixNamesTheIdWithoutBraces)
{
    EXPECT_EQ(subscriptionPrefix("{8f120e8a-2ced-c84a-aa40-59a59f563488}"),
        "{\"src_uuid\":\"8f120e8a-2ced-c84a-aa40-59a59f563488\"");
    EXPECT_EQ(unbracedCameraId("cam-1"), "cam-1");
}

TEST(PluginSettings, DefaultsComeFromTheModelAsTheServerSendsThem)
{
    const std::string manifest = R"({
        "deviceAgentSettingsModel": {"type": "Settings", "items": [
            {"type": "GroupBox", "items": [
                {"type": "CheckBox", "name": "showCounter", "defaultValue": true, "value": false},
                {"type": "CheckBox", "name": "enableMetadata", "defaultValue": false},
                {"type": "Separator"},
                {"type": "SpinBox", "name": "timeCorrection", "defaultValue": -200},
                {"type": "TextField", "name": "label", "defaultValue": "a b"}]}],
            "sections": [{"type": "Section", "items": [{"type": "Repeater", "template":
                {"type": "PolygonFigure", "name": "polygon#.figure", "defaultValue": 1}}]}]},
        "engineSettingsModel": {"items": [{"name": "ServicePort", "defaultValue": 9911}]}
    })";
    const SettingsMap defaults = settingDefaults(manifest, "deviceAgentSettingsModel");
    EXPECT_EQ(defaults, (SettingsMap{{"showCounter", "true"}, {"enableMetadata", "false"},
        {"timeCorrection", "-200"}, {"label", "a b"}}));
    EXPECT_EQ(settingDefaults(manifest, "engineSettingsModel"),
        (SettingsMap{{"ServicePort", "9911"}}));
    EXPECT_TRUE(settingDefaults("not json", "engineSettingsModel").empty());

    EXPECT_EQ(mergedSettings(defaults, {{"enableMetadata", "true"}, {"extra", "1"}}).at(
        "enableMetadata"), "true");
    EXPECT_EQ(manifestSummary(R"({"eventTypes":[{},{}],"objectTypes":[{}]})"),
        "2 event types, 1 object types");
}

TEST(PacketView, ShowsTrackIdsBoxesAndAttributes)
{
    nx::sdk::Uuid uuid;
    for (int i = 0; i < 16; ++i)
        uuid[i] = static_cast<uint8_t>(0xA0 + i);
    EXPECT_EQ(uuidText(uuid), "{A0A1A2A3-A4A5-A6A7-A8A9-AAABACADAEAF}");
    EXPECT_EQ(shortTrackId(uuid), "A0A1A2A3..ACADAEAF");
    EXPECT_EQ(shortTypeName("skyloom.plugin.obj_lp"), "lp");
    EXPECT_EQ(shortTypeName("skyloom.plugin.evt_fire"), "fire");
    EXPECT_EQ(shortTypeName("plain"), "plain");

    const PacketEvent event{2, "{cam}", packetOf(Kind::object,
        {plateObject("12\"GA", {0.25F, 0.5F, 0.125F, 0.0625F})})};
    const std::string line = packetLine(event);
    EXPECT_NE(line.find(" cam2 object skyloom.plugin.obj_lp track "), std::string::npos) << line;
    EXPECT_NE(line.find("box 0.2500,0.5000 0.1250x0.0625"), std::string::npos) << line;
    EXPECT_NE(line.find("plate=\"12\\\"GA\""), std::string::npos) << line;

    const nlohmann::json json = nlohmann::json::parse(packetJsonLine(event));
    EXPECT_EQ(json["camera"], 2);
    EXPECT_EQ(json["kind"], "object");
    EXPECT_EQ(json["timestampUs"], 1718269985771204);
    EXPECT_EQ(json["items"][0]["box"][2], 0.125);
    EXPECT_EQ(json["items"][0]["attributes"][1]["value"], "12\"GA");

    EXPECT_NE(packetLine(PacketEvent{1, "{cam}", packetOf(Kind::object, {})}).find("(no items)"),
        std::string::npos);
}

TEST(SvgView, DrawsEachTrackWhereTheServerWouldAndEscapesTexts)
{
    Collector collector({"{cam}"}, {});
    collector.addPacket(0, packetOf(Kind::object,
        {plateObject("<A&B>", {0.25F, 0.5F, 0.125F, 0.25F})}));
    MetadataItemRecord event;
    event.typeId = "skyloom.plugin.evt_lpr";
    event.caption = "Gate \"1\"";
    collector.addPacket(0, packetOf(Kind::event, {event}));
    const std::string svg = renderCameraSvg(1, collector.snapshot().cameras[0]);

    EXPECT_NE(svg.find("viewBox=\"0 0 1280 "), std::string::npos);
    EXPECT_NE(svg.find("<rect x=\"320.0\" y=\"360.0\" width=\"160.0\" height=\"180.0\""),
        std::string::npos) << svg;
    EXPECT_NE(svg.find("lp LPR &lt;A&amp;B&gt;"), std::string::npos) << svg;
    EXPECT_NE(svg.find("Gate &quot;1&quot;"), std::string::npos) << svg;
    EXPECT_EQ(svg.find("<A&B>"), std::string::npos);
    EXPECT_EQ(xmlEscaped(std::string("a\x01'b")), "a&apos;b");
}

// The counter's label, at the frame's top edge, was drawn over the camera's line; the latest
// events had no times.
TEST(SvgView, CounterLabelCoveredTheHeaderAndEventsHadNoTime)
{
    Collector collector({"{cam}"}, {});
    MetadataItemRecord counter;
    counter.typeId = "skyloom.plugin.obj_counter";
    counter.boundingBox = {0.05F, 0.05F, 0.001F, 0.001F};
    counter.attributes.push_back({nx::sdk::IAttribute::Type::number, "Occupancy", "12", 0.0F});
    collector.addPacket(0, packetOf(Kind::object, {counter}));
    MetadataItemRecord event;
    event.typeId = "skyloom.plugin.evt_lpr";
    event.caption = "Gate";
    collector.addPacket(0, packetOf(Kind::event, {event}));
    const std::string svg = renderCameraSvg(1, collector.snapshot().cameras[0]);

    // The camera's line above the frame, the counter's label inside it.
    const size_t header = svg.find("<text x=\"10\" y=\"26\"");
    const size_t frame = svg.find("<g transform=\"translate(0,36)\">");
    const size_t label = svg.find(">counter Occupancy=12</text>");
    ASSERT_NE(header, std::string::npos) << svg;
    ASSERT_NE(label, std::string::npos) << svg;
    EXPECT_LT(header, frame);
    EXPECT_LT(frame, label);
    EXPECT_LT(label, svg.find("</g>\n  <text"));
    EXPECT_NE(svg.find(">" + clockText(1718269985771204) + " Gate (skyloom.plugin.evt_lpr)</text>"),
        std::string::npos) << svg;
}

} // namespace
} // namespace skyloom::host
