// The benchmark's own measuring instruments: if these are wrong, every figure is. Message
// templates must keep the sample byte for byte apart from the stamped values (the envelope's
// prefix decides delivery), percentiles must pick the right ranks, and the delivery sink must
// keep stale probes out of a run's counts; the knee search must end close below the true knee;
// the AI engine's threads must be found to be left out of the server's CPU time; and the
// baseline road must deliver each camera's messages to that camera alone, with the publish time
// intact.
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <skyloom/testhost/ai_engine_publisher.h>
#include <skyloom/testhost/test_ports.h>

#include "baseline_rig.h"
#include "delivery_sink.h"
#include "knee_search.h"
#include "load_runs.h"
#include "messages.h"
#include "results.h"
#include "stats.h"

namespace {

using namespace skyloom::bench;

TEST(MessageTemplate, StampsNumbersAndStringsAndKeepsTheRest)
{
    const std::string text =
        R"({"src_uuid":"old-id","meta":{"a":[1,2],"track_id":13003,"s":"x\"y"},"n":-1.5e3})";
    const MessageTemplate stamped(text, {"track_id", "src_uuid", "n", "s"});

    EXPECT_EQ(stamped.make({"42", jsonString("new-id"), "7", jsonString("q\"z")}),
        R"({"src_uuid":"new-id","meta":{"a":[1,2],"track_id":42,"s":"q\"z"},"n":7})");
    EXPECT_EQ(stamped.make({"13003", R"("old-id")", "-1.5e3", R"("x\"y")"}), text);
}

TEST(MessageTemplate, RefusesWhatItCannotStamp)
{
    const std::string text = R"({"src_uuid":"id","list":[1],"obj":{"k":1}})";
    EXPECT_THROW(MessageTemplate(text, {"missing"}), std::invalid_argument);
    EXPECT_THROW(MessageTemplate(text, {"list"}), std::invalid_argument);
    EXPECT_THROW(MessageTemplate(text, {"obj"}), std::invalid_argument);

    const MessageTemplate one(text, {"src_uuid"});
    EXPECT_THROW(one.make({}), std::invalid_argument);
    const MessageTemplate two(text, {"src_uuid", "k"});
    std::string out;
    EXPECT_THROW(two.makeInto(&out, "1"), std::invalid_argument);
}

TEST(Messages, LoadMessagesAreAddressedTimedAndOfTheSampleSize)
{
    const std::string sample = readSampleMessage("01_meta_face.json");
    ASSERT_GT(sample.size(), 1400u);
    ASSERT_NE(sample.back(), '\n');

    const MessageTemplate perCamera(sample, {"src_uuid", "track_id"});
    const std::string text = perCamera.make({jsonString(cameraId(7)), "123456789"});

    EXPECT_EQ(text.rfind(subscriptionPrefix(cameraId(7)), 0), 0u)
        << "the message must begin with the camera's subscription prefix";
    const auto parsed = nlohmann::json::parse(text);
    EXPECT_EQ(parsed.at("meta").at("metadata").at("annotations").at(0).at("track_id"), 123456789);
    EXPECT_LT(text.size(), sample.size() + 16);
}

TEST(Messages, CameraIdsAreDistinctAndNoPrefixMatchesAnotherCamera)
{
    for (int i = 0; i < 64; ++i)
    {
        ASSERT_EQ(cameraId(i).size(), 36u);
        EXPECT_EQ(deviceId(i), "{" + cameraId(i) + "}");
        for (int j = 0; j < 64; ++j)
        {
            const std::string message = subscriptionPrefix(cameraId(j)) + ",\"meta\":{}}";
            EXPECT_EQ(message.rfind(subscriptionPrefix(cameraId(i)), 0) == 0, i == j)
                << i << " vs " << j;
        }
    }
}

TEST(Stats, NearestRankPercentiles)
{
    struct Case
    {
        std::vector<uint32_t> samples;
        double p50;
        double p99;
        double max;
    };
    const std::vector<Case> cases{
        {{}, 0, 0, 0},
        {{5}, 5, 5, 5},
        {{4, 1, 3, 2}, 2, 4, 4},
        {{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, 50, 100, 100},
    };
    for (const Case& c: cases)
    {
        const LatencySummary summary = summarize(c.samples);
        EXPECT_EQ(summary.count, c.samples.size());
        EXPECT_EQ(summary.p50Us, c.p50);
        EXPECT_EQ(summary.p99Us, c.p99);
        EXPECT_EQ(summary.maxUs, c.max);
    }

    std::vector<uint32_t> hundred;
    for (uint32_t i = 1; i <= 200; ++i)
        hundred.push_back(i);
    EXPECT_EQ(percentile(hundred, 99), 198);
    EXPECT_EQ(percentile(hundred, 100), 200);
}

TEST(Stats, ProcessFiguresAreReadable)
{
    EXPECT_GT(residentBytes(), 0);
    EXPECT_GE(processCpuSeconds(), 0);
}

TEST(KneeSearch, EndsWithinItsResolutionBelowTheKneeAndNeverAboveTheCeiling)
{
    const KneeSearch::Plan plan; //< 5,000 doubling to 320,000, then to within 10 %.
    for (const double trueKnee: {0.0, 4999.0, 5000.0, 7300.0, 41000.0, 79999.0, 80000.0,
        113000.0, 250000.0, 319999.0, 320000.0, 1e6})
    {
        KneeSearch search(plan);
        while (!search.done())
        {
            ASSERT_LE(search.rate(), plan.ceiling);
            ASSERT_LT(search.steps(), 20) << "no end for a knee of " << trueKnee;
            search.record(search.rate() <= trueKnee);
        }
        if (trueKnee < plan.start)
        {
            EXPECT_EQ(search.knee(), 0);
            continue;
        }
        EXPECT_LE(search.knee(), trueKnee);
        EXPECT_EQ(search.atCeiling(), trueKnee >= plan.ceiling);
        if (!search.atCeiling())
        {
            EXPECT_GE(search.knee() * plan.resolution, trueKnee)
                << "the search ended further than its resolution below " << trueKnee;
        }
    }
}

TEST(Stats, ThePublishersThreadsAreFoundByTheirName)
{
    using skyloom::testhost::AiEnginePublisher;
    const std::string prefix = std::to_string(AiEnginePublisher::kThreadNamePrefix) + "/";
    const auto named = [&prefix]()
    {
        int count = 0;
        DIR* const tasks = opendir("/proc/self/task");
        while (const dirent* entry = tasks ? readdir(tasks) : nullptr)
        {
            std::ifstream comm(std::string("/proc/self/task/") + entry->d_name + "/comm");
            std::string name;
            if (std::getline(comm, name) && name.rfind(prefix, 0) == 0)
                ++count;
        }
        if (tasks)
            closedir(tasks);
        return count;
    };
    const int before = named();
    AiEnginePublisher publisher(39912);
    ASSERT_TRUE(publisher.isOpen()) << publisher.errorText();
    // Each thread names itself once it runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (named() <= before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_GT(named(), before)
        << "the publisher's ZeroMQ threads would count as the server's CPU time";
    EXPECT_GE(namedThreadsCpuSeconds(prefix), 0);
}

TEST(DeliverySink, CountsOnlyTheCurrentRunAndKeepsItsLatencies)
{
    DeliverySink sink(/*sampleCapacity*/ 3);
    sink.record(DeliverySink::nowUs()); //< Before any run: stale.
    EXPECT_EQ(sink.delivered(), 0u);
    EXPECT_EQ(sink.stale(), 1u);

    const int64_t start = DeliverySink::nowUs();
    sink.startRun(start);
    sink.record(start - 1); //< A probe or a straggler of an earlier run.
    for (int i = 0; i < 5; ++i)
        sink.record(start);

    EXPECT_EQ(sink.delivered(), 5u);
    EXPECT_EQ(sink.stale(), 1u);
    EXPECT_GE(sink.lastDeliveryUs(), start);
    const std::vector<uint32_t> latencies = sink.latencies();
    EXPECT_EQ(latencies.size(), 3u) << "at most the capacity is kept";
    for (uint32_t latency: latencies)
        EXPECT_LT(latency, 60u * 1000 * 1000);

    sink.startRun(DeliverySink::nowUs());
    EXPECT_EQ(sink.delivered(), 0u);
    EXPECT_TRUE(sink.latencies().empty());
}

TEST(DeliverySink, ConcurrentWritersLoseNothing)
{
    DeliverySink sink(100000);
    sink.startRun(0);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
    {
        writers.emplace_back([&sink]()
        {
            for (int i = 0; i < 10000; ++i)
                sink.record(DeliverySink::nowUs());
        });
    }
    for (auto& writer: writers)
        writer.join();
    EXPECT_EQ(sink.delivered(), 40000u);
    EXPECT_EQ(sink.latencies().size(), 40000u);
}

TEST(Results, RowsSurviveTheFileAndFormAnAlignedTable)
{
    const std::string path = ::testing::TempDir() + "bench_results_test.tsv";
    std::remove(path.c_str());
    const std::vector<ResultRow> rows{
        {"group a", "figure 1", "1.00 us", "2.00 us", "0.50x", "<= 1.25x", verdict(true)},
        {"group a", "figure\t2", "3", "", "", "", ""},
        {"group b", "figure 3", "12345", "1", "12345.00x", ">= 0.8x", verdict(false)},
    };
    ASSERT_TRUE(appendResults(path, rows));
    ASSERT_TRUE(appendResults(path, {rows[0]}));

    const std::vector<ResultRow> read = readResults(path);
    ASSERT_EQ(read.size(), 4u);
    EXPECT_EQ(read[1].metric, "figure 2") << "a tab inside a field must not split it";
    EXPECT_EQ(read[2].verdict, "MISSED");
    EXPECT_EQ(read[3].value, "1.00 us");

    const std::string table = formatTable(read);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = table.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(table.substr(start, end - start));
    ASSERT_EQ(lines.size(), 6u); //< Header, rule, four rows.
    // The plugin column is right-aligned: every value ends in the same column.
    const size_t valueEnd = lines[2].find("1.00 us") + std::string("1.00 us").size();
    EXPECT_EQ(lines[4].find("12345") + 5, valueEnd);
    EXPECT_EQ(lines[3].rfind("group a", 0), std::string::npos) << "a group is named once";
    EXPECT_EQ(lines[4].rfind("group b", 0), 0u);
    std::remove(path.c_str());
}

TEST(BaselineRoad, DeliversEveryMessageToItsOwnCameraWithItsPublishTime)
{
    using namespace std::chrono_literals;
    // Ports of this test only: a benchmark may be running next to it.
    const int kInputPort = skyloom::testhost::testPort(0);
    const int kOutputPort = skyloom::testhost::testPort(1);
    constexpr int kCameras = 3;

    DeliverySink sink(10000);
    LoadGenerator load(kInputPort, kCameras);
    BaselineRig rig(kInputPort, kOutputPort, kCameras, &sink);
    const auto arrivals = [&rig](int camera) { return rig.arrivals(camera); };
    ASSERT_TRUE(load.waitUntilConnected(kCameras, arrivals, 20s));
    std::vector<int64_t> before;
    for (int camera = 0; camera < kCameras; ++camera)
        before.push_back(rig.arrivals(camera));

    const int64_t start = DeliverySink::nowUs();
    const RunResult run = load.paced(kCameras, &sink, /*ratePerSecond*/ 600, 500ms);

    EXPECT_EQ(run.sent, 300u);
    EXPECT_TRUE(run.drained);
    EXPECT_EQ(run.delivered, run.sent) << "far below the high-water marks nothing may be lost";
    EXPECT_EQ(run.latenciesUs.size(), run.delivered);
    const int64_t elapsed = DeliverySink::nowUs() - start;
    for (const uint32_t latency: run.latenciesUs)
        ASSERT_LE(latency, elapsed) << "a latency longer than the run: the time was garbled";
    for (int camera = 0; camera < kCameras; ++camera)
    {
        EXPECT_EQ(rig.arrivals(camera) - before[static_cast<size_t>(camera)], 100)
            << "camera " << camera << " got messages of another camera, or lost its own";
    }
    EXPECT_EQ(rig.failures(), 0);
}

} // namespace
