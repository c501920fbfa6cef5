// Every message accounted for, through the loaded plugin: each cause of a loss is counted under
// its own reason in the metrics file and told to the operator ("Messages dropped" on the camera,
// "Messages for no camera" with what is wrong with the form), and AI engines coming and going
// are counted and reported. One engine for all tests, in the order written.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iterator>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <skyloom/testhost/ai_engine_publisher.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;
using testhost::AiEnginePublisher;

const int kServicePort = testhost::testPort(0);
constexpr char kEngineId[] = "{f1a2b3c4-0000-4000-8000-000000000015}";
/** The engine as the metrics' labels name it: without braces, as the cameras are. */
constexpr char kEngineLabel[] = "f1a2b3c4-0000-4000-8000-000000000015";
constexpr milliseconds kEventTimeout = 10s;

using Metrics = std::map<std::string, double>;

class HealthTest: public SharedEngineSuite<HealthTest>
{
protected:
    static void SetUpTestSuite() { startSharedEngine(kServicePort, kEngineId); }

    virtual void TearDown() override { expectOnlyEngineLeft(); }

    /**
     * The metrics file as the relay writes it now: a new "MetricsFile" path is written at once.
     * Samples by their name with labels. `more`: settings applied with it.
     */
    static Metrics metricsNow(const testhost::Settings& more = {})
    {
        static int files = 0;
        const std::string path = std::filesystem::current_path().string() + "/metrics-"
            + std::to_string(++files) + ".prom";
        std::filesystem::remove(path); //< Left by an earlier run: not the file of now.
        testhost::Settings settings = more;
        settings["ServicePort"] = std::to_string(kServicePort);
        settings["MetricsFile"] = path;
        const auto result = testhost::doSetSettings(s_engine.engine.get(), settings);
        EXPECT_TRUE(result.isOk() && result.errors.empty());
        const auto deadline = steady_clock::now() + kEventTimeout;
        while (access(path.c_str(), R_OK) != 0 && steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        Metrics metrics;
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);)
        {
            const size_t space = line.rfind(' ');
            if (line.empty() || line[0] == '#' || space == std::string::npos)
                continue;
            metrics[line.substr(0, space)] = std::atof(line.c_str() + space + 1);
        }
        EXPECT_FALSE(metrics.empty()) << path;
        return metrics;
    }

    /** The sample of the family with the labels (after the engine's, which every one has). */
    static double metric(const Metrics& metrics, const std::string& name,
        const std::string& labels = "")
    {
        const auto it = metrics.find(name + "{engine=\"" + kEngineLabel + "\""
            + (labels.empty() ? "" : "," + labels) + "}");
        return it == metrics.end() ? -1 : it->second;
    }

    /** Messages dropped, or (`family` kCut) elements cut, for the reason. */
    static double dropped(const Metrics& metrics, const std::string& camera, const char* reason,
        const char* family = kDropped)
    {
        return metric(metrics, family,
            "camera=\"" + camera + "\",reason=\"" + reason + "\"");
    }

    static double cameraMetric(const Metrics& metrics, const char* name, const std::string& camera)
    {
        return metric(metrics, name, "camera=\"" + camera + "\"");
    }

    static double engineMetric(const Metrics& metrics, const char* name)
    {
        return metric(metrics, name);
    }

    static constexpr const char* kDropped = "skyloom_camera_messages_dropped_total";
    static constexpr const char* kCut = "skyloom_camera_elements_cut_total";


    /**
     * Sends `message`, then a good alarm, until that alarm arrives; then both once more and waits
     * for the second alarm: one connection keeps their order, and by the second round the
     * connection was there for the message too (the first alarm through may have been the first
     * thing sent after the connection was made, the message before it lost).
     */
    static bool handled(OpenCamera& camera, const std::string& message)
    {
        AiEnginePublisher publisher(kServicePort);
        const auto deadline = steady_clock::now() + kDeliveryTimeout;
        for (int round = 0; round < 2; ++round)
        {
            const int64_t before = camera.handler->packets();
            while (camera.handler->packets() <= before)
            {
                if (steady_clock::now() >= deadline || !publisher.send(message)
                    || !publisher.send(alarmMessage(camera.camera.id, "probe")))
                {
                    return false;
                }
                std::this_thread::sleep_for(50ms);
            }
        }
        return true;
    }
};

TEST_F(HealthTest, ListeningIsReportedWithTheBoundEndpoint)
{
    EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::info,
        "Listening for the AI engine", ":" + std::to_string(kServicePort), kEventTimeout));
}

TEST_F(HealthTest, AiEngineConnectingAndDisconnectingIsCountedAndReported)
{
    const double connectionsBefore =
        engineMetric(metricsNow(), "skyloom_engine_ai_engine_connections_total");
    {
        OpenCamera camera(1);
        AiEnginePublisher publisher(kServicePort);
        ASSERT_TRUE(publisher.sendUntil(alarmMessage(camera.camera.id, "probe"),
            [&]() { return camera.handler->packets() > 0; }, kDeliveryTimeout));
        EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::info,
            "AI engine connected", "127.0.0.1", kEventTimeout));
        const Metrics connected = metricsNow();
        EXPECT_EQ(1, engineMetric(connected, "skyloom_engine_ai_engines_connected"));
        EXPECT_EQ(connectionsBefore + 1,
            engineMetric(connected, "skyloom_engine_ai_engine_connections_total"));
    }
    EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
        "AI engine disconnected", "127.0.0.1", kEventTimeout));
    const Metrics gone = metricsNow();
    EXPECT_EQ(0, engineMetric(gone, "skyloom_engine_ai_engines_connected"));
    EXPECT_LE(1, engineMetric(gone, "skyloom_engine_ai_engine_disconnects_total"));
}

/**
 * A listener that goes (the receiver killed, the service port moved between the processes) ends
 * the connections it had reported: the publisher, connected again, counts once.
 */
TEST_F(HealthTest, ConnectedEnginesDoNotLeakWhenTheListenerGoes)
{
    OpenCamera camera(7);
    AiEnginePublisher publisher(kServicePort);
    const auto deliversAgain = [&]()
        {
            const int64_t before = camera.handler->packets();
            return publisher.sendUntil(alarmMessage(camera.camera.id, "probe"),
                [&]() { return camera.handler->packets() > before; }, kDeliveryTimeout);
        };
    ASSERT_TRUE(deliversAgain());
    const double disconnectsBefore =
        engineMetric(metricsNow(), "skyloom_engine_ai_engine_disconnects_total");
    // The engine keeps a setting that a call leaves out: a step that repeats it replaces nothing.
    std::string isolate = withReceiverChoice({}).count("IsolateReceiver") > 0
        ? withReceiverChoice({})["IsolateReceiver"] : "true";
    const std::string isolateAsStarted = isolate;
    int listenersGone = 0;
    const struct
    {
        const char* what;
        const char* isolate; //< "IsolateReceiver"
        bool kill = false; //< The receiver, when one runs.
    } steps[] = {
        {"in-process", "false"},
        {"isolated", "true"},
        {"receiver killed", "true", true},
        {"in-process again", "false"},
        {"isolated again", "true"},
    };
    for (const auto& step: steps)
    {
        const testhost::Settings settings = {{"IsolateReceiver", step.isolate}};
        if (!step.kill)
        {
            (void) metricsNow(settings);
            listenersGone += step.isolate == isolate ? 0 : 1;
            isolate = step.isolate;
        }
        else if (const pid_t receiver = servicePortProcess(); receiver != getpid())
        {
            ASSERT_EQ(0, ::kill(receiver, SIGKILL));
            ++listenersGone;
        }
        ASSERT_TRUE(deliversAgain()) << step.what;
        // The new connection's report may come after its first message; one left over from
        // the listener that went would keep the count above one.
        EXPECT_TRUE(waitUntil([&]()
            {
                return engineMetric(metricsNow(settings), "skyloom_engine_ai_engines_connected")
                    == 1;
            }, kEventTimeout)) << step.what;
    }
    EXPECT_LE(disconnectsBefore + listenersGone,
        engineMetric(metricsNow(), "skyloom_engine_ai_engine_disconnects_total"));
    (void) metricsNow({{"IsolateReceiver", isolateAsStarted}}); //< For the tests that follow.
}

TEST_F(HealthTest, MessageForNoCameraIsCountedAndItsFormNamed)
{
    OpenCamera camera(2);
    const double before = engineMetric(metricsNow(), "skyloom_engine_messages_no_camera_total");
    // Python's default json.dumps: a space after each colon.
    const std::string spaced = "{\"src_uuid\": \"" + camera.camera.id + "\", \"meta\": {}}";
    ASSERT_TRUE(handled(camera, spaced));

    EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
        "Messages for no camera", camera.camera.id, kEventTimeout));
    EXPECT_TRUE(hasEvent(s_engine.handler->events(), IPluginDiagnosticEvent::Level::warning,
        "Messages for no camera", "space"));
    EXPECT_LT(before, engineMetric(metricsNow(), "skyloom_engine_messages_no_camera_total"));
}

TEST_F(HealthTest, EachCauseIsCountedUnderItsReasonAndReportedOnItsCamera)
{
    const auto envelope = [](const std::string& id, const std::string& rest)
        { return "{\"src_uuid\":\"" + id + "\"," + rest + "}"; };
    const auto annotation = [](const std::string& trackId, const std::string& box)
        {
            return "\"meta\":{\"metadata\":{\"annotations\":[{\"track_id\":" + trackId
                + ",\"class\":\"person\",\"bbox\":" + box + "}]}}";
        };
    const struct
    {
        const char* reason;
        const char* text; //< How the event names it.
        std::function<std::string(const std::string& id)> message;
        const char* family = kDropped; //< Cuts leave the message delivered.
    } rows[] = {
        {"not_json", "not JSON", [&](const std::string& id)
            { return envelope(id, "\"meta\":"); }},
        {"too_deep", "nested too deep", [&](const std::string& id)
            { return envelope(id, "\"x\":" + std::string(70, '[') + std::string(70, ']')); }},
        {"malformed", "malformed member or element", [&](const std::string& id)
            { return envelope(id, annotation("\"seven\"", "[0.1,0.1,0.2,0.2]")); }},
        {"number_out_of_range", "number out of range", [&](const std::string& id)
            { return envelope(id, annotation("3000000000", "[0.1,0.1,0.2,0.2]")); }},
        {"other_camera", "\"src_uuid\" not this camera", [&](const std::string& id)
            {
                return envelope(id, annotation("1", "[0.1,0.1,0.2,0.2]")
                    + ",\"src_uuid\":\"someone-else\"");
            }},
        {"box_outside_frame", "box outside the frame", [&](const std::string& id)
            { return envelope(id, annotation("1", "[5,5,6,6]")); }},
        {"list_cut", "list cut at its limit", [&](const std::string& id)
            { return metaMessage(id, 1030); }, kCut},
        {"text_cut", "text cut at its limit", [&](const std::string& id)
            { return alarmMessage(id, std::string(2000, 'c')); }, kCut},
    };

    std::vector<std::unique_ptr<OpenCamera>> cameras;
    for (const auto& row: rows)
    {
        cameras.push_back(std::make_unique<OpenCamera>(10 + static_cast<int>(cameras.size())));
        EXPECT_TRUE(handled(*cameras.back(), row.message(cameras.back()->camera.id)))
            << row.reason;
    }
    const Metrics metrics = metricsNow();
    for (size_t i = 0; i < std::size(rows); ++i)
    {
        const std::string& id = cameras[i]->camera.id;
        SCOPED_TRACE(rows[i].reason);
        EXPECT_LE(1, dropped(metrics, id, rows[i].reason, rows[i].family));
        // Counted under that reason alone.
        for (const char* other: {"not_json", "too_deep", "malformed", "number_out_of_range",
            "other_camera", "box_outside_frame", "queue_full", "not_authorised"})
        {
            if (std::string(other) != rows[i].reason)
            {
                EXPECT_EQ(0, dropped(metrics, id, other)) << other;
            }
        }
        EXPECT_LE(2, cameraMetric(metrics, "skyloom_camera_messages_received_total", id));
        EXPECT_LE(1, cameraMetric(metrics, "skyloom_camera_messages_converted_total", id));
        EXPECT_TRUE(waitForEvent(*cameras[i]->handler, IPluginDiagnosticEvent::Level::warning,
            "Messages dropped", rows[i].text, kEventTimeout));
    }
}

TEST_F(HealthTest, MetricsFileThatNamesNoAbsolutePathIsRefused)
{
    for (const char* path: {"relative.prom", "/tmp/two\nlines.prom"})
    {
        const auto result = testhost::doSetSettings(s_engine.engine.get(),
            {{"ServicePort", std::to_string(kServicePort)}, {"MetricsFile", path}});
        ASSERT_TRUE(result.isOk());
        EXPECT_EQ(1U, result.errors.count("MetricsFile")) << path;
    }
    EXPECT_NE(-1, engineMetric(metricsNow(), "skyloom_engine_messages_received_total"));
}

// An operator's private file and a device node given by mistake were replaced by a metrics file
// of mode 0644; a file in a directory that every user may write is refused too.
TEST_F(HealthTest, MetricsFileReplacedWhatWasNotItsOwn)
{
    const std::string privateFile = std::filesystem::current_path().string() + "/private.txt";
    std::ofstream(privateFile) << "operator's\n";
    ASSERT_EQ(0, chmod(privateFile.c_str(), 0600));
    const std::string shared = std::filesystem::current_path().string() + "/shared";
    std::filesystem::create_directories(shared);
    ASSERT_EQ(0, chmod(shared.c_str(), 0777));
    const std::string inShared = shared + "/metrics.prom";
    const struct { std::string path; std::string reason; } rows[] = {
        {privateFile, "was not written by this plugin"},
        {"/dev/null", "is a character device"},
        {inShared, "it is in a directory that another user may write: " + shared
            + " is writable by every user (mode 0777) without the sticky bit"},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.path);
        const auto result = testhost::doSetSettings(s_engine.engine.get(),
            {{"ServicePort", std::to_string(kServicePort)}, {"MetricsFile", row.path}});
        ASSERT_TRUE(result.isOk());
        ASSERT_EQ(1U, result.errors.count("MetricsFile"));
        EXPECT_NE(std::string::npos, result.errors.at("MetricsFile").find(row.reason))
            << result.errors.at("MetricsFile");
    }
    const Metrics metrics = metricsNow(); //< The settings go on with a file of its own.
    std::ifstream file(privateFile);
    EXPECT_EQ("operator's", std::string(std::istreambuf_iterator<char>(file), {}).substr(0, 10));
    struct stat status{};
    ASSERT_EQ(0, stat(privateFile.c_str(), &status));
    EXPECT_EQ(0600U, status.st_mode & 0777U);
    ASSERT_EQ(0, stat("/dev/null", &status));
    EXPECT_TRUE(S_ISCHR(status.st_mode));
    EXPECT_TRUE(std::filesystem::is_empty(shared));

    // The file tells whose it is and when it was written; a camera is there from its start.
    const std::string info = std::string("skyloom_build_info{engine=\"") + kEngineLabel
        + "\",version=\"";
    const auto found = metrics.lower_bound(info);
    ASSERT_TRUE(found != metrics.end() && found->first.rfind(info, 0) == 0);
    EXPECT_EQ(1, found->second);
    EXPECT_NEAR(static_cast<double>(std::time(nullptr)),
        engineMetric(metrics, "skyloom_engine_metrics_written_timestamp_seconds"), 30);
    OpenCamera camera(40);
    const Metrics withCamera = metricsNow();
    EXPECT_EQ(0, cameraMetric(withCamera, "skyloom_camera_last_message_timestamp_seconds",
        camera.camera.id));
    EXPECT_EQ(0, cameraMetric(withCamera, "skyloom_camera_queued_bytes", camera.camera.id));
}

// A message over the size limit closed its connection and was counted nowhere.
TEST_F(HealthTest, MessageTooLargeWasCountedNowhere)
{
    OpenCamera camera(41);
    const double before = engineMetric(metricsNow(), "skyloom_engine_messages_too_large_total");
    {
        AiEnginePublisher publisher(kServicePort);
        ASSERT_TRUE(publisher.sendUntil(alarmMessage(camera.camera.id, "probe"),
            [&]() { return camera.handler->packets() > 0; }, kDeliveryTimeout));
        ASSERT_TRUE(publisher.send(alarmMessage(camera.camera.id, std::string(5 << 20, 'x'))));
        EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
            "AI engine refused", "message too large", kEventTimeout));
    }
    EXPECT_EQ(before + 1, engineMetric(metricsNow(), "skyloom_engine_messages_too_large_total"));
}

// What an alert reads beside the counts: where the service port listens and runs, what guards it,
// the budgets that make queued bytes a ratio; and refusals by reason, with the addresses apart:
// one refused engine, which libzmq connects again and again, is one address.
TEST_F(HealthTest, StateAndRefusalsAreGaugesAnAlertCanRead)
{
    const Metrics open = metricsNow({{"AllowedEngineAddresses", ""}});
    EXPECT_EQ(1, metric(open, "skyloom_engine_listening",
        "port=\"" + std::to_string(kServicePort) + "\""));
    double modes = 0;
    for (const char* mode: {"isolated", "in_server", "restarting"})
        modes += metric(open, "skyloom_engine_receiver_mode", std::string("mode=\"") + mode + "\"");
    EXPECT_EQ(1, modes) << "one mode in force, every mode written";
    EXPECT_EQ(0, engineMetric(open, "skyloom_engine_encryption_enabled"));
    EXPECT_EQ(0, engineMetric(open, "skyloom_engine_allow_list_enabled"));
    EXPECT_EQ(256 << 20, engineMetric(open, "skyloom_engine_queue_budget_bytes"));
    EXPECT_EQ(1, engineMetric(open, "skyloom_engine_running"));
    const auto addressRefusals = [](const Metrics& metrics)
        { return metric(metrics, "skyloom_engine_refused_peers_total",
            "reason=\"address_not_allowed\""); };
    const double before = addressRefusals(open);
    ASSERT_LE(0, before);

    const testhost::Settings allowList{{"AllowedEngineAddresses", "10.0.0.5"}};
    (void) metricsNow(allowList);
    Metrics refused;
    {
        AiEnginePublisher publisher(kServicePort); //< Refused, and connecting again.
        EXPECT_TRUE(waitUntil([&]()
            {
                refused = metricsNow(allowList);
                return addressRefusals(refused) >= before + 2;
            }, kEventTimeout));
    }
    EXPECT_EQ(1, engineMetric(refused, "skyloom_engine_allow_list_enabled"));
    EXPECT_EQ(1, engineMetric(refused, "skyloom_engine_refused_addresses"));
    EXPECT_EQ(0, metric(refused, "skyloom_engine_refused_peers_total", "reason=\"unknown_key\""));
    (void) metricsNow({{"AllowedEngineAddresses", ""}});
}

TEST_F(HealthTest, FullQueueIsCountedAndReportedOnItsCamera)
{
    OpenCamera camera(30);
    camera.handler->setPacketDelay(100ms); //< A slow server.
    ASSERT_TRUE(handled(camera, metaMessage(camera.camera.id)));
    {
        Flooder flood(kServicePort, [&](int64_t) { return metaMessage(camera.camera.id); });
        std::this_thread::sleep_for(1s);
        EXPECT_LT(0, flood.stop());
    }
    EXPECT_TRUE(waitForEvent(*camera.handler, IPluginDiagnosticEvent::Level::warning,
        "Messages dropped", "queue full", kEventTimeout));
    EXPECT_LT(0, dropped(metricsNow(), camera.camera.id, "queue_full"));
    camera.handler->setPacketDelay(0ms);
}

} // namespace
} // namespace skyloom::hardening
