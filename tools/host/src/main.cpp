// skyloom-host: plays the video-management server for an analytics plugin. The main thread
// loads the plugin and makes every call that the server makes (creation, settings, manifests,
// release), watches the plugin's diagnostic events and, after the release, reads the plugin's
// counters from its metrics file; a FramePump thread pushes the video frames; the plugin's
// receive threads hand the packets to the handlers, which print them. Usage: --help.

#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
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
#include <skyloom/testhost/metadata_types.h>
#include <skyloom/testhost/plugin_library.h>
#include <skyloom/testhost/utility_provider.h>

#include "collector.h"
#include "host_options.h"
#include "health/event_captions.h"
#include "host_threads.h"
#include "interruption.h"
#include "metrics_text.h"
#include "packet_view.h"
#include "plugin_settings.h"
#include "settings/settings_table.h"
#include "svg_view.h"

namespace {

using namespace skyloom::host;
using namespace skyloom::testhost;
using skyloom::tools::interrupted;
using skyloom::tools::stopOnSignals;
using nx::sdk::Ptr;
using nx::sdk::analytics::IDeviceAgent;
using nx::sdk::analytics::IEngine;
using nx::sdk::analytics::IPlugin;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace setting = nx::vms_server_plugins::analytics::sample::setting;

constexpr int kExitFailed = 1;
constexpr int kExitBadArguments = 2;
constexpr std::chrono::milliseconds kPollStep{100};
constexpr std::chrono::seconds kRegistryWait{5};
constexpr std::chrono::seconds kProgressInterval{5};
constexpr const char* kPluginFileName = "libskyloom_analytics_plugin.so";
namespace captions = nx::vms_server_plugins::analytics::sample;
using captions::kListeningCaption;

/**
 * Every line of the host goes through here: packet lines come from the plugin's receive
 * threads, the rest from the main thread. With --json, standard output carries JSON Lines only
 * and the host's own lines go to standard error; so do they once standard output is closed (the
 * run then ends as on Ctrl-C, and the summary must still be seen).
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
        ownLines() << "skyloom-host: " << text << std::endl;
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
        ownLines() << text << std::flush;
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
    std::ostream& ownLines() const
    {
        return m_json || skyloom::tools::outputClosed() ? std::cerr : std::cout;
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

/**
 * "12 packets (3 events, 9 object packets) so far", and the plugin's count of the messages it
 * took from the AI engine when its metrics file can be read, with how old that count is (the
 * file is written every 15 s: a count of 0 while packets arrive is an old one).
 */
std::string progressText(const RunStats& stats, const std::optional<PluginCounters>& counters)
{
    int64_t packets = 0;
    int64_t events = 0;
    for (const CameraStats& camera: stats.cameras)
    {
        packets += camera.packets;
        events += camera.eventPackets;
    }
    std::string text = std::to_string(packets) + " packets (" + std::to_string(events)
        + " events, " + std::to_string(packets - events) + " object packets) so far";
    if (counters)
    {
        const double nowS = std::chrono::duration<double>(
            std::chrono::system_clock::now().time_since_epoch()).count();
        text += "; " + receivedText(*counters, nowS);
    }
    return text;
}

/**
 * A directory of the host's own (mkdtemp under $TMPDIR, else /tmp) for the plugin's metrics
 * file; removed with everything in it when the object goes. Empty path when none could be made.
 */
class PrivateDir
{
public:
    PrivateDir()
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            (tmp && tmp[0] != '\0' ? std::string(tmp) : std::string("/tmp"))
            + "/skyloom-host.XXXXXX";
        // The plugin takes only an absolute path; a relative TMPDIR is made one.
        if (mkdtemp(pattern.data()))
            m_path = fs::absolute(pattern).string();
        else
            m_error = pattern + ": " + std::strerror(errno);
    }

    ~PrivateDir()
    {
        if (m_path.empty())
            return;
        std::error_code error;
        fs::remove_all(m_path, error);
    }

    PrivateDir(const PrivateDir&) = delete;
    PrivateDir& operator=(const PrivateDir&) = delete;

    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_error; }

private:
    std::string m_path;
    std::string m_error;
};

/** The plugin's counters from its metrics file; an error line when it cannot be read. */
ReadCounters readCounters(const std::string& path)
{
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file)
    {
        return {std::nullopt, "cannot read the plugin's metrics file " + path + ": "
            + (errno != 0 ? std::strerror(errno) : "cannot open it")};
    }
    std::ostringstream text;
    text << file.rdbuf();
    ReadCounters counters = countersFromMetrics(text.str());
    if (!counters.counters)
        counters.error = "the plugin's metrics file " + path + ": " + counters.error;
    return counters;
}

std::string settingsText(const SettingsMap& settings)
{
    std::string text;
    for (const auto& [key, value]: settings)
        text += (text.empty() ? "" : " ") + key + "=" + value;
    return text;
}

const char* levelName(nx::sdk::IPluginDiagnosticEvent::Level level)
{
    using Level = nx::sdk::IPluginDiagnosticEvent::Level;
    switch (level)
    {
        case Level::info: return "info";
        case Level::warning: return "warning";
        case Level::error: return "error";
    }
    return "unknown level";
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
    /** metricsPath: where the plugin is asked to write its metrics; empty: not asked. */
    Host(const HostOptions& options, Output* output, Collector* collector,
        std::string metricsPath):
        m_options(options), m_output(output), m_collector(collector),
        m_askedMetricsPath(std::move(metricsPath))
    {
    }

    void load(const std::string& path);
    void createEngine();
    void createCameras();
    void run();
    void release();

    /** After release(): waits (a while) until the plugin has destroyed its objects. */
    void waitForPluginObjects();

    /**
     * The metrics file the engine was given (its last write is at the engine's release); empty
     * when no engine was set up with one.
     */
    const std::string& metricsPath() const { return m_metricsPath; }

    /** Whether the plugin reported listening: only then has its relay counted anything. */
    bool wasReady() const { return !m_listeningEndpoint.empty(); }

    /** Registry and host-object check after release(); false when something leaked. */
    bool checkBalance(nlohmann::json* outJson);

    std::vector<Camera>& cameras() { return m_cameras; }

    /**
     * Per camera, the latest of the plugin's advice on its timestamps ("Suggested timestamp
     * correction" or the engine's clock on another timeline), caption and description; empty
     * when there was none.
     */
    const std::vector<std::string>& timestampAdvice() const { return m_timestampAdvice; }

private:
    void waitUntilReady(const Clock::time_point& deadline);
    void printDiagnostics();
    void failOnErrorEvent() const;
    void failOnRefusedSettings(const SettingsResult& applied, const std::string& whose) const;

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
    const std::string m_askedMetricsPath;
    std::string m_metricsPath; //< Set once the engine has taken its settings.
    size_t m_engineEventsPrinted = 0;
    std::string m_listeningEndpoint; //< Of the latest "Listening for the AI engine" event.
    std::string m_errorEvent; //< The first error-level event, as text.
    std::vector<std::string> m_timestampAdvice; //< Per camera.
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
    engineSettings[setting::kServicePort.name] = std::to_string(m_options.port);
    if (!m_askedMetricsPath.empty())
        engineSettings[setting::kMetricsFile.name] = m_askedMetricsPath;
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
    // A file the user names is read (and kept); an empty one switches the file off.
    const char* const metricsSetting = setting::kMetricsFile.name;
    if (engineSettings.count(metricsSetting) != 0 && applied.errors.count(metricsSetting) == 0)
        m_metricsPath = engineSettings[metricsSetting];
    m_output->status("engine settings: " + settingsText(engineSettings));
    failOnRefusedSettings(applied, "engine");
}

/**
 * A refused setting leaves the plugin on its previous value (a port other than the one asked
 * for, say): a run on settings other than those given would mislead, so it ends here.
 */
void Host::failOnRefusedSettings(const SettingsResult& applied, const std::string& whose) const
{
    if (applied.errors.empty())
        return;
    std::string refused;
    for (const auto& [key, error]: applied.errors)
        refused += (refused.empty() ? "" : "; ") + key + ": " + error;
    throw RunFailure{kExitBadArguments, "the plugin refused " + whose + " setting"
        + (applied.errors.size() == 1 ? "" : "s") + " (" + refused + ")"};
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
        const std::string cameraName = "camera " + std::to_string(i + 1);
        const SettingsResult applied = doSetSettings(camera.agent.get(), settings);
        check(applied, "the settings of " + cameraName);
        failOnRefusedSettings(applied, cameraName);
        const ManifestResult manifest = getManifest(camera.agent.get());
        check(manifest, "the device agent manifest");
        const auto metadataTypes = nx::sdk::makePtr<MetadataTypes>();
        check(doSetNeededMetadataTypes(camera.agent.get(), metadataTypes.get()),
            "the needed metadata types");
        m_output->status("camera " + std::to_string(i + 1) + ": " + camera.id + ", "
            + manifestSummary(manifest.manifest) + "; the AI engine must begin its messages with "
            + subscriptionPrefix(camera.id));
        m_cameras.push_back(std::move(camera));
    }
}

/**
 * Ready at the engine's event "Listening for the AI engine", whose description is the endpoint
 * as ZeroMQ bound it: the cameras hear the relay in-process from then on. Neither the plugin's
 * log file (which a read-only working directory keeps from being written) nor the diagnostic
 * copy (whose endpoint the description names after the service port's) is needed for it. An
 * error-level event of the plugin, or no such event within the ready timeout, ends the run.
 */
void Host::waitUntilReady(const Clock::time_point& deadline)
{
    while (!interrupted())
    {
        printDiagnostics();
        failOnErrorEvent();
        if (!m_listeningEndpoint.empty())
        {
            m_output->status("ready: the plugin listens on " + m_listeningEndpoint);
            return;
        }
        if (Clock::now() >= deadline)
        {
            std::ostringstream seconds;
            seconds << m_options.readyTimeoutS;
            throw RunFailure{kExitFailed, "the plugin did not report listening for the AI "
                "engine (event \"" + std::string(kListeningCaption) + "\") within "
                + seconds.str() + " s"};
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

void Host::failOnErrorEvent() const
{
    if (!m_errorEvent.empty())
        throw RunFailure{kExitFailed, "the plugin reports an error: " + m_errorEvent};
}

void Host::printDiagnostics()
{
    using Level = nx::sdk::IPluginDiagnosticEvent::Level;
    const auto note = [this](const DiagnosticEventRecord& event, const std::string& source)
    {
        m_output->error(source + " diagnostic (" + levelName(event.level) + "): "
            + event.caption + ": " + event.description);
        if (event.level == Level::error && m_errorEvent.empty())
            m_errorEvent = source + ": " + event.caption + ": " + event.description;
    };
    const std::vector<DiagnosticEventRecord> events = m_engineHandler->events();
    for (; m_engineEventsPrinted < events.size(); ++m_engineEventsPrinted)
    {
        const DiagnosticEventRecord& event = events[m_engineEventsPrinted];
        note(event, "engine");
        if (event.caption == kListeningCaption && event.level == Level::info)
            m_listeningEndpoint = event.description;
    }
    m_timestampAdvice.resize(m_cameras.size());
    for (size_t i = 0; i < m_cameras.size(); ++i)
    {
        // The records are only kept for the diagnostic events: the callback has already
        // handled every packet, so the list is emptied to keep memory flat on long runs.
        const DeviceAgentRecords records = m_cameras[i].handler->snapshot();
        m_cameras[i].handler->clear();
        for (const DiagnosticEventRecord& event: records.diagnosticEvents)
        {
            note(event, "camera " + std::to_string(i + 1));
            if (event.caption == captions::kSuggestedCorrectionCaption
                || event.caption == captions::kOtherClockCaption)
            {
                m_timestampAdvice[i] = event.caption + ": " + event.description;
            }
        }
    }
}

void Host::run()
{
    std::vector<Ptr<IDeviceAgent>> agents;
    for (const Camera& camera: m_cameras)
        agents.push_back(camera.agent);
    const auto start = Clock::now();
    FramePump pump(std::move(agents), m_options.fps);
    waitUntilReady(start + std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(m_options.readyTimeoutS)));

    const auto end = start + std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(m_options.durationS));
    auto nextProgress = Clock::now() + kProgressInterval;
    while (!interrupted() && (m_options.durationS <= 0 || Clock::now() < end))
    {
        printDiagnostics();
        failOnErrorEvent();
        std::this_thread::sleep_for(kPollStep);
        // Without a line per packet, a long run still shows that it is alive.
        if (m_options.quiet && Clock::now() >= nextProgress)
        {
            nextProgress = Clock::now() + kProgressInterval;
            const std::optional<PluginCounters> counters = m_metricsPath.empty()
                ? std::nullopt : readCounters(m_metricsPath).counters;
            m_output->status(progressText(m_collector->snapshot(), counters));
        }
    }
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

void Host::waitForPluginObjects()
{
    if (const auto stats = m_library.registryStats())
        (void) stats->waitUntilBalanced(kRegistryWait);
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

nlohmann::json cameraCountersJson(const PluginCounters& counters, const std::string& cameraId)
{
    const auto found = counters.cameras.find(unbracedCameraId(cameraId));
    const CameraCounts counts = found == counters.cameras.end() ? CameraCounts() : found->second;
    nlohmann::json drops = nlohmann::json::object();
    for (const auto& [reason, count]: counts.drops)
    {
        if (count > 0)
            drops[reason] = count;
    }
    return {{"received", counts.received}, {"converted", counts.converted},
        {"objectPackets", counts.objectPackets}, {"eventPackets", counts.eventPackets},
        {"lastMessageS", counts.lastMessageS}, {"drops", drops},
        {"engineDelayMedianS", counts.engineDelayMedianS
            ? nlohmann::json(*counts.engineDelayMedianS) : nlohmann::json()},
        {"engineDelayP95S", counts.engineDelayP95S
            ? nlohmann::json(*counts.engineDelayP95S) : nlohmann::json()},
        {"engineDelayState", counts.engineDelayState},
        {"withoutEngineTime", counts.withoutEngineTime},
        {"outsideFrameHistory", counts.outsideFrameHistory}};
}

/** The advice of camera `index` (Host::timestampAdvice()), or "" when there was none. */
std::string adviceOf(const std::vector<std::string>& advice, size_t index)
{
    return index < advice.size() ? advice[index] : std::string();
}

nlohmann::json summaryJson(const RunStats& stats, const std::vector<std::string>& unmet,
    const ReadCounters& counters, const std::vector<std::string>& timestampAdvice)
{
    nlohmann::json cameras = nlohmann::json::array();
    for (size_t i = 0; i < stats.cameras.size(); ++i)
    {
        const CameraStats& camera = stats.cameras[i];
        const std::string advice = adviceOf(timestampAdvice, i);
        cameras.push_back({{"cameraId", camera.cameraId}, {"packets", camera.packets},
            {"objectPackets", camera.objectPackets}, {"objects", camera.objects},
            {"eventPackets", camera.eventPackets}, {"events", camera.events},
            {"itemsByType", camera.itemsByType},
            {"counters", counters.counters
                ? cameraCountersJson(*counters.counters, camera.cameraId) : nullptr},
            {"timestampAdvice", advice.empty() ? nlohmann::json() : nlohmann::json(advice)}});
    }
    nlohmann::json engine = nullptr;
    if (counters.counters)
    {
        const EngineCounts& counts = counters.counters->engine;
        engine = {{"received", counts.received}, {"receivedBytes", counts.receivedBytes},
            {"relayed", counts.relayed},
            {"noCamera", counts.noCamera}, {"aiEnginesConnected", counts.aiEnginesConnected},
            {"aiEngineConnections", counts.aiEngineConnections},
            {"aiEngineDisconnects", counts.aiEngineDisconnects},
            {"refusedPeers", counts.refusedPeers}};
    }
    return {{"cameras", cameras}, {"engine", engine}, {"countersError", counters.error},
        {"unmetExpectations", unmet}};
}

/**
 * The plugin's counters after its release, when the engine was given a metrics file: the
 * file's last write comes when the engine goes, so its figures are final.
 */
ReadCounters finalCounters(Host* host)
{
    if (host->metricsPath().empty())
    {
        return {std::nullopt, std::string("the engine was given no metrics file (setting ")
            + setting::kMetricsFile.name + ")"};
    }
    host->waitForPluginObjects();
    if (!host->wasReady() && !fs::exists(host->metricsPath()))
        return {std::nullopt, "the plugin never listened and wrote no metrics file"};
    return readCounters(host->metricsPath());
}

int finish(Host* host, Collector* collector, const HostOptions& options, Output* output)
{
    const RunStats stats = collector->snapshot();
    const ReadCounters counters = finalCounters(host);
    std::vector<std::string> ids;
    for (const CameraStats& camera: stats.cameras)
        ids.push_back(camera.cameraId);
    std::string advice;
    for (size_t i = 0; i < ids.size(); ++i)
    {
        if (const std::string text = adviceOf(host->timestampAdvice(), i); !text.empty())
            advice += "cam " + std::to_string(i + 1) + " " + text + "\n";
    }
    output->block("\n" + summaryText(stats) + "\nthe plugin's counters (its metrics file):\n"
        + (counters.counters ? countersText(*counters.counters, ids) : "none\n") + advice);
    // A file the plugin was asked for and did not write, or wrote wrongly, is its fault; not
    // so when it never got as far as listening (that failure has been told).
    const bool countersFine =
        counters.counters || host->metricsPath().empty() || !host->wasReady();
    if (!counters.counters)
        output->error((countersFine ? "no counters: " : "") + counters.error);
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
    nlohmann::json summary = summaryJson(stats, unmet, counters, host->timestampAdvice());
    const bool balanced = host->checkBalance(&summary);
    output->jsonLine({{"summary", summary}});
    return unmet.empty() && balanced && countersFine ? 0 : kExitFailed;
}

int run(const HostOptions& options)
{
    Output output(options.json, options.quiet);
    try
    {
        Collector collector(options.cameraIds, loadExpectations(options.expectPath));
        prepareSvgDir(options.svgDir);
        const PrivateDir privateDir;
        if (privateDir.path().empty()
            && options.engineSettings.count(setting::kMetricsFile.name) == 0)
        {
            output.error("warning: no directory for the plugin's metrics file ("
                + privateDir.error() + "): the summary goes without the plugin's counters");
        }
        Host host(options, &output, &collector,
            privateDir.path().empty() ? "" : privateDir.path() + "/metrics.prom");
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
    // First of all: even the usage text may meet a closed output.
    stopOnSignals();
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
        return run(*parsed.options);
    }
    catch (const std::exception& e)
    {
        std::cerr << "skyloom-host: unexpected error: " << e.what() << std::endl;
        return kExitFailed;
    }
}
