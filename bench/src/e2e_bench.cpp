// The whole road, from a publisher playing the AI engine to the server's handler, with the
// plugin library loaded through the test host, next to a raw ZeroMQ + JSON baseline on the same
// road in the same process and run; then the idle cost of the engine with its cameras next to
// an empty process. The plugin's loopback port 688 is fixed, so the baseline uses other ports;
// both roads stand ready and take turns carrying traffic, round by round. Options:
//   --library=PATH      the plugin library (default: the one built with this program)
//   --cameras=1,16,64   camera counts      --idle-seconds=20      --results=FILE
//   --quick             short runs, for a smoke test of the program itself
//   --baseline-contexts=shared|per-subscriber   (default shared: the floor)
// Internal: --idle-child=SECONDS (the empty process: sleeps, then prints its CPU seconds).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "baseline_rig.h"
#include "delivery_sink.h"
#include "load_runs.h"
#include "plugin_rig.h"
#include "results.h"
#include "stats.h"

namespace {

using namespace std::chrono;
using namespace skyloom::bench;

constexpr int kServicePort = 9911;
constexpr int kBaselineInputPort = 29911;
constexpr int kBaselineOutputPort = 29688;
constexpr size_t kLatencySamples = 4 * 1000 * 1000;
constexpr milliseconds kConnectTimeout{30000};
/** How long to wait for another process to give up the relay's fixed port. */
constexpr milliseconds kRelayPortWait{120000};

constexpr double kTargetThroughputRatio = 0.8;
constexpr int kThroughputTargetCameras = 16;
constexpr double kTargetP99Us = 500;
constexpr int kZeroLossTargetCameras = 64;
constexpr double kTargetIdlePercent = 0.2;

struct Options
{
    std::string library = SKYLOOM_PLUGIN_PATH;
    std::vector<int> cameras{1, 16, 64};
    int idleSeconds = 20;
    std::string resultsPath;
    int flatOutRounds = 3;
    milliseconds flatOutDuration{1000};
    int pacedRounds = 2;
    milliseconds pacedDuration{1500};
    int idleChildSeconds = -1;
    BaselineRig::Contexts baselineContexts = BaselineRig::Contexts::shared;
};

std::vector<int> parseList(const std::string& text)
{
    std::vector<int> values;
    std::istringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ','))
    {
        const int value = std::atoi(item.c_str());
        if (value <= 0)
            throw std::invalid_argument("bad camera count '" + item + "'");
        values.push_back(value);
    }
    return values;
}

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const auto value = [&arg](const char* name) -> const char*
        {
            const size_t length = std::strlen(name);
            return arg.compare(0, length, name) == 0 ? arg.c_str() + length : nullptr;
        };
        if (const char* v = value("--library="))
            options.library = v;
        else if (const char* v = value("--cameras="))
            options.cameras = parseList(v);
        else if (const char* v = value("--idle-seconds="))
            options.idleSeconds = std::atoi(v);
        else if (const char* v = value("--results="))
            options.resultsPath = v;
        else if (const char* v = value("--idle-child="))
            options.idleChildSeconds = std::atoi(v);
        else if (arg == "--baseline-contexts=shared")
            options.baselineContexts = BaselineRig::Contexts::shared;
        else if (arg == "--baseline-contexts=per-subscriber")
            options.baselineContexts = BaselineRig::Contexts::perSubscriber;
        else if (arg == "--quick")
        {
            options.flatOutRounds = 1;
            options.flatOutDuration = milliseconds(500);
            options.pacedRounds = 1;
            options.pacedDuration = milliseconds(1000);
            options.idleSeconds = 2;
        }
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    return options;
}

/** The empty process: nothing but this sleep. */
int runIdleChild(int seconds)
{
    const double before = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    std::printf("%.9f\n", processCpuSeconds() - before);
    return 0;
}

/** Starts this program as the empty process; read its result with readIdleChild(). */
FILE* startIdleChild(int seconds)
{
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0)
        return nullptr;
    self[length] = '\0';
    const std::string command =
        "'" + std::string(self) + "' --idle-child=" + std::to_string(seconds);
    return popen(command.c_str(), "r");
}

double readIdleChild(FILE* child)
{
    double cpuSeconds = -1;
    if (!child)
        return cpuSeconds;
    if (std::fscanf(child, "%lf", &cpuSeconds) != 1)
        cpuSeconds = -1;
    pclose(child);
    return cpuSeconds;
}

/** One road under test: the plugin's or the baseline's, with its own publisher. */
struct Road
{
    const char* name;
    LoadGenerator* load;
    LoadGenerator::Arrivals arrivals;
};

struct RoadResults
{
    std::vector<double> flatOutRates; //< Delivered per second, one per round.
    RunResult flatOut; //< All rounds together.
    RunResult paced1k;
    RunResult paced10k;

    double medianFlatOutRate() const
    {
        std::vector<double> rates = flatOutRates;
        std::sort(rates.begin(), rates.end());
        return rates.empty() ? 0 : rates[rates.size() / 2];
    }
};

/**
 * The two roads take turns, round by round, so that a disturbance of this shared machine
 * falls on both rather than on one: flat out, then paced at 1,000 and at 10,000 a second.
 */
void runRoads(int cameras, const std::vector<Road>& roads, DeliverySink* sink,
    const Options& options, std::vector<RoadResults>* results)
{
    results->assign(roads.size(), RoadResults());
    for (const Road& road: roads)
    {
        if (!road.load->waitUntilConnected(cameras, road.arrivals, kConnectTimeout))
            throw std::runtime_error(std::string(road.name) + ": the messages do not get through");
    }

    std::cout << "  " << cameras << (cameras == 1 ? " camera" : " cameras") << ": flat out"
        << std::flush;
    for (int round = 0; round < options.flatOutRounds; ++round)
    {
        for (size_t i = 0; i < roads.size(); ++i)
        {
            const RunResult run = roads[i].load->flatOut(cameras, sink, options.flatOutDuration);
            (*results)[i].flatOutRates.push_back(run.deliveredPerSecond());
            (*results)[i].flatOut.merge(run);
            std::cout << "." << std::flush;
        }
    }
    for (const double rate: {1000.0, 10000.0})
    {
        std::cout << (rate < 5000 ? " 1,000/s" : " 10,000/s") << std::flush;
        for (int round = 0; round < options.pacedRounds; ++round)
        {
            for (size_t i = 0; i < roads.size(); ++i)
            {
                const RunResult run =
                    roads[i].load->paced(cameras, sink, rate, options.pacedDuration);
                (rate < 5000 ? (*results)[i].paced1k : (*results)[i].paced10k).merge(run);
                std::cout << "." << std::flush;
            }
        }
    }
    std::cout << " done" << std::endl;
}

std::string lossText(const RunResult& run)
{
    return fixed(run.lossPercent(), 2) + " % of " + std::to_string(run.sent)
        + (run.drained ? "" : " (not drained)");
}

std::string latencyText(const LatencySummary& latency)
{
    if (latency.count == 0)
        return "none delivered";
    return fixed(latency.p50Us, 0) + " / " + fixed(latency.p99Us, 0) + " / "
        + fixed(latency.maxUs, 0) + " us";
}

std::string ratioText(double value, double reference)
{
    return reference > 0 ? fixed(value / reference, 2) + "x" : "";
}

void addRoadRows(std::vector<ResultRow>* rows, int cameras, const RoadResults& plugin,
    const RoadResults& baseline)
{
    const std::string group = "end to end, " + std::to_string(cameras)
        + (cameras == 1 ? " camera" : " cameras");

    const double pluginRate = plugin.medianFlatOutRate();
    const double baselineRate = baseline.medianFlatOutRate();
    ResultRow throughput{group, "delivered/s, flat out (median)", fixed(pluginRate, 0),
        fixed(baselineRate, 0), ratioText(pluginRate, baselineRate), "", ""};
    if (cameras == kThroughputTargetCameras)
    {
        throughput.target = ">= " + fixed(kTargetThroughputRatio, 1) + "x";
        throughput.verdict = verdict(baselineRate > 0
            && pluginRate / baselineRate >= kTargetThroughputRatio);
    }
    rows->push_back(throughput);
    rows->push_back({group, "loss, flat out (default HWM)", lossText(plugin.flatOut),
        lossText(baseline.flatOut), "", "", ""});

    const auto latencyRow = [&](const char* rate, const RunResult& p, const RunResult& b,
        bool p99Target)
    {
        const LatencySummary pl = summarize(p.latenciesUs);
        const LatencySummary bl = summarize(b.latenciesUs);
        ResultRow row{group, std::string(rate) + " latency p50/p99/max", latencyText(pl),
            latencyText(bl), ratioText(pl.p99Us, bl.p99Us) + " (p99)", "", ""};
        if (p99Target)
        {
            row.target = "p99 <= " + fixed(kTargetP99Us, 0) + " us";
            row.verdict = verdict(pl.count > 0 && pl.p99Us <= kTargetP99Us);
        }
        rows->push_back(row);
    };
    latencyRow("1,000/s", plugin.paced1k, baseline.paced1k, true);
    rows->push_back({group, "1,000/s loss", lossText(plugin.paced1k), lossText(baseline.paced1k),
        "", "", ""});
    latencyRow("10,000/s", plugin.paced10k, baseline.paced10k, false);
    ResultRow loss{group, "10,000/s loss", lossText(plugin.paced10k),
        lossText(baseline.paced10k), "", "", ""};
    if (cameras == kZeroLossTargetCameras)
    {
        loss.target = "0 lost";
        loss.verdict = verdict(plugin.paced10k.delivered >= plugin.paced10k.sent
            && plugin.paced10k.drained);
    }
    rows->push_back(loss);
}

int run(const Options& options)
{
    DeliverySink::nowUs(); //< Starts the clock of the publish times.

    DeliverySink sink(kLatencySamples);
    std::vector<ResultRow> rows;

    PluginRig plugin(&sink);
    std::cout << "Loading " << options.library << std::endl;
    plugin.start(options.library, kServicePort, kRelayPortWait);

    int maxCameras = 0;
    for (int cameras: options.cameras)
        maxCameras = std::max(maxCameras, cameras);
    LoadGenerator pluginLoad(kServicePort, maxCameras);
    LoadGenerator baselineLoad(kBaselineInputPort, maxCameras);
    std::cout << "Messages of " << pluginLoad.messageSize() << " bytes; the engine's relay "
        "starts listening about 5 s after the engine is created." << std::endl;

    for (int cameras: options.cameras)
    {
        plugin.addCameras(cameras);
        // Both roads stand ready; only one carries traffic at a time.
        BaselineRig baseline(kBaselineInputPort, kBaselineOutputPort, cameras, &sink,
            options.baselineContexts);
        const std::vector<Road> roads{
            {"plugin", &pluginLoad, [&plugin](int camera) { return plugin.arrivals(camera); }},
            {"baseline", &baselineLoad,
                [&baseline](int camera) { return baseline.arrivals(camera); }},
        };
        std::vector<RoadResults> results;
        try
        {
            runRoads(cameras, roads, &sink, options, &results);
        }
        catch (const std::runtime_error& e)
        {
            const std::string diagnostics = plugin.engineDiagnostics();
            throw std::runtime_error(std::string(e.what())
                + (diagnostics.empty() ? "" : "; the engine reported: " + diagnostics));
        }
        if (baseline.failures() > 0)
            throw std::runtime_error("the baseline could not parse some messages");
        addRoadRows(&rows, cameras, results[0], results[1]);
    }

    // Idle: the engine and every camera stay; no traffic. The empty process sleeps alongside.
    std::cout << "Idle for " << options.idleSeconds << " s with " << plugin.cameraCount()
        << " cameras..." << std::endl;
    std::this_thread::sleep_for(seconds(1));
    FILE* child = startIdleChild(options.idleSeconds);
    const double cpuBefore = processCpuSeconds();
    const auto wallBefore = steady_clock::now();
    std::this_thread::sleep_for(seconds(options.idleSeconds));
    const double cpu = processCpuSeconds() - cpuBefore;
    const double wall = duration<double>(steady_clock::now() - wallBefore).count();
    const double childCpu = readIdleChild(child);

    const double idlePercent = 100.0 * cpu / wall;
    const double emptyPercent = childCpu >= 0 ? 100.0 * childCpu / options.idleSeconds : -1;
    rows.push_back({"idle, engine + " + std::to_string(plugin.cameraCount()) + " cameras, "
            + std::to_string(options.idleSeconds) + " s",
        "CPU, % of one core", fixed(idlePercent, 3) + " %",
        emptyPercent >= 0 ? fixed(emptyPercent, 3) + " % (empty process)" : "n/a", "",
        "<= " + fixed(kTargetIdlePercent, 1) + " %", verdict(idlePercent <= kTargetIdlePercent)});

    std::cout << "Releasing the plugin..." << std::endl;
    plugin.stop();

    std::cout << "\n" << formatTable(rows) << std::flush;
    if (!options.resultsPath.empty() && !appendResults(options.resultsPath, rows))
        throw std::runtime_error("cannot write " + options.resultsPath);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        const Options options = parseOptions(argc, argv);
        if (options.idleChildSeconds >= 0)
            return runIdleChild(options.idleChildSeconds);
        return run(options);
    }
    catch (const std::exception& e)
    {
        std::cerr << "skyloom-bench-e2e: " << e.what() << std::endl;
        return 1;
    }
}
