// skyloom-host: plays the video-management server for an analytics plugin. The main thread
// loads the plugin and makes every call that the server makes (creation, settings, manifests,
// release); a FramePump thread pushes the video frames; the plugin's receive threads hand the
// packets to the handlers, which print them. Usage: --help.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/engine_handler.h>
#include <skyloom/testhost/engine_info.h>
#include <skyloom/testhost/host_ref_countable.h>
#include <skyloom/testhost/log_file.h>
#include <skyloom/testhost/metadata_types.h>
#include <skyloom/testhost/plugin_library.h>
#include <skyloom/testhost/utility_provider.h>

#include "collector.h"
#include "host_options.h"
#include "host_threads.h"
#include "packet_view.h"
#include "plugin_settings.h"
#include "svg_view.h"

namespace {

using namespace skyloom::host;
using namespace skyloom::testhost;
using nx::sdk::Ptr;
using nx::sdk::analytics::IDeviceAgent;
using nx::sdk::analytics::IEngine;
using nx::sdk::analytics::IPlugin;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kExitFailed = 1;
constexpr int kExitBadArguments = 2;
constexpr std::chrono::milliseconds kPollStep{100};
constexpr std::chrono::seconds kRegistryWait{5};
constexpr std::chrono::seconds kProgressInterval{5};
constexpr const char* kPluginFileName = "libskyloom_analytics_plugin.so";

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int)
{
    g_interrupted = 1;
}

/**
 * Every line of the host goes through here: packet lines come from the plugin's receive
 * threads, the rest from the main thread. With --json, standard output carries JSON Lines only
 * and the host's own lines go to standard error.
 */
class Output
{
public:
    Output(bool json, bool quiet): m_json(json), m_quiet(quiet) {}

    void packet(const PacketEvent& event)
    {
        if (m_quiet)
            return;
        const std::string line = m_json ? packetJsonLine(event) : packetLine(event);
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::cout << line << std::endl;
    }

    void status(const std::string& text)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        (m_json ? std::cerr : std::cout) << "skyloom-host: " << text << std::endl;
    }

    void error(const std::string& text)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::cerr << "skyloom-host: " << text << std::endl;
    }

    /** A block of text for people: the summary. */
    void block(const std::string& text)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        (m_json ? std::cerr : std::cout) << text << std::flush;
    }

    void jsonLine(const nlohmann::json& json)
    {
        if (!m_json)
            return;
        const std::lock_guard<std::mutex> lock(m_mutex);
        std::cout << json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
            << std::endl;
    }

private:
    const bool m_json;
    const bool m_quiet;
    std::mutex m_mutex;
};

/** Thrown for failures that end the run early; the exit status travels with it. */
struct RunFailure
{
    int status;
    std::string text;
};

std::string executableDir()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.parent_path().string();
}

/**
 * The given path; else SKYLOOM_PLUGIN_PATH; else the library installed beside the tool
 * (../SKYLOOM_PLUGIN_INSTALL_DIR); else the plugin of the build tree the tool was built in.
 */
std::string resolvePluginPath(const HostOptions& options)
{
    if (!options.pluginPath.empty())
        return options.pluginPath;
    if (const char* fromEnvironment = std::getenv("SKYLOOM_PLUGIN_PATH"))
    {
        if (fromEnvironment[0] != '\0')
            return fromEnvironment;
    }
    if (const std::string dir = executableDir(); !dir.empty())
    {
        const fs::path installed =
            fs::path(dir) / ".." / SKYLOOM_PLUGIN_INSTALL_DIR / kPluginFileName;
        if (fs::exists(installed))
            return fs::weakly_canonical(installed).string();
    }
    if (const std::string path = defaultPluginPath(); !path.empty() && fs::exists(path))
        return path;
    return {};
}

std::string readTextFile(const std::string& path)
{
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        throw RunFailure{kExitBadArguments, "cannot read " + path + ": "
            + (errno != 0 ? std::strerror(errno) : "cannot open it")};
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<Expectation> loadExpectations(const std::string& path)
{
    if (path.empty())
        return {};
    ParsedExpectations parsed = parseExpectations(readTextFile(path));
    if (!parsed.error.empty())
        throw RunFailure{kExitBadArguments, path + ": " + parsed.error};
    return std::move(parsed.expectations);
}

void prepareSvgDir(const std::string& dir)
{
    if (dir.empty())
        return;
    std::error_code error;
    fs::create_directories(dir, error);
    if (error || !fs::is_directory(dir))
        throw RunFailure{kExitBadArguments, "cannot create the SVG directory " + dir};
}

/** "12 packets (3 events, 9 object packets), 40 messages relayed" so far. */
std::string progressText(const RunStats& stats)
{
    int64_t packets = 0;
    int64_t events = 0;
    int64_t relayed = stats.relayedForUnknownCameras;
    for (const CameraStats& camera: stats.cameras)
    {
        packets += camera.packets;
        events += camera.eventPackets;
        relayed += camera.relayed;
    }
    return std::to_string(packets) + " packets (" + std::to_string(events) + " events, "
        + std::to_string(packets - events) + " object packets), " + std::to_string(relayed)
        + " messages relayed so far";
}

std::string settingsText(const SettingsMap& settings)
{
    std::string text;
    for (const auto& [key, value]: settings)
        text += (text.empty() ? "" : " ") + key + "=" + value;
    return text;
}

void check(const CallStatus& status, const std::string& what)
{
    if (!status.isOk())
    {
        throw RunFailure{kExitFailed, what + " failed: error "
            + std::to_string(static_cast<int>(status.errorCode)) + " " + status.errorMessage};
    }
}

struct Camera
{
    std::string id;
    Ptr<DeviceInfo> info;
    Ptr<DeviceAgentHandler> handler;
    Ptr<IDeviceAgent> agent;
};

/** The server's side of one run: the objects it made and the plugin's objects it holds. */
class Host
{
public:
    Host(const HostOptions& options, Output* output, Collector* collector):
        m_options(options), m_output(output), m_collector(collector)
    {
    }

    void load(const std::string& path);
    void createEngine();
    void createCameras();
    void run();
    void release();

    /** Registry and host-object check after release(); false when something leaked. */
    bool checkBalance(nlohmann::json* outJson);

    std::vector<Camera>& cameras() { return m_cameras; }

private:
    void waitUntilReady(const Clock::time_point& deadline);
    bool readyOrFailed(LogFile* log);
    void printDiagnostics();

private:
    const HostOptions& m_options;
    Output* const m_output;
    Collector* const m_collector;

    PluginLibrary m_library;
    Ptr<UtilityProvider> m_utilityProvider = nx::sdk::makePtr<UtilityProvider>();
    Ptr<EngineInfo> m_engineInfo = nx::sdk::makePtr<EngineInfo>();
    Ptr<EngineHandler> m_engineHandler = nx::sdk::makePtr<EngineHandler>();
    Ptr<IPlugin> m_plugin;
    Ptr<IEngine> m_engine;
    SettingsMap m_agentSettingsModel;
    std::vector<Camera> m_cameras;
    size_t m_engineEventsPrinted = 0;
};

void Host::load(const std::string& path)
{
    if (path.empty())
    {
        throw RunFailure{kExitBadArguments,
            "no plugin library given, and none found next to the tool (give PLUGIN.so)"};
    }
    if (!fs::is_regular_file(path))
        throw RunFailure{kExitBadArguments, "no such plugin library: " + path};
    if (!m_library.load(path))
        throw RunFailure{kExitBadArguments, path + " is not a plugin: " + m_library.errorText()};
    m_plugin = m_library.createPlugin(m_utilityProvider.get());
    if (!m_plugin)
        throw RunFailure{kExitBadArguments, path + " is not a plugin: " + m_library.errorText()};
    m_output->status("loaded " + path + " (SDK " + m_library.sdkVersion() + ")");
}

void Host::createEngine()
{
    const ManifestResult pluginManifest = getManifest(m_plugin.get());
    check(pluginManifest, "the plugin manifest");
    SettingsMap engineSettings = settingDefaults(pluginManifest.manifest, "engineSettingsModel");
    engineSettings["ServicePort"] = std::to_string(m_options.port);
    for (const auto& [key, value]: m_options.engineSettings)
        engineSettings[key] = value;

    Obtained<IEngine> engine = obtainEngine(m_plugin.get());
    check(engine, "obtaining the engine");
    if (!engine.object)
        throw RunFailure{kExitFailed, "the plugin gave no engine"};
    m_engine = engine.object;
    m_engine->setEngineInfo(m_engineInfo.get());
    m_engine->setHandler(m_engineHandler.get());

    const ManifestResult engineManifest = getManifest(m_engine.get());
    check(engineManifest, "the engine manifest");
    m_agentSettingsModel = settingDefaults(engineManifest.manifest, "deviceAgentSettingsModel");
    const SettingsResult applied = doSetSettings(m_engine.get(), engineSettings);
    check(applied, "the engine settings");
    for (const auto& [key, error]: applied.errors)
        m_output->status("engine setting " + key + " refused: " + error);
    m_output->status("engine settings: " + settingsText(engineSettings));
}

void Host::createCameras()
{
    for (const auto& [key, value]: m_options.settings)
    {
        if (m_agentSettingsModel.count(key) == 0)
            m_output->error("warning: --set " + key + ": not in the plugin's settings model");
    }
    const SettingsMap settings = mergedSettings(m_agentSettingsModel, m_options.settings);
    m_output->status("per-camera settings: " + settingsText(settings));

    for (size_t i = 0; i < m_options.cameraIds.size(); ++i)
    {
        Camera camera;
        camera.id = m_options.cameraIds[i];
        DeviceInfo::Fields fields;
        fields.id = camera.id;
        fields.name = "Camera " + std::to_string(i + 1);
        fields.sharedId = "camera-" + std::to_string(i + 1);
        fields.logicalId = std::to_string(i + 1);
        camera.info = nx::sdk::makePtr<DeviceInfo>(fields);
        camera.handler = nx::sdk::makePtr<DeviceAgentHandler>();
        camera.handler->setPacketCallback(
            [this, i, id = camera.id](const MetadataPacketRecord& packet)
            {
                m_collector->addPacket(i, packet);
                m_output->packet(PacketEvent{static_cast<int>(i + 1), id, packet});
            });

        Obtained<IDeviceAgent> agent = obtainDeviceAgent(m_engine.get(), camera.info.get());
        check(agent, "obtaining the device agent of camera " + std::to_string(i + 1));
        if (!agent.object)
            throw RunFailure{kExitFailed, "the engine gave no device agent"};
        camera.agent = agent.object;
        camera.agent->setHandler(camera.handler.get());
        check(doSetSettings(camera.agent.get(), settings), "the settings of camera "
            + std::to_string(i + 1));
        const ManifestResult manifest = getManifest(camera.agent.get());
        check(manifest, "the device agent manifest");
        const auto metadataTypes = nx::sdk::makePtr<MetadataTypes>();
        check(doSetNeededMetadataTypes(camera.agent.get(), metadataTypes.get()),
            "the needed metadata types");
        m_output->status("camera " + std::to_string(i + 1) + ": " + camera.id + ", "
            + manifestSummary(manifest.manifest) + "; the AI engine must begin its messages with "
            + RelayTap::subscriptionPrefix(camera.id));
        m_cameras.push_back(std::move(camera));
    }
}

/**
 * Ready once the relay's log shows the bind of the service port: the cameras hear the relay
 * in-process from then on. A failed bind of the service port ends the run. The loopback copy
 * that the relay tap watches is not waited for: its failure reaches the engine's diagnostic
 * events, which are printed, and leaves the cameras unaffected (only the tap counts nothing).
 */
bool Host::readyOrFailed(LogFile* log)
{
    const std::string bindLine = "threadFuncZeromqLoop bind ";
    const std::string serviceEndpoint = "tcp://*:" + std::to_string(m_options.port);
    bool serviceBound = false;
    for (const std::string& line: log->lines())
    {
        const size_t at = line.find(bindLine);
        if (at == std::string::npos)
            continue;
        const std::string rest = line.substr(at + bindLine.size());
        const size_t failed = rest.find(" failed");
        const std::string endpoint = rest.substr(0, failed);
        if (failed != std::string::npos && endpoint == serviceEndpoint)
        {
            throw RunFailure{kExitFailed, "the plugin cannot listen on port "
                + std::to_string(m_options.port) + rest.substr(failed + 7)};
        }
        serviceBound = serviceBound || (failed == std::string::npos && endpoint == serviceEndpoint);
    }
    return serviceBound;
}

void Host::waitUntilReady(const Clock::time_point& deadline)
{
    LogFile log;
    while (!g_interrupted)
    {
        if (readyOrFailed(&log))
        {
            m_output->status("ready: the plugin listens on tcp://*:"
                + std::to_string(m_options.port));
            return;
        }
        printDiagnostics();
        if (Clock::now() >= deadline)
        {
            m_output->error("warning: the plugin did not report listening on port "
                + std::to_string(m_options.port) + " (see " + log.path() + ")");
            return;
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

void Host::printDiagnostics()
{
    const std::vector<DiagnosticEventRecord> events = m_engineHandler->events();
    for (; m_engineEventsPrinted < events.size(); ++m_engineEventsPrinted)
    {
        const DiagnosticEventRecord& event = events[m_engineEventsPrinted];
        m_output->error("engine diagnostic (level " + std::to_string(static_cast<int>(event.level))
            + "): " + event.caption + ": " + event.description);
    }
    for (size_t i = 0; i < m_cameras.size(); ++i)
    {
        // The records are only kept for the diagnostic events: the callback has already
        // handled every packet, so the list is emptied to keep memory flat on long runs.
        const DeviceAgentRecords records = m_cameras[i].handler->snapshot();
        m_cameras[i].handler->clear();
        for (const DiagnosticEventRecord& event: records.diagnosticEvents)
        {
            m_output->error("camera " + std::to_string(i + 1) + " diagnostic (level "
                + std::to_string(static_cast<int>(event.level)) + "): " + event.caption + ": "
                + event.description);
        }
    }
}

void Host::run()
{
    std::vector<Ptr<IDeviceAgent>> agents;
    std::vector<std::string> ids;
    for (const Camera& camera: m_cameras)
    {
        agents.push_back(camera.agent);
        ids.push_back(camera.id);
    }
    const auto start = Clock::now();
    FramePump pump(std::move(agents), m_options.fps);
    RelayTap tap(ids, &pump, m_collector);
    waitUntilReady(start + std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(m_options.readyTimeoutS)));

    const auto end = start + std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(m_options.durationS));
    auto nextProgress = Clock::now() + kProgressInterval;
    while (!g_interrupted && (m_options.durationS <= 0 || Clock::now() < end))
    {
        printDiagnostics();
        std::this_thread::sleep_for(kPollStep);
        // Without a line per packet, a long run still shows that it is alive.
        if (m_options.quiet && Clock::now() >= nextProgress)
        {
            nextProgress = Clock::now() + kProgressInterval;
            m_output->status(progressText(m_collector->snapshot()));
        }
    }
    tap.stop();
    pump.stop();
    printDiagnostics();
    if (const std::string error = pump.firstError(); !error.empty())
        m_output->error(error);
    m_output->status("stopping after " + std::to_string(pump.framesPushed()) + " frames");
}

void Host::release()
{
    // As the server does: device agents first (each joins its receive thread), then the
    // engine (joins its relay), then the plugin.
    for (Camera& camera: m_cameras)
        camera.agent.reset();
    printDiagnostics();
    m_engine.reset();
    m_plugin.reset();
    printDiagnostics();
}

bool Host::checkBalance(nlohmann::json* outJson)
{
    const auto stats = m_library.registryStats();
    if (!stats)
        return true;
    const bool balanced = stats->waitUntilBalanced(kRegistryWait) && stats->anomalies() == 0;
    m_cameras.clear();
    m_engineHandler.reset();
    m_engineInfo.reset();
    m_utilityProvider.reset();
    const int64_t hostObjects = hostObjectsAlive();
    m_output->status("registry: " + std::to_string(stats->created()) + " plugin objects created, "
        + std::to_string(stats->destroyed()) + " destroyed, " + std::to_string(stats->alive())
        + " alive, " + std::to_string(stats->anomalies()) + " anomalies; "
        + std::to_string(hostObjects) + " host objects still referenced: "
        + (balanced && hostObjects == 0 ? "balanced" : "UNBALANCED"));
    (*outJson)["registry"] = {{"created", stats->created()}, {"destroyed", stats->destroyed()},
        {"alive", stats->alive()}, {"anomalies", stats->anomalies()},
        {"hostObjectsAlive", hostObjects}, {"balanced", balanced && hostObjects == 0}};
    return balanced && hostObjects == 0;
}

void writeSvgs(const std::string& dir, const RunStats& stats, Output* output)
{
    if (dir.empty())
        return;
    for (size_t i = 0; i < stats.cameras.size(); ++i)
    {
        const fs::path path = fs::path(dir) / ("camera-" + std::to_string(i + 1) + ".svg");
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << renderCameraSvg(static_cast<int>(i + 1), stats.cameras[i]);
        if (!file)
            output->error("cannot write " + path.string());
        else
            output->status("wrote " + path.string());
    }
}

nlohmann::json summaryJson(const RunStats& stats, const std::vector<std::string>& unmet)
{
    nlohmann::json cameras = nlohmann::json::array();
    for (const CameraStats& camera: stats.cameras)
    {
        cameras.push_back({{"cameraId", camera.cameraId}, {"packets", camera.packets},
            {"objectPackets", camera.objectPackets}, {"objects", camera.objects},
            {"eventPackets", camera.eventPackets}, {"events", camera.events},
            {"relayed", camera.relayed},
            {"relayedBeforeFirstFrame", camera.relayedBeforeFirstFrame},
            {"itemsByType", camera.itemsByType}});
    }
    return {{"cameras", cameras}, {"relayedForUnknownCameras", stats.relayedForUnknownCameras},
        {"unmetExpectations", unmet}};
}

int finish(Host* host, Collector* collector, const HostOptions& options, Output* output)
{
    const RunStats stats = collector->snapshot();
    output->block("\n" + summaryText(stats));
    writeSvgs(options.svgDir, stats, output);

    const std::vector<std::string> unmet = unmetExpectations(stats, collector->expectations());
    if (!collector->expectations().empty())
    {
        output->status(std::to_string(collector->expectations().size()) + " expectations per "
            "camera: " + (unmet.empty() ? std::string("all met")
                : std::to_string(unmet.size()) + " missing"));
        for (const std::string& line: unmet)
            output->error("missing: " + line);
    }
    nlohmann::json summary = summaryJson(stats, unmet);
    const bool balanced = host->checkBalance(&summary);
    output->jsonLine({{"summary", summary}});
    return unmet.empty() && balanced ? 0 : kExitFailed;
}

int run(const HostOptions& options)
{
    Output output(options.json, options.quiet);
    try
    {
        Collector collector(options.cameraIds, loadExpectations(options.expectPath));
        prepareSvgDir(options.svgDir);
        Host host(options, &output, &collector);
        host.load(resolvePluginPath(options));
        try
        {
            host.createEngine();
            host.createCameras();
            host.run();
        }
        catch (const RunFailure& failure)
        {
            output.error(failure.text);
            host.release();
            finish(&host, &collector, options, &output);
            return failure.status;
        }
        host.release();
        return finish(&host, &collector, options, &output);
    }
    catch (const RunFailure& failure)
    {
        output.error(failure.text);
        return failure.status;
    }
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        const ParsedHostArgs parsed =
            parseHostArgs(std::vector<std::string>(argv + 1, argv + argc));
        if (!parsed.options)
        {
            std::cerr << "skyloom-host: " << parsed.error << std::endl;
            return kExitBadArguments;
        }
        if (parsed.options->help)
        {
            std::cout << hostUsage();
            return 0;
        }
        if (parsed.options->version)
        {
            std::cout << "skyloom-host " << SKYLOOM_VERSION << std::endl;
            return 0;
        }
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        return run(*parsed.options);
    }
    catch (const std::exception& e)
    {
        std::cerr << "skyloom-host: unexpected error: " << e.what() << std::endl;
        return kExitFailed;
    }
}
