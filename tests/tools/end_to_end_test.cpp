// The whole road on loopback, as ./dev.sh demo runs it: skyloom-host loads the built plugin with
// two cameras, skyloom-publish sends the sample set to both, twice, and one message for a
// camera that does not exist. The host must see every expected packet, report the plugin's
// counts of them and of the stray message, stamp packets with its own frame times and find every
// plugin object released. The host must also work in a read-only directory. And the field road:
// what skyloom-capture records from a running plugin replays at its recorded pace into a second
// run with the same packets; and skyloom-capture records the private diagnostic copy of a server
// run by an ordinary user as that user, while another user is told whose it is. And a site's
// AI engine: skyloom-publish connected to three servers at once, each of which receives only its
// own camera's messages, once.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <skyloom/testhost/test_ports.h>

#include "process.h"

namespace skyloom::tools_test {
namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

const std::string kPublish = SKYLOOM_PUBLISH_BIN;
const std::string kCapture = SKYLOOM_CAPTURE_BIN;
const std::string kHost = SKYLOOM_HOST_BIN;
const std::string kPlugin = SKYLOOM_PLUGIN_LIB;
const std::string kExpectations = SKYLOOM_DEMO_EXPECTATIONS;

// Ports of this test process: not the default 9911, so that a server or demo on this machine is
// not disturbed, and not another test's.
const std::string kPort = testhost::testPortText(0);
const std::string kCamera1 = "{8f120e8a-2ced-c84a-aa40-59a59f563488}";
const std::string kCamera2 = "{8f120e8b-2ced-c84a-aa40-59a59f563488}";
const std::string kCamera3 = "{8f120e8c-2ced-c84a-aa40-59a59f563488}";

int64_t nowUs()
{
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

bool waitForText(const std::string& path, const std::string& text, pid_t pid, seconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline)
    {
        if (readFile(path).find(text) != std::string::npos)
            return true;
        if (kill(pid, 0) != 0)
            return false;
        std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
}

std::vector<nlohmann::json> jsonLines(const std::string& text)
{
    std::vector<nlohmann::json> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

/** The track id of the first object of this camera with this box corner. */
std::string trackIdAt(const std::vector<nlohmann::json>& packets, int camera, float x)
{
    for (const nlohmann::json& packet: packets)
    {
        if (!packet.contains("kind") || packet["kind"] != "object" || packet["camera"] != camera)
            continue;
        for (const nlohmann::json& item: packet["items"])
        {
            if (std::abs(item["box"][0].get<float>() - x) < 0.001F)
                return item["trackId"];
        }
    }
    return {};
}

TEST(EndToEnd, SampleMessagesReachBothCamerasThroughThePlugin)
{
    std::ofstream("stray.jsonl")
        << R"({"src_uuid":"00000000-0000-0000-0000-000000000000","event":{}})" << "\n";
    // Left from an earlier run, an old ready line would be seen before the child truncates it.
    std::remove("host.out");
    std::remove("host.err");
    const int64_t startUs = nowUs();
    const pid_t host = spawn({kHost, kPlugin, "--port", kPort, "--camera", kCamera1,
        "--camera", kCamera2, "--json", "--duration", "60", "--expect", kExpectations},
        "host.out", "host.err");
    ASSERT_TRUE(waitForText("host.err", "skyloom-host: ready", host, seconds(20)))
        << readFile("host.err");

    const Finished samples = run({kPublish, "--port", kPort, "--camera", kCamera1,
        "--camera", kCamera2, "--loop", "--count", "24", "--rate", "20", "--quiet", "--samples"});
    EXPECT_EQ(samples.status, 0) << samples.err;
    EXPECT_NE(samples.out.find("sent 24 messages"), std::string::npos) << samples.out;
    const Finished stray = run({kPublish, "--port", kPort, "stray.jsonl", "--quiet"});
    EXPECT_EQ(stray.status, 0) << stray.err;

    std::this_thread::sleep_for(seconds(1)); //< the last packets are on their way
    kill(host, SIGINT);
    const int hostStatus = waitFor(host, seconds(20));
    const int64_t endUs = nowUs();
    const std::string err = readFile("host.err");
    EXPECT_EQ(hostStatus, 0) << err;
    EXPECT_NE(err.find("engine diagnostic (info): Listening for the AI engine"),
        std::string::npos) << "levels are words: " << err;

    const std::vector<nlohmann::json> lines = jsonLines(readFile("host.out"));
    ASSERT_FALSE(lines.empty());
    const nlohmann::json summary = lines.back().at("summary");
    EXPECT_TRUE(summary["unmetExpectations"].empty()) << summary.dump();
    EXPECT_TRUE(summary["registry"]["balanced"].get<bool>()) << summary["registry"].dump();
    ASSERT_TRUE(summary["engine"].is_object()) << summary["countersError"];
    EXPECT_GE(summary["engine"]["noCamera"].get<int>(), 1) << summary["engine"];
    // Every message that reached the service port, with its bytes.
    EXPECT_GE(summary["engine"]["received"].get<int>(), 25) << summary["engine"];
    EXPECT_GT(summary["engine"]["receivedBytes"].get<int64_t>(),
        100 * summary["engine"]["received"].get<int64_t>()) << summary["engine"];

    const std::vector<nlohmann::json> packets(lines.begin(), lines.end() - 1);
    std::map<int, int> packetsPerCamera;
    for (const nlohmann::json& packet: packets)
    {
        const int camera = packet["camera"];
        ++packetsPerCamera[camera];
        EXPECT_EQ(packet["cameraId"], camera == 1 ? kCamera1 : kCamera2);
        // Stamped with the host's frame times (wall clock, no correction), not the messages'.
        EXPECT_GE(packet["timestampUs"].get<int64_t>(), startUs);
        EXPECT_LE(packet["timestampUs"].get<int64_t>(), endUs);
    }
    // Per camera and round: 1 meta, 2 occupancy, 2 face recognition, 3 x 2 plate packets.
    EXPECT_GE(packetsPerCamera[1], 22);
    EXPECT_GE(packetsPerCamera[2], 22);
    for (const nlohmann::json& camera: summary["cameras"])
    {
        // 24 sends, each camera in turn; the publisher sent only once the plugin subscribed.
        EXPECT_EQ(camera["counters"]["received"], 12) << camera;
        EXPECT_EQ(camera["counters"]["drops"].count("before_video"), 0U)
            << "frames flow before the relay binds: " << camera;
    }

    // The face detection and the face-recognition alarm name the same track (13003).
    for (const int camera: {1, 2})
    {
        const std::string fromAlarm = trackIdAt(packets, camera, 0.39115F);
        const std::string fromDetection = trackIdAt(packets, camera, 0.19531F);
        EXPECT_FALSE(fromAlarm.empty());
        EXPECT_EQ(fromAlarm, fromDetection) << "camera " << camera;
    }
    EXPECT_NE(trackIdAt(packets, 1, 0.39115F), trackIdAt(packets, 2, 0.39115F))
        << "each camera has its own track ids";
}

// skyloom-host ran on the default port and exited 0 when the plugin refused the port it was
// given; the same for any other engine setting.
TEST(EndToEnd, HostRanOnSettingsThePluginRefused)
{
    const std::vector<std::vector<std::string>> refused{
        {"--port", "80"},
        {"--port", testhost::testPortText(1), "--engine-set", "AllowedEngineAddresses=10.0.0.0/99"},
    };
    for (const std::vector<std::string>& settings: refused)
    {
        std::vector<std::string> argv{kHost, kPlugin, "--duration", "30"};
        argv.insert(argv.end(), settings.begin(), settings.end());
        const Finished finished = run(argv, seconds(60));
        EXPECT_EQ(finished.status, 2) << finished.err;
        EXPECT_NE(finished.err.find("skyloom-host: the plugin refused "), std::string::npos)
            << finished.err;
        EXPECT_EQ(finished.err.find("skyloom-host: ready"), std::string::npos) << finished.err;
    }
}

// skyloom-host once took itself for ready when the plugin's log file showed the bind of the
// service port, and so waited in vain where the plugin cannot write its log. Read-only for root
// too: the directory is mounted read-only in a mount namespace of the host's own (unshare -m;
// with -r, a user namespace, when not root). Without unshare a non-root run takes mode 0555,
// and a root run is skipped (root writes whatever the mode).
TEST(EndToEnd, HostInAReadOnlyDirectoryGetsReadyAndCountsAMalformedMessage)
{
    namespace fs = std::filesystem;
    const std::string dir = fs::absolute("read-only").string();
    fs::remove_all(dir);
    fs::create_directory(dir);
    const std::string unshare = geteuid() == 0 ? "unshare -m" : "unshare -rm";
    std::string wrapper;
    if (run({"/bin/sh", "-c", unshare + " true"}).status == 0)
    {
        wrapper = unshare + " sh -c 'mount --bind \"$0\" \"$0\" && "
            "mount -o remount,bind,ro \"$0\" \"$0\" && exec \"$@\"' \"" + dir + "\" ";
    }
    else if (geteuid() != 0)
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
    else
        GTEST_SKIP() << "root without unshare: no way to make a directory read-only";

    // The probe shows that the directory really is read-only where the host runs.
    const std::string script = "cd '" + dir + "' && if touch probe 2>/dev/null; then exit 97; fi"
        " && exec '" + kHost + "' '" + kPlugin + "' --port " + testhost::testPortText(2) + " --camera '" + kCamera1
        + "' --json --duration 60";
    std::remove("read-only.out");
    std::remove("read-only.err");
    const pid_t host = spawn({"/bin/sh", "-c", "exec " + wrapper + "sh -c \"" + script + "\""},
        "read-only.out", "read-only.err");
    ASSERT_TRUE(waitForText("read-only.err", "skyloom-host: ready", host, seconds(20)))
        << "status " << waitFor(host, seconds(1)) << ": " << readFile("read-only.err");

    std::ofstream("malformed.jsonl") << "{\"src_uuid\":\"" << kCamera1.substr(1, 36)
        << "\",\"meta\":{\"metadata\":\n";
    const Finished published =
        run({kPublish, "--port", testhost::testPortText(2), "--no-check", "--quiet", "malformed.jsonl"});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_NE(published.out.find("sent 1 message (0 not sent)"), std::string::npos)
        << published.out;

    std::this_thread::sleep_for(seconds(1)); //< the message is on its way to the camera
    kill(host, SIGINT);
    EXPECT_EQ(waitFor(host, seconds(20)), 0) << readFile("read-only.err");
    EXPECT_FALSE(fs::exists(dir + "/log_skyloom_0.log")) << "the directory was writable";
    const std::vector<nlohmann::json> lines = jsonLines(readFile("read-only.out"));
    ASSERT_FALSE(lines.empty());
    const nlohmann::json summary = lines.back().at("summary");
    ASSERT_TRUE(summary["cameras"][0]["counters"].is_object()) << summary.dump();
    const nlohmann::json drops = summary["cameras"][0]["counters"]["drops"];
    EXPECT_EQ(drops.value("not_json", 0) + drops.value("malformed", 0), 1) << drops;
    const std::string err = readFile("read-only.err");
    EXPECT_TRUE(err.find("  not_json 1\n") != std::string::npos
        || err.find("  malformed 1\n") != std::string::npos) << "the text summary names the drop";
    fs::permissions(dir, fs::perms::owner_all);
}

/** A host with one camera, ready for messages; its packets go to `name`.out as JSON Lines. */
pid_t startHost(const std::string& name)
{
    std::remove((name + ".out").c_str());
    std::remove((name + ".err").c_str());
    const pid_t host = spawn({kHost, kPlugin, "--port", kPort, "--camera", kCamera1, "--json",
        "--duration", "60"}, name + ".out", name + ".err");
    EXPECT_TRUE(waitForText(name + ".err", "skyloom-host: ready", host, seconds(20)))
        << readFile(name + ".err");
    return host;
}

/** The host's packets, without the final summary line. */
std::vector<nlohmann::json> stopHost(pid_t host, const std::string& name)
{
    kill(host, SIGINT);
    EXPECT_EQ(waitFor(host, seconds(20)), 0) << readFile(name + ".err");
    std::vector<nlohmann::json> lines = jsonLines(readFile(name + ".out"));
    if (!lines.empty())
        lines.pop_back();
    return lines;
}

/** What a packet says apart from its times and the track-id base of the run. */
nlohmann::json withoutRunDetails(nlohmann::json packet)
{
    packet.erase("timestampUs");
    packet.erase("time");
    for (nlohmann::json& item: packet["items"])
    {
        // The last 8 hex digits carry the engine's track id; the counter's id is all random.
        const std::string trackId = item.value("trackId", "");
        item["trackId"] = item["typeId"] == "skyloom.plugin.obj_counter" || trackId.size() < 10
            ? "" : trackId.substr(trackId.size() - 9);
    }
    return packet;
}

std::vector<int64_t> receiveTimes(const std::string& capturePath)
{
    std::vector<int64_t> times;
    for (const nlohmann::json& line: jsonLines(readFile(capturePath)))
        times.push_back(line.at("receivedUs").get<int64_t>());
    return times;
}

TEST(EndToEnd, CaptureFromARunningPluginReplaysAtItsPaceIntoTheSamePackets)
{
    constexpr int kMessages = 9;
    const std::string count = std::to_string(kMessages);
    const pid_t firstHost = startHost("first");
    const pid_t firstCapture = spawn({kCapture, "--count", count, "--duration", "30", "-q",
        "recorded.jsonl"}, "capture1.out", "capture1.err");
    std::this_thread::sleep_for(milliseconds(500)); //< the relay subscription settles
    // Uneven spacing: six messages 100 ms apart, a pause, three 250 ms apart.
    EXPECT_EQ(
        run({kPublish, "--port", kPort, "--rate", "10", "--settle-ms", "300", "-q", "--samples"})
            .status, 0);
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_EQ(run({kPublish, "--port", kPort, "--rate", "4", "--count", "3", "--settle-ms", "300",
        "-q", "--samples"}).status, 0);
    EXPECT_EQ(waitFor(firstCapture, seconds(30)), 0) << readFile("capture1.err");
    const std::vector<nlohmann::json> recordedPackets = stopHost(firstHost, "first");

    // --check runs the agent with the settings the server sends: the manifest's defaults.
    const std::string hostErr = readFile("first.err");
    const size_t settings = hostErr.find("per-camera settings: ");
    ASSERT_NE(settings, std::string::npos) << hostErr;
    const std::string hostSettings = hostErr.substr(settings + 21,
        hostErr.find('\n', settings) - settings - 21);
    const Finished check = run({kPublish, "--check", "recorded.jsonl"});
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find("settings: " + hostSettings + "\n"), std::string::npos)
        << hostSettings << "\n" << check.out;

    const pid_t secondHost = startHost("second");
    const pid_t secondCapture = spawn({kCapture, "--count", count, "--duration", "30", "-q",
        "replayed.jsonl"}, "capture2.out", "capture2.err");
    std::this_thread::sleep_for(milliseconds(500));
    const Finished replay = run({kPublish, "--port", kPort, "--pace", "recorded", "--settle-ms",
        "300", "-q", "recorded.jsonl"});
    EXPECT_EQ(replay.status, 0) << replay.err;
    EXPECT_EQ(waitFor(secondCapture, seconds(30)), 0) << readFile("capture2.err");
    const std::vector<nlohmann::json> replayedPackets = stopHost(secondHost, "second");

    ASSERT_EQ(recordedPackets.size(), replayedPackets.size());
    EXPECT_GE(recordedPackets.size(), 10U);
    for (size_t i = 0; i < recordedPackets.size(); ++i)
    {
        EXPECT_EQ(withoutRunDetails(recordedPackets[i]), withoutRunDetails(replayedPackets[i]))
            << "packet " << i;
    }

    const std::vector<int64_t> recorded = receiveTimes("recorded.jsonl");
    const std::vector<int64_t> replayed = receiveTimes("replayed.jsonl");
    ASSERT_EQ(recorded.size(), static_cast<size_t>(kMessages));
    ASSERT_EQ(replayed.size(), static_cast<size_t>(kMessages));
    for (size_t i = 1; i < recorded.size(); ++i)
    {
        const int64_t recordedGapUs = recorded[i] - recorded[i - 1];
        const int64_t replayedGapUs = replayed[i] - replayed[i - 1];
        // 10 ms, or a fifth of the gap: a loaded machine (a sanitizer build beside other tests)
        // delays a message by tens of milliseconds now and then; a replay that ignored the
        // recorded pace would be off by the whole gap.
        const int64_t allowedUs = std::max<int64_t>(10000, recordedGapUs / 5);
        EXPECT_LE(std::abs(replayedGapUs - recordedGapUs), allowedUs)
            << "gap " << i << ": recorded " << recordedGapUs << " us, replayed " << replayedGapUs;
    }
}

// Regression: the built-in samples name frame times of 2024, and the summary told a delay of
// 78469746683 ms. Times from another clock give no delay, and the summary says why.
TEST(EndToEnd, FrameTimesFromAnotherClockGiveNoDelay)
{
    const pid_t host = startHost("other-clock");
    const Finished published = run({kPublish, "--port", kPort, "--camera", kCamera1, "--samples",
        "--loop", "--count", "30", "--rate", "30", "--quiet"});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_TRUE(waitForText("other-clock.out", "timestampUs", host, seconds(20)));
    (void) stopHost(host, "other-clock");

    const std::vector<nlohmann::json> lines = jsonLines(readFile("other-clock.out"));
    ASSERT_FALSE(lines.empty());
    const nlohmann::json camera = lines.back().at("summary").at("cameras").at(0);
    EXPECT_TRUE(camera.at("counters").at("engineDelayMedianS").is_null()) << camera.dump();
    EXPECT_EQ(camera["counters"]["engineDelayState"], "other_clock") << camera.dump();
}

// The delay as the operator sees it: messages stamped as an engine 200 ms late give the host's
// summary that delay, and the plugin's advice to correct it.
TEST(EndToEnd, StampedMessagesGiveTheSummaryTheEngineDelayAndTheAdvice)
{
    const pid_t host = startHost("stamped");
    const Finished published = run({kPublish, "--port", kPort, "--camera", kCamera1, "--samples",
        "--loop", "--count", "60", "--rate", "30", "--stamp-delay", "200", "--quiet"});
    EXPECT_EQ(published.status, 0) << published.err;
    std::this_thread::sleep_for(seconds(2)); //< the agent looks at its delays once a second
    (void) stopHost(host, "stamped");

    const std::vector<nlohmann::json> lines = jsonLines(readFile("stamped.out"));
    ASSERT_FALSE(lines.empty());
    const nlohmann::json camera = lines.back().at("summary").at("cameras").at(0);
    ASSERT_TRUE(camera.at("counters").at("engineDelayMedianS").is_number()) << camera.dump();
    // 200 ms less the part of a frame since the latest one, plus the way through the plugin.
    const double medianS = camera["counters"]["engineDelayMedianS"].get<double>();
    EXPECT_GT(medianS, 0.15);
    EXPECT_LT(medianS, 0.6);
    EXPECT_EQ(camera["counters"]["withoutEngineTime"], 0);
    ASSERT_TRUE(camera.at("timestampAdvice").is_string()) << camera.dump();
    EXPECT_EQ(camera["timestampAdvice"].get<std::string>().rfind(
        "Suggested timestamp correction: ", 0), 0U) << camera["timestampAdvice"];
}

// Three servers, each a host with one camera and "ReceiveMessagesFor" "ownCameras", and one
// publisher connected to all three that sends every sample to every camera.
TEST(EndToEnd, PublisherConnectedToThreeServersFeedsEachOnlyItsOwnCamera)
{
    const std::vector<std::string> ports{
        testhost::testPortText(3), testhost::testPortText(4), testhost::testPortText(5)};
    const std::vector<std::string> cameras{kCamera1, kCamera2, kCamera3};
    constexpr int kPerCamera = 6; //< Each sample once.
    std::vector<std::string> dirs;
    std::vector<pid_t> hosts;
    for (size_t i = 0; i < ports.size(); ++i)
    {
        // A directory each: the plugin keeps its log and its diagnostic copy in the server's.
        dirs.push_back(fs::absolute("server-" + std::to_string(i + 1)).string());
        fs::remove_all(dirs[i]);
        fs::create_directory(dirs[i]);
        hosts.push_back(spawn({"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", dirs[i], kHost,
            kPlugin, "--port", ports[i], "--camera", cameras[i], "--engine-set",
            "ReceiveMessagesFor=ownCameras", "--json", "--duration", "60"},
            dirs[i] + "/host.out", dirs[i] + "/host.err"));
    }
    for (size_t i = 0; i < hosts.size(); ++i)
    {
        ASSERT_TRUE(waitForText(dirs[i] + "/host.err", "skyloom-host: ready", hosts[i],
            seconds(30))) << readFile(dirs[i] + "/host.err");
    }

    // A settle time in which all three subscribe: the first subscription alone could let the
    // first sends go before the others came.
    const std::string total = std::to_string(kPerCamera * cameras.size());
    std::vector<std::string> publish{kPublish, "--no-wait", "--settle-ms", "1500", "--rate",
        "50", "--count", total, "--quiet", "--samples"};
    for (const std::string& port: ports)
        publish.insert(publish.end(), {"--connect", "127.0.0.1:" + port});
    for (const std::string& camera: cameras)
        publish.insert(publish.end(), {"--camera", camera});
    const Finished published = run(publish);
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_NE(published.out.find("sent " + total + " messages (0 not sent)"), std::string::npos)
        << published.out;

    std::this_thread::sleep_for(seconds(1)); //< the last packets are on their way
    for (const pid_t host: hosts)
        kill(host, SIGINT);
    for (size_t i = 0; i < hosts.size(); ++i)
    {
        EXPECT_EQ(waitFor(hosts[i], seconds(20)), 0) << readFile(dirs[i] + "/host.err");
        const std::vector<nlohmann::json> lines = jsonLines(readFile(dirs[i] + "/host.out"));
        ASSERT_FALSE(lines.empty()) << "server " << i + 1;
        const nlohmann::json summary = lines.back().at("summary");
        ASSERT_TRUE(summary["engine"].is_object()) << summary["countersError"];
        // At the service port: this camera's messages, none of the others'.
        EXPECT_EQ(summary["engine"]["received"], kPerCamera) << "server " << i + 1;
        EXPECT_EQ(summary["engine"]["noCamera"], 0) << "server " << i + 1;
        EXPECT_EQ(summary["cameras"][0]["cameraId"], cameras[i]);
        EXPECT_EQ(summary["cameras"][0]["counters"]["received"], kPerCamera)
            << "server " << i + 1;
    }
}

TEST(EndToEnd, CaptureAsTheServersUserRecordsThePrivateCopy)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running the server and the capture as other users needs root";
    const std::string dir = fs::current_path().string() + "/server_of_nobody";
    fs::remove_all(dir);
    fs::create_directory(dir);
    ASSERT_EQ(0, chown(dir.c_str(), 65534, 65534));
    const RunAs nobody{65534, 65534, dir};
    std::remove("nobody-host.err");
    const pid_t host = spawn({kHost, kPlugin, "--port", kPort, "--camera", kCamera1, "--json",
        "--duration", "60"}, "nobody-host.out", "nobody-host.err", "/dev/null",
        &nobody);
    ASSERT_TRUE(waitForText("nobody-host.err", "skyloom-host: ready", host, seconds(20)))
        << readFile("nobody-host.err");
    EXPECT_EQ(readFile("nobody-host.err").find("Loopback relay unavailable"), std::string::npos)
        << readFile("nobody-host.err");

    const pid_t capture = spawn({kCapture, "--server-dir", dir, "--count", "3", "--duration",
        "30", "-q", "captured.jsonl"}, "nobody-capture.out", "nobody-capture.err",
        "/dev/null", &nobody);
    std::this_thread::sleep_for(milliseconds(500)); //< the subscription settles
    EXPECT_EQ(run({kPublish, "--port", kPort, "--camera", kCamera1, "--count", "3", "--rate",
        "10", "--settle-ms", "300", "-q", "--samples"}).status, 0);
    EXPECT_EQ(waitFor(capture, seconds(30)), 0) << readFile("nobody-capture.err");
    EXPECT_EQ(jsonLines(readFile(dir + "/captured.jsonl")).size(), 3U);

    const RunAs otherUser{12345, 12345, dir};
    const Finished refused =
        run({kCapture, "--server-dir", dir, "--duration", "1", "-"}, seconds(30), "/dev/null",
            &otherUser);
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("skyloom_diagnostic_copy: it belongs to nobody"),
        std::string::npos) << refused.err;

    kill(host, SIGINT);
    EXPECT_EQ(waitFor(host, seconds(20)), 0) << readFile("nobody-host.err");
}

// `skyloom-host ... | head -2` died of SIGPIPE: no summary, and its temporary directory (the
// plugin's metrics file) left behind. A closed output ends the run as Ctrl-C does.
TEST(ClosedOutput, HostEndsWithItsSummaryOnStandardErrorAndNothingLeftBehind)
{
    const fs::path tmp = fs::current_path() / "host-tmp";
    fs::create_directory(tmp);
    ASSERT_EQ(setenv("TMPDIR", tmp.c_str(), 1), 0);
    int out = -1;
    const pid_t host = spawnPiped({kHost, kPlugin, "--port", kPort}, "host.err", &out);
    // Up to the ready line and a packet's worth more: the plugin runs when the output closes.
    std::string line;
    do
    {
        line = readLine(out);
    } while (!line.empty() && line.find("skyloom-host: ready") == std::string::npos);
    ASSERT_FALSE(line.empty()) << readFile("host.err");
    EXPECT_EQ(run({kPublish, "--port", kPort, "-q", "--samples"}).status, 0);
    EXPECT_FALSE(readLine(out).empty()) << "a packet";
    close(out);

    EXPECT_EQ(waitFor(host, seconds(30)), 0) << readFile("host.err");
    const std::string err = readFile("host.err");
    EXPECT_NE(err.find("the plugin's counters (its metrics file):\ncam  received"), std::string::npos)
        << err;
    EXPECT_NE(err.find("skyloom-host: registry: "), std::string::npos) << err;
    EXPECT_TRUE(fs::is_empty(tmp)) << "the private directory is removed";
}

} // namespace
} // namespace skyloom::tools_test
