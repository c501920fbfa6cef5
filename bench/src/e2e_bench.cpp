// The whole road, from a publisher playing the AI engine to the server's handler, with the
// plugin library loaded through the test host, next to a raw ZeroMQ + JSON baseline on the same
// road in the same process and run: flat out, paced, and the knee (the highest paced rate that
// loses nothing); then the service port in its receiver process next to the same units in the
// server's process (CPU of both processes per message, latency, knee); the cost of CurveZMQ,
// encrypted next to plain on the same engine; then the idle cost of the engine with its cameras
// next to an empty process, the release times of the agents and the engine, and the descriptors
// and threads that 256 cameras take. Both roads of a comparison stand ready and take turns
// carrying traffic, round by round.
// Options:
//   --library=PATH      the plugin library (default: the one built with this program)
//   --cameras=1,16,64   camera counts      --idle-seconds=20      --results=FILE
//   --quick             short runs, for a smoke test of the program itself
//   --baseline-contexts=inproc|shared|per-subscriber   (default inproc: the floor)
//   --baseline-parser=simdjson|nlohmann   (default simdjson: the floor)
//   --no-loopback-copy  the engine setting setting::kLoopbackRelay off (default on, as installed)
//   --in-process-receiver   the engine setting setting::kIsolateReceiver off for every run but the
//                       receiver comparison (default on, as installed)
// Internal: --idle-child=SECONDS (the empty process: sleeps, then prints its CPU seconds).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <zmq.h>

#include <skyloom/testhost/ai_engine_publisher.h>
#include <skyloom/testhost/process_readings.h>

#include "baseline_rig.h"
#include "delivery_sink.h"
#include "knee_search.h"
#include "load_runs.h"
#include "plugin_rig.h"
#include "results.h"
#include "site_rig.h"
#include "stamping_run.h"
#include "stats.h"

namespace {

using namespace std::chrono;
using namespace skyloom::bench;

/** The plugin's default, as installed. */
constexpr int kServicePort = setting::kServicePort.defaultValue.number();
constexpr int kBaselineInputPort = 29911;
constexpr int kBaselineOutputPort = 29688;
constexpr size_t kLatencySamples = 4 * 1000 * 1000;
constexpr milliseconds kConnectTimeout{30000};
/** How long to wait for another process to give up the service port. */
constexpr milliseconds kServicePortWait{120000};

/** One frame interval at 25 fps: with the engine's frame time, a box lands on its frame. */
constexpr double kStampingTargetUs = 40000;
constexpr double kAimThroughputRatio = 0.95;
constexpr int kThroughputTargetCameras = 16;
constexpr double kTargetP99Us = 500;
constexpr double kAimP99Ratio = 1.1;
constexpr int kZeroLossTargetCameras = 64;
constexpr double kTargetIdlePercent = 0.02;
constexpr int kKneeCameras = 16;
constexpr double kTargetKneeRatio = 0.9;
/** A paced run whose sends took longer than this times its duration did not offer its rate. */
constexpr double kPaceTolerance = 1.1;
constexpr double kCpuPacedRate = 10000;
constexpr double kTargetReceiverP99ExtraUs = 100;
constexpr double kTargetReleaseMs = 50;
constexpr int kDescriptorCameras = 256;
constexpr int kDescriptorsPerCamera = 2;
constexpr int kDescriptorsPerEngine = 32;
/** One AI engine feeding three servers: their service ports. */
constexpr int kSitePorts[] = {29921, 29922, 29923};
constexpr int kSiteRounds = 2000;
constexpr double kTargetSiteRatio = 0.4;

struct Options
{
    std::string library = SKYLOOM_PLUGIN_PATH;
    std::vector<int> cameras{1, 16, 64};
    int idleSeconds = 20;
    std::string resultsPath;
    int flatOutRounds = 5;
    milliseconds flatOutDuration{1000};
    int pacedRounds = 5;
    milliseconds pacedDuration{1000};
    KneeSearch::Plan knee; //< 5,000 doubling to 320,000 at most, then to within 10 %.
    milliseconds kneeStepDuration{2000};
    int idleChildSeconds = -1;
    BaselineRig::Contexts baselineContexts = BaselineRig::Contexts::inproc;
    BaselineRig::Parser baselineParser = BaselineRig::Parser::simdjson;
    bool loopbackRelay = setting::kLoopbackRelay.defaultValue.isTrue();
    bool isolateReceiver = setting::kIsolateReceiver.defaultValue.isTrue();
    seconds stampingDuration{20}; //< Per way of stamping.
    bool stampingOnly = false;
    bool receiverOnly = false; //< Only the receiver process vs in-process rows.
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
        else if (arg == "--no-loopback-copy")
            options.loopbackRelay = false;
        else if (arg == "--in-process-receiver")
            options.isolateReceiver = false;
        else if (arg == "--stamping-only")
            options.stampingOnly = true;
        else if (arg == "--receiver-only")
            options.receiverOnly = true;
        else if (arg == "--baseline-contexts=inproc")
            options.baselineContexts = BaselineRig::Contexts::inproc;
        else if (arg == "--baseline-contexts=shared")
            options.baselineContexts = BaselineRig::Contexts::shared;
        else if (arg == "--baseline-contexts=per-subscriber")
            options.baselineContexts = BaselineRig::Contexts::perSubscriber;
        else if (arg == "--baseline-parser=simdjson")
            options.baselineParser = BaselineRig::Parser::simdjson;
        else if (arg == "--baseline-parser=nlohmann")
            options.baselineParser = BaselineRig::Parser::nlohmann;
        else if (arg == "--quick")
        {
            options.flatOutRounds = 1;
            options.flatOutDuration = milliseconds(500);
            options.pacedRounds = 1;
            options.pacedDuration = milliseconds(500);
            options.knee = KneeSearch::Plan{20000, 4, 320000, 4};
            options.kneeStepDuration = milliseconds(500);
            options.idleSeconds = 2;
            options.stampingDuration = seconds(3);
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
    double knee = 0; //< Highest paced rate without loss; 0 if even the lowest lost some.
    bool kneeAtCeiling = false; //< The search's highest rate held.

    double medianFlatOutRate() const { return median(flatOutRates); }

    static double median(std::vector<double> values)
    {
        std::sort(values.begin(), values.end());
        return values.empty() ? 0 : values[values.size() / 2];
    }
};

/**
 * Whether the road carries `rate` without loss: all that was sent delivered and drained, with
 * the publisher on its schedule (else the rate was not offered). A rate that loses is run once
 * more and only a second loss counts, so that a moment of load on this shared machine does not
 * end a search.
 */
bool rateHolds(LoadGenerator* load, int cameras, DeliverySink* sink, double rate,
    milliseconds step)
{
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const RunResult run = load->paced(cameras, sink, rate, step);
        std::cout << "." << std::flush;
        const bool keptPace =
            run.sendingSeconds <= kPaceTolerance * duration<double>(step).count();
        if (run.delivered >= run.sent && run.drained && keptPace)
            return true;
    }
    return false;
}

std::string kneeText(double knee, bool atCeiling)
{
    return fixed(knee, 0) + (atCeiling ? " (ceiling)" : "");
}

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
    if (cameras == kKneeCameras)
    {
        // Each road on its own.
        std::cout << " knee" << std::flush;
        for (size_t i = 0; i < roads.size(); ++i)
        {
            KneeSearch search(options.knee);
            while (!search.done())
            {
                search.record(rateHolds(
                    roads[i].load, cameras, sink, search.rate(), options.kneeStepDuration));
            }
            (*results)[i].knee = search.knee();
            (*results)[i].kneeAtCeiling = search.atCeiling();
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
        throughput.target = "aim >= " + fixed(kAimThroughputRatio, 2) + "x";
        throughput.verdict = verdict(baselineRate > 0
            && pluginRate / baselineRate >= kAimThroughputRatio);
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
            row.target = "p99 <= " + fixed(kTargetP99Us, 0) + " us, aim <= "
                + fixed(kAimP99Ratio, 1) + "x";
            row.verdict = verdict(pl.count > 0 && pl.p99Us <= kTargetP99Us)
                + (bl.p99Us > 0 && pl.p99Us / bl.p99Us <= kAimP99Ratio ? "" : " (aim missed)");
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

    if (cameras == kKneeCameras)
    {
        rows->push_back({group, "knee: highest paced rate without loss (msg/s)",
            kneeText(plugin.knee, plugin.kneeAtCeiling),
            kneeText(baseline.knee, baseline.kneeAtCeiling), ratioText(plugin.knee, baseline.knee),
            ">= " + fixed(kTargetKneeRatio, 1) + "x",
            verdict(baseline.knee > 0 && plugin.knee / baseline.knee >= kTargetKneeRatio)});
    }
}

/** Releases of the agents one by one and of the engine, then the process's descriptors and
 * threads with many cameras. The engine is released last; the rig keeps only the plugin. */
void addReleaseAndResourceRows(std::vector<ResultRow>* rows, PluginRig* plugin)
{
    const int cameras = plugin->cameraCount();
    const std::vector<double> releases = plugin->releaseCamerasOneByOne();
    double totalMs = 0;
    double maxMs = 0;
    for (const double ms: releases)
    {
        totalMs += ms;
        maxMs = std::max(maxMs, ms);
    }
    rows->push_back({"release", std::to_string(cameras) + " idle agents one by one: total / max",
        fixed(totalMs, 1) + " / " + fixed(maxMs, 2) + " ms", "", "",
        "<= " + fixed(kTargetReleaseMs, 0) + " ms each", verdict(maxMs <= kTargetReleaseMs)});

    // The engine alone, then with many cameras, then the engine gone: the differences are what
    // the cameras and the engine hold.
    std::this_thread::sleep_for(milliseconds(200)); //< ZeroMQ closes sockets on its own thread.
    const int engineFds = skyloom::testhost::openDescriptorCount();
    const int engineThreads = threadCount();
    plugin->addCameras(kDescriptorCameras);
    std::this_thread::sleep_for(milliseconds(200));
    const int camerasFds = skyloom::testhost::openDescriptorCount();
    const int camerasThreads = threadCount();
    (void) plugin->releaseCamerasOneByOne();
    const double engineReleaseMs = plugin->releaseEngine();
    std::this_thread::sleep_for(milliseconds(200));
    const int noEngineFds = skyloom::testhost::openDescriptorCount();
    const int noEngineThreads = threadCount();

    rows->push_back({"release", "the engine (after its agents)",
        fixed(engineReleaseMs, 2) + " ms", "", "", "<= " + fixed(kTargetReleaseMs, 0) + " ms",
        verdict(engineReleaseMs <= kTargetReleaseMs)});

    const std::string group =
        "resources, engine + " + std::to_string(kDescriptorCameras) + " cameras";
    const int pluginFds = camerasFds - noEngineFds;
    const int limit = kDescriptorsPerCamera * kDescriptorCameras + kDescriptorsPerEngine;
    const double fdsPerCamera = (camerasFds - engineFds) / double(kDescriptorCameras);
    rows->push_back({group, "descriptors: total (per camera, engine)",
        std::to_string(pluginFds) + " (" + fixed(fdsPerCamera, 2) + ", "
            + std::to_string(engineFds - noEngineFds) + ")",
        "", "", "<= " + std::to_string(limit), verdict(pluginFds <= limit)});
    rows->push_back({group, "threads: total (per camera, engine)",
        std::to_string(camerasThreads - noEngineThreads) + " ("
            + fixed((camerasThreads - engineThreads) / double(kDescriptorCameras), 2) + ", "
            + std::to_string(engineThreads - noEngineThreads) + ")",
        "", "", "", ""});
}

/** The working directory (get_current_dir_name's copy freed). */
std::string currentDirectory()
{
    char* const directory = get_current_dir_name();
    const std::string result = directory ? directory : ".";
    std::free(directory);
    return result;
}

void writeText(const std::string& path, const std::string& text)
{
    std::ofstream file(path, std::ios::trunc);
    file << text;
    if (!file)
        throw std::runtime_error("cannot write " + path);
}

/**
 * The cost of CurveZMQ: flat out at kThroughputTargetCameras cameras, rounds alternating between
 * a plain publisher and an encrypted one on the same engine and cameras (the engine's settings
 * switch between them, which makes the service port listen anew; each round waits until its
 * publisher gets through). The median of each is compared.
 */
void addEncryptionRows(
    std::vector<ResultRow>* rows, PluginRig* plugin, DeliverySink* sink, const Options& options)
{
    const int cameras = std::min(kThroughputTargetCameras, plugin->cameraCount());
    char serverPublic[41] = {};
    char serverSecret[41] = {};
    char enginePublic[41] = {};
    char engineSecret[41] = {};
    if (zmq_curve_keypair(serverPublic, serverSecret) != 0
        || zmq_curve_keypair(enginePublic, engineSecret) != 0)
    {
        throw std::runtime_error("no CurveZMQ key pair: libzmq is built without CURVE");
    }
    const std::string directory = currentDirectory() + "/encryption-engines";
    mkdir(directory.c_str(), 0700);
    const std::string serverKey = directory + "/../bench-server.key_secret";
    writeText(serverKey, std::string("curve\n    public-key = \"") + serverPublic
        + "\"\n    secret-key = \"" + serverSecret + "\"\n");
    writeText(directory + "/bench-engine.key",
        std::string("curve\n    public-key = \"") + enginePublic + "\"\n");
    const skyloom::testhost::AiEnginePublisher::CurveKeys keys{
        serverPublic, enginePublic, engineSecret};

    const auto arrivals = [plugin](int camera) { return plugin->arrivals(camera); };
    std::vector<double> plainRates;
    std::vector<double> curveRates;
    std::cout << "  encryption, " << cameras << " cameras: flat out" << std::flush;
    for (int round = 0; round < options.flatOutRounds; ++round)
    {
        for (const bool curve: {false, true})
        {
            plugin->setEngineSettings(curve
                ? std::map<std::string, std::string>{{setting::kCurveSecretKeyFile.name, serverKey},
                    {setting::kAuthorizedEnginesDirectory.name, directory}}
                : std::map<std::string, std::string>{{setting::kCurveSecretKeyFile.name, ""},
                    {setting::kAuthorizedEnginesDirectory.name, ""}});
            // A new publisher each round: libzmq gives up a connection whose handshake failed
            // (a plain one to the encrypted port, or the other way round) for good.
            const auto load = curve
                ? std::make_unique<LoadGenerator>(kServicePort, cameras, keys)
                : std::make_unique<LoadGenerator>(kServicePort, cameras);
            if (!load->waitUntilConnected(cameras, arrivals, kConnectTimeout))
            {
                throw std::runtime_error(std::string(curve ? "encrypted" : "plain")
                    + " messages do not get through");
            }
            const RunResult run = load->flatOut(cameras, sink, options.flatOutDuration);
            (curve ? curveRates : plainRates).push_back(run.deliveredPerSecond());
            std::cout << "." << std::flush;
        }
    }
    std::cout << std::endl;
    plugin->setEngineSettings({{setting::kCurveSecretKeyFile.name, ""},
        {setting::kAuthorizedEnginesDirectory.name, ""}});

    const auto median = [](std::vector<double> rates)
    {
        std::sort(rates.begin(), rates.end());
        return rates.empty() ? 0 : rates[rates.size() / 2];
    };
    const double curveRate = median(curveRates);
    const double plainRate = median(plainRates);
    rows->push_back({"encryption, " + std::to_string(cameras) + " cameras",
        "delivered/s flat out (median), CurveZMQ vs plain", fixed(curveRate, 0),
        fixed(plainRate, 0) + " (plain)", ratioText(curveRate, plainRate), "", ""});
}

/**
 * The stamping error under a simulated engine 100-300 ms late (stamping_run.h), with the
 * camera's "timestampSource" at the engine's frame time next to today's latest frame.
 */
void addStampingRows(std::vector<ResultRow>* rows, PluginRig* plugin, const Options& options)
{
    const std::string latestFrame = setting::kLatestFrameChoice.value;
    const std::string engineFrame = setting::kEngineFrameChoice.value;
    std::cout << "  stamping, " << options.stampingDuration.count() << " s each: "
        << latestFrame << ", " << engineFrame << std::endl;
    const StampingResult latest =
        runStamping(plugin, kServicePort, latestFrame, options.stampingDuration);
    const StampingResult exact =
        runStamping(plugin, kServicePort, engineFrame, options.stampingDuration);
    const std::string group = "stamping, 25 fps, engine 100-300 ms late, "
        + std::to_string(exact.packets) + " + " + std::to_string(latest.packets) + " packets";
    const auto ms = [](double us) { return fixed(us / 1000.0, 1) + " ms"; };
    rows->push_back({group, "error p50, " + engineFrame + " vs " + latestFrame,
        ms(exact.error.p50Us), ms(latest.error.p50Us) + " (" + latestFrame + ")", "", "", ""});
    rows->push_back({group, "error p99, " + engineFrame + " vs " + latestFrame,
        ms(exact.error.p99Us), ms(latest.error.p99Us) + " (" + latestFrame + ")", "",
        "<= " + ms(kStampingTargetUs), verdict(exact.packets > 0
            && exact.error.p99Us <= kStampingTargetUs)});
}

/**
 * One AI engine, three servers (three engines of this plugin, a camera each), and one publisher
 * connected to all three: the bytes each server's service port took for the same messages with
 * setting::kReceiveMessagesFor "allCameras" and "ownCameras", in the same run.
 */
void addSiteRows(std::vector<ResultRow>* rows, PluginRig* plugin)
{
    std::cout << "One AI engine, three servers: " << kSiteRounds
        << " messages per camera in each mode..." << std::endl;
    SiteRig site(plugin->plugin(), std::vector<int>(std::begin(kSitePorts), std::end(kSitePorts)),
        currentDirectory());
    std::vector<SiteRig::Received> results[2];
    const char* const modes[2] = {setting::kAllCameras, setting::kOwnCameras};
    for (int mode = 0; mode < 2; ++mode)
    {
        site.receiveMessagesFor(modes[mode], kConnectTimeout);
        results[mode] = site.send(kSiteRounds);
    }
    const std::string group = "one AI engine, 3 servers, " + std::to_string(kSiteRounds)
        + " messages per camera";
    for (size_t server = 0; server < results[0].size(); ++server)
    {
        const SiteRig::Received& all = results[0][server];
        const SiteRig::Received& own = results[1][server];
        const double ratio = all.bytes > 0 ? own.bytes / all.bytes : 1;
        std::cout << "  server " << server + 1 << ": " << fixed(all.messages, 0) << " messages, "
            << fixed(all.bytes, 0) << " bytes with " << modes[0] << "; "
            << fixed(own.messages, 0) << " messages, " << fixed(own.bytes, 0) << " bytes with "
            << modes[1] << std::endl;
        rows->push_back({group, "server " + std::to_string(server + 1)
                + " bytes received, ownCameras vs allCameras",
            fixed(own.bytes / 1024, 0) + " KiB", fixed(all.bytes / 1024, 0) + " KiB",
            ratioText(own.bytes, all.bytes), "<= " + fixed(kTargetSiteRatio, 1) + "x",
            verdict(all.bytes > 0 && ratio <= kTargetSiteRatio)});
    }
}

/** CPU seconds used so far on the server's side of the road. */
struct ServerCpu
{
    /** This process less the AI engine's side: the calling thread (the publisher's) and the
     * publishers' ZeroMQ threads. */
    double server = 0;
    double receiver = 0; //< The receiver processes.
    std::vector<pid_t> receivers; //< Sorted.
};

ServerCpu readServerCpu()
{
    static const std::string publisherThreads =
        std::to_string(skyloom::testhost::AiEnginePublisher::kThreadNamePrefix) + "/";
    ServerCpu cpu;
    cpu.server =
        processCpuSeconds() - threadCpuSeconds() - namedThreadsCpuSeconds(publisherThreads);
    cpu.receivers = skyloom::testhost::receiverProcesses();
    std::sort(cpu.receivers.begin(), cpu.receivers.end());
    for (const pid_t pid: cpu.receivers)
        cpu.receiver += std::max(0.0, skyloom::testhost::cpuSeconds(pid));
    return cpu;
}

/** CPU time of the server's side over runs, and the messages that those runs delivered. */
struct CpuPerMessage
{
    double serverSeconds = 0;
    double receiverSeconds = 0;
    uint64_t messages = 0;
    int runsLeftOut = 0; //< A receiver process ended during the run: its time is unknown.

    void add(const ServerCpu& before, const ServerCpu& after, uint64_t delivered)
    {
        if (before.receivers != after.receivers)
        {
            ++runsLeftOut;
            return;
        }
        serverSeconds += after.server - before.server;
        receiverSeconds += after.receiver - before.receiver;
        messages += delivered;
    }

    double totalUs() const { return perMessageUs(serverSeconds + receiverSeconds); }
    double receiverUs() const { return perMessageUs(receiverSeconds); }

    /** Both processes' time per message, and the receiver's share if it had one. */
    std::string text() const
    {
        if (messages == 0)
            return "none delivered";
        return fixed(totalUs(), 2) + " us"
            + (receiverSeconds > 0 ? " (" + fixed(receiverUs(), 2) + ")" : "")
            + (runsLeftOut > 0 ? ", " + std::to_string(runsLeftOut) + " runs left out" : "");
    }

private:
    double perMessageUs(double seconds) const
    {
        return messages ? 1e6 * seconds / static_cast<double>(messages) : 0;
    }
};

/** The figures of one place of the service port. */
struct ReceiverModeResults
{
    std::vector<double> flatOutRates;
    CpuPerMessage flatOutCpu;
    CpuPerMessage pacedCpu; //< At kCpuPacedRate.
    RunResult paced; //< At kCpuPacedRate.
    RunResult paced1k;
    double knee = 0;
    bool kneeAtCeiling = false;
};

/**
 * The service port in a receiver process of its own (setting::kIsolateReceiver on, as
 * installed) next to the same units in the server's process, on the same engine and
 * kKneeCameras cameras. Rounds
 * alternate between the two (the setting switches between them, which makes the service port
 * listen anew; each round waits until its messages get through): flat out, paced at
 * kCpuPacedRate, paced at 1,000 a second; the CPU time of the server's process and the receiver
 * process together over each of the first two, per delivered message. Then the knees, the two
 * searches taking turns step by step. The engine is left with options.isolateReceiver.
 */
void addReceiverRows(std::vector<ResultRow>* rows, PluginRig* plugin, LoadGenerator* load,
    DeliverySink* sink, const Options& options)
{
    const int cameras = std::min(kKneeCameras, plugin->cameraCount());
    const auto arrivals = [plugin](int camera) { return plugin->arrivals(camera); };
    constexpr bool kIsolated[] = {true, false};
    ReceiverModeResults results[2];
    const auto use = [&](size_t mode)
    {
        plugin->setIsolateReceiver(kIsolated[mode], kConnectTimeout);
        if (!load->waitUntilConnected(cameras, arrivals, kConnectTimeout))
        {
            throw std::runtime_error(
                std::string(kIsolated[mode] ? "receiver process" : "in-process")
                + ": the messages do not get through");
        }
    };

    std::cout << "  receiver process vs in-process, " << cameras << " cameras: rounds"
        << std::flush;
    for (int round = 0; round < options.flatOutRounds; ++round)
    {
        for (size_t mode = 0; mode < 2; ++mode)
        {
            use(mode);
            ReceiverModeResults& result = results[mode];
            const ServerCpu start = readServerCpu();
            const RunResult flatOut = load->flatOut(cameras, sink, options.flatOutDuration);
            const ServerCpu afterFlatOut = readServerCpu();
            const RunResult paced =
                load->paced(cameras, sink, kCpuPacedRate, options.pacedDuration);
            const ServerCpu afterPaced = readServerCpu();
            result.paced1k.merge(load->paced(cameras, sink, 1000, options.pacedDuration));

            result.flatOutRates.push_back(flatOut.deliveredPerSecond());
            result.flatOutCpu.add(start, afterFlatOut, flatOut.delivered);
            result.pacedCpu.add(afterFlatOut, afterPaced, paced.delivered);
            result.paced.merge(paced);
            std::cout << "." << std::flush;
        }
    }
    std::cout << " knee" << std::flush;
    KneeSearch searches[] = {KneeSearch(options.knee), KneeSearch(options.knee)};
    while (!searches[0].done() || !searches[1].done())
    {
        for (size_t mode = 0; mode < 2; ++mode)
        {
            if (searches[mode].done())
                continue;
            use(mode);
            searches[mode].record(rateHolds(
                load, cameras, sink, searches[mode].rate(), options.kneeStepDuration));
        }
    }
    for (size_t mode = 0; mode < 2; ++mode)
    {
        results[mode].knee = searches[mode].knee();
        results[mode].kneeAtCeiling = searches[mode].atCeiling();
    }
    std::cout << " done" << std::endl;
    plugin->setIsolateReceiver(options.isolateReceiver, kConnectTimeout);

    const ReceiverModeResults& isolated = results[0];
    const ReceiverModeResults& inProcess = results[1];
    const std::string group = "receiver process vs in-process, " + std::to_string(cameras)
        + (cameras == 1 ? " camera" : " cameras");
    const double isolatedRate = RoadResults::median(isolated.flatOutRates);
    const double inProcessRate = RoadResults::median(inProcess.flatOutRates);
    rows->push_back({group, "delivered/s, flat out (median)", fixed(isolatedRate, 0),
        fixed(inProcessRate, 0) + " (in-process)", ratioText(isolatedRate, inProcessRate), "",
        ""});
    rows->push_back({group, "CPU per message, both processes (receiver's), flat out",
        isolated.flatOutCpu.text(), inProcess.flatOutCpu.text(),
        ratioText(isolated.flatOutCpu.totalUs(), inProcess.flatOutCpu.totalUs()), "", ""});
    const std::string pacedRate = fixed(kCpuPacedRate / 1000, 0) + ",000/s";
    rows->push_back({group, "CPU per message, both processes (receiver's), " + pacedRate,
        isolated.pacedCpu.text(), inProcess.pacedCpu.text(),
        ratioText(isolated.pacedCpu.totalUs(), inProcess.pacedCpu.totalUs()), "", ""});
    rows->push_back({group, pacedRate + " loss", lossText(isolated.paced),
        lossText(inProcess.paced), "", "", ""});

    const LatencySummary isolatedLatency = summarize(isolated.paced1k.latenciesUs);
    const LatencySummary inProcessLatency = summarize(inProcess.paced1k.latenciesUs);
    const double extraUs = isolatedLatency.p99Us - inProcessLatency.p99Us;
    rows->push_back({group, "1,000/s latency p50/p99/max", latencyText(isolatedLatency),
        latencyText(inProcessLatency), (extraUs >= 0 ? "+" : "") + fixed(extraUs, 0) + " us (p99)",
        "p99 <= in-process + " + fixed(kTargetReceiverP99ExtraUs, 0) + " us",
        verdict(isolatedLatency.count > 0 && inProcessLatency.count > 0
            && extraUs <= kTargetReceiverP99ExtraUs)});
    rows->push_back({group, "knee: highest paced rate without loss (msg/s)",
        kneeText(isolated.knee, isolated.kneeAtCeiling),
        kneeText(inProcess.knee, inProcess.kneeAtCeiling), ratioText(isolated.knee, inProcess.knee),
        ">= " + fixed(kTargetKneeRatio, 1) + "x",
        verdict(inProcess.knee > 0 && isolated.knee / inProcess.knee >= kTargetKneeRatio)});
}

int run(const Options& options)
{
    DeliverySink::nowUs(); //< Starts the clock of the publish times.

    DeliverySink sink(kLatencySamples);
    std::vector<ResultRow> rows;

    PluginRig plugin(&sink);
    std::cout << "Loading " << options.library << std::endl;
    plugin.start(options.library, kServicePort, kServicePortWait, options.loopbackRelay,
        options.isolateReceiver);
    if (options.stampingOnly)
    {
        addStampingRows(&rows, &plugin, options);
        plugin.stop();
        std::cout << "\n" << formatTable(rows) << std::flush;
        return 0;
    }

    int maxCameras = 0;
    for (int cameras: options.cameras)
        maxCameras = std::max(maxCameras, cameras);
    LoadGenerator pluginLoad(kServicePort, maxCameras);
    // Gone before the idle run: with the baseline rig closed, its publisher would try to
    // reconnect ten times a second, and that is not the plugin's cost.
    auto baselineLoad = std::make_unique<LoadGenerator>(kBaselineInputPort, maxCameras);
    std::cout << "Messages of " << pluginLoad.messageSize() << " bytes; the engine's relay "
        "starts listening about 5 s after the engine is created." << std::endl;

    for (int cameras: options.receiverOnly ? std::vector<int>{} : options.cameras)
    {
        plugin.addCameras(cameras);
        // Both roads stand ready; only one carries traffic at a time.
        BaselineRig baseline(kBaselineInputPort, kBaselineOutputPort, cameras, &sink,
            options.baselineContexts, options.baselineParser);
        const std::vector<Road> roads{
            {"plugin", &pluginLoad, [&plugin](int camera) { return plugin.arrivals(camera); }},
            {"baseline", baselineLoad.get(),
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

    baselineLoad.reset();

    if (options.receiverOnly)
        plugin.addCameras(kKneeCameras);
    addReceiverRows(&rows, &plugin, &pluginLoad, &sink, options);
    if (options.receiverOnly)
    {
        plugin.stop();
        std::cout << "\n" << formatTable(rows) << std::flush;
        return 0;
    }
    addEncryptionRows(&rows, &plugin, &sink, options);
    addSiteRows(&rows, &plugin);
    addStampingRows(&rows, &plugin, options);

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
        "<= " + fixed(kTargetIdlePercent, 2) + " %", verdict(idlePercent <= kTargetIdlePercent)});

    std::cout << "Releasing " << plugin.cameraCount() << " agents one by one, then "
        << kDescriptorCameras << " cameras for their descriptors..." << std::endl;
    addReleaseAndResourceRows(&rows, &plugin);
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
