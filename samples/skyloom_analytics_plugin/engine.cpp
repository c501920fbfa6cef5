#include "engine.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/settings_response.h>

#include "camera_log.h"
#include "device_agent.h"
#include "plugin.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

constexpr char kRelayFunc[] = "threadFuncZeromqLoop";

/** Gives the server time to deliver the engine settings before the first bind. */
constexpr std::chrono::milliseconds kStartupDelay{5000};

constexpr std::chrono::milliseconds kPollErrorPause{50};

/** The AI engine's messages are a few KB, a few hundred KB with an embedded image. */
constexpr int64_t kMaxMessageSize = 4 * 1024 * 1024;

/**
 * The relay's half of each camera's queue (the agent's receive high-water mark is the other
 * half). With messages of up to kMaxMessageSize, ZeroMQ's default of 1000 would let one slow
 * camera hold gigabytes.
 */
constexpr int kAgentHighWaterMark = 100;

/**
 * Per outside watcher of the loopback copy; beyond it the copy drops silently. Small, because
 * a watcher that stops reading holds what is queued for it (up to 16 messages of 4 MiB).
 */
constexpr int kLoopbackHighWaterMark = 16;

/**
 * Messages of one AI-engine connection that wait for the relay. The relay takes them at once
 * unless it is starved of the processor; then this bounds what a connection can pile up.
 */
constexpr int kInputHighWaterMark = 32;

/** Messages moved per pass, so that subscriptions and a stop request are seen in between. */
constexpr int kMessagesPerPass = 256;

constexpr char kServicePortCaption[] = "Cannot listen for the AI engine";
constexpr char kAgentEndpointCaption[] = "Cannot open the internal relay endpoint";
constexpr char kLoopbackCaption[] = "Loopback relay unavailable";

/** The start of every subscription prefix; the camera id and a closing quote follow. */
constexpr std::string_view kPrefixStart = "{\"src_uuid\":\"";

constexpr int kMinServicePort = 1024;
constexpr int kMaxServicePort = 65535;

/**
 * The port a "ServicePort" text names: decimal digits only, within the settings model's range.
 * Anything else (signs, blanks, trailing characters, 0, a value that would wrap) names none: a
 * port bound by mistake would be a random one or another service's.
 */
std::optional<int> parseServicePort(const std::string& text)
{
    if (text.empty() || text.size() > 5
        || text.find_first_not_of("0123456789") != std::string::npos)
    {
        return std::nullopt;
    }
    const int value = std::stoi(text);
    if (value < kMinServicePort || value > kMaxServicePort)
        return std::nullopt;
    return value;
}

bool isServicePort(int port)
{
    return port >= kMinServicePort && port <= kMaxServicePort;
}

} // namespace

/**
 * Messages the relay could not hand to a camera because the camera's queue was full, counted
 * per subscription prefix (learnt from the agents' subscriptions). A camera's first drop is
 * reported at once; later ones at most once per kReportInterval, when the next message for the
 * camera comes (dropped or delivered), and what is left when the agent unsubscribes or the
 * relay ends: a flood costs a few log lines, never one per message, and needs no timer. Relay
 * thread only.
 */
class CameraQueues
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kReportInterval{10};

    struct Report
    {
        std::string cameraId;
        int64_t dropped = 0; //< Since the previous report.
        int64_t total = 0; //< Since the camera subscribed.
    };

    void subscribe(std::string prefix, std::shared_ptr<QueueBudget::Account> account)
    {
        m_cameras[std::move(prefix)].account = std::move(account);
    }

    /** The account that a camera's messages are charged to; null for an unknown key. */
    [[nodiscard]] QueueBudget::Account* accountOf(const std::string& key) const
    {
        const auto it = m_cameras.find(key);
        return it == m_cameras.end() ? nullptr : it->second.account.get();
    }

    [[nodiscard]] std::optional<Report> unsubscribe(const std::string& prefix)
    {
        const auto it = m_cameras.find(prefix);
        if (it == m_cameras.end())
            return std::nullopt;
        std::optional<Report> report = takeReport(*it, Clock::now());
        m_cameras.erase(it);
        return report;
    }

    /** True while some camera has unreported drops: only then does a delivery need a key. */
    [[nodiscard]] bool anyUnreported() const { return m_unreportedCameras > 0; }

    /**
     * The prefix under which a message is counted: read from its start when it has the usual
     * form, else the subscribed prefix that begins it; empty if none does.
     */
    [[nodiscard]] std::string keyOf(std::string_view message) const
    {
        if (message.substr(0, kPrefixStart.size()) == kPrefixStart)
        {
            const size_t quote = message.find('"', kPrefixStart.size());
            if (quote != std::string_view::npos)
            {
                std::string key(message.substr(0, quote + 1));
                if (m_cameras.count(key) > 0)
                    return key;
            }
        }
        for (const auto& [prefix, camera]: m_cameras)
        {
            if (message.substr(0, prefix.size()) == prefix)
                return prefix;
        }
        return {};
    }

    /** Counts one drop; a report if one is due. */
    [[nodiscard]] std::optional<Report> dropped(const std::string& key, Clock::time_point now)
    {
        auto& entry = *m_cameras.try_emplace(key).first;
        ++entry.second.total;
        if (entry.second.unreported++ == 0)
            ++m_unreportedCameras;
        return reportIfDue(entry, now);
    }

    /** A message of this camera went through; a report of its earlier drops if one is due. */
    [[nodiscard]] std::optional<Report> delivered(const std::string& key, Clock::time_point now)
    {
        const auto it = m_cameras.find(key);
        return it == m_cameras.end() ? std::nullopt : reportIfDue(*it, now);
    }

    /** Reports of every camera with unreported drops (the relay stops). */
    [[nodiscard]] std::vector<Report> takeAllReports()
    {
        std::vector<Report> reports;
        for (auto& entry: m_cameras)
        {
            if (std::optional<Report> report = takeReport(entry, Clock::now()))
                reports.push_back(std::move(*report));
        }
        return reports;
    }

private:
    struct Camera
    {
        int64_t unreported = 0;
        int64_t total = 0;
        Clock::time_point lastReport; //< Long ago until the first report.
        std::shared_ptr<QueueBudget::Account> account; //< Null for a camera never subscribed.
    };

    using Entry = std::pair<const std::string, Camera>;

    std::optional<Report> reportIfDue(Entry& entry, Clock::time_point now)
    {
        if (entry.second.lastReport != Clock::time_point()
            && now - entry.second.lastReport < kReportInterval)
        {
            return std::nullopt;
        }
        return takeReport(entry, now);
    }

    std::optional<Report> takeReport(Entry& entry, Clock::time_point now)
    {
        Camera& camera = entry.second;
        if (camera.unreported == 0)
            return std::nullopt;
        Report report{cameraIdOf(entry.first), camera.unreported, camera.total};
        camera.unreported = 0;
        camera.lastReport = now;
        --m_unreportedCameras;
        return report;
    }

    static std::string cameraIdOf(const std::string& key)
    {
        std::string_view id(key);
        if (id.substr(0, kPrefixStart.size()) == kPrefixStart)
            id.remove_prefix(kPrefixStart.size());
        if (!id.empty() && id.back() == '"')
            id.remove_suffix(1);
        return std::string(id);
    }

    std::unordered_map<std::string, Camera> m_cameras;
    int m_unreportedCameras = 0;
};

/** What the relay thread opens; closed by it, in reverse order, before the thread ends. */
struct Engine::Sockets
{
    Sockets(zmq::context_t& context, const nx::sdk::LogUtils& logUtils):
        input(context, zmq::socket_type::sub),
        agents(context, zmq::socket_type::xpub),
        log(logUtils)
    {
    }

    zmq::socket_t input;
    zmq::socket_t agents;
    std::optional<zmq::socket_t> loopback;
    bool agentsBound = false;
    int boundPort = 0; //< The latest service port taken from the setting.
    /** Where the service listens, as ZeroMQ resolved it; empty while it listens nowhere. */
    std::string listeningEndpoint;
    bool loopbackWanted = false; //< The "LoopbackRelay" value last acted upon.
    /** The failures that a broken peer or socket can repeat per message, held to a rate. */
    CameraLog log;
};

Engine::Engine(Plugin* plugin):
    nx::sdk::analytics::Engine(/*enableOutput*/ true),
    m_plugin(plugin),
    m_context(makeRelayContext())
{
    m_thread = std::thread([this]() { threadFuncZeromqLoop(); });
}

Engine::~Engine()
{
    m_terminated = true;
    m_wakeup.notify();

    if (m_thread.joinable())
    {
        // Joining itself would throw; only reachable if a call made by the relay thread drops
        // the engine's last reference.
        if (m_thread.get_id() == std::this_thread::get_id())
            m_thread.detach();
        else
            m_thread.join();
    }
}

std::string Engine::manifestString() const
{
    return R"json({
    "capabilities": "",
    "streamTypeFilter": "motion|compressedVideo|metadata",
    "preferredStream": "primary",
    "deviceAgentSettingsModel": {
        "type": "Settings",
        "items": [
           {
                "type": "GroupBox",
                "caption": "Engine settings",
                "items": [
                    {
                        "type": "CheckBox",
                        "name": "skipNullFaceObject",
                        "caption": "Ignore Metadata (unanalyzed face objects)",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "CheckBox",
                        "name": "skipNullPlateObject",
                        "caption": "Ignore Metadata (unanalyzed plate objects)",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "CheckBox",
                        "name": "showCounter",
                        "caption": "Show Counter",
                        "defaultValue": true,
                        "value": true
                    },
                    {
                        "type": "Separator" 
                    },
                    {
                        "type": "CheckBox",
                        "name": "enableDebugDump",
                        "caption": "Enable Debug Dump (for Debugging, not recommended)",
                        "defaultValue": false,
                        "value": false
                    },
                    {
                        "type": "CheckBox",
                        "name": "enableMetadata",
                        "caption": "Enable Metadata (for Debugging, not recommended)",
                        "defaultValue": false,
                        "value": false
                    },
                    {
                        "type": "SpinBox",
                        "name": "timeCorrection",
                        "caption": "Metadata Timestamp Correction (ms)",
                        "defaultValue": 0,
                        "minValue": -5000,
                        "maxValue": 5000
                    }
                ]
            }
        ],
        "sections": [
           {
                "type": "Section",
                "caption": "ROI",
                "items": [
                    {
                        "type": "GroupBox",
                        "caption": "Polygons",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Polygon #",
                                    "filledCheckItems": ["polygon#.figure"],
                                    "items": [
                                        {
                                            "type": "PolygonFigure",
                                            "name": "polygon#.figure",
                                            "minPoints": 4,
                                            "maxPoints": 16
                                        }
                                    ]
                                }
                            }
                        ]
                    },
                    {
                        "type": "GroupBox",
                        "caption": "Lines",
                        "items": [
                            {
                                "type": "Repeater",
                                "count": 5,
                                "template": {
                                    "type": "GroupBox",
                                    "caption": "Line #",
                                    "filledCheckItems": ["line#.figure"],
                                    "items": [
                                        {
                                            "type": "LineFigure",
                                            "name": "line#.figure"
                                        }
                                    ]
                                }
                            }
                        ]
                    }
                ]
            }
        ]
    }
}
)json";
}

Result<const ISettingsResponse*> Engine::settingsReceived()
{
    auto response = makePtr<SettingsResponse>();
    applyServicePort(response.get());
    // A CheckBox sends "true" or "false"; a server that knows nothing of it sends nothing.
    const bool loopbackRelay = settingValue("LoopbackRelay") != "false";
    m_loopbackRelay = loopbackRelay;
    m_wakeup.notify();
    NX_PRINT << "settingsReceived" << " m_loopbackRelay:" << (loopbackRelay ? 1 : 0);
    return response.releasePtr();
}

void Engine::applyServicePort(SettingsResponse* response)
{
    const std::string text = settingValue("ServicePort");
    if (const std::optional<int> port = parseServicePort(text))
    {
        m_servicePortAccepted = true;
        m_servicePort = *port;
        NX_PRINT << "settingsReceived" << " m_servicePort:" << *port;
        return;
    }
    refuseSetting(response, "ServicePort", text, "a whole number from 1024 to 65535");
    // Until a port is accepted, a refused one makes the relay start on the default port.
    int initial = kInitialServicePort;
    if (!m_servicePortAccepted)
        m_servicePort.compare_exchange_strong(initial, 0);
}

void Engine::refuseSetting(SettingsResponse* response, const std::string& name,
    const std::string& value, const std::string& expected)
{
    constexpr size_t kShownLength = 64;
    const std::string shown = value.size() > kShownLength
        ? nx::kit::utils::quotedLiteral(value.substr(0, kShownLength)) + "..."
        : nx::kit::utils::quotedLiteral(value);
    const std::string message = shown + " refused: the value must be " + expected;
    response->setError(name, message);
    NX_PRINT << "settingsReceived" << " " << name << " " << message << "; the previous value stays";
}

void Engine::doObtainDeviceAgent(Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { *outResult = new DeviceAgent(deviceInfo, m_context); });
}

void Engine::threadFuncZeromqLoop()
{
    // Nothing may leave the thread: a failed setup is logged and ends only the relay.
    try
    {
        NX_PRINT << kRelayFunc << " start!!";
        if (sleepUnlessStopped(kStartupDelay))
            runRelay();
    }
    catch (const std::exception& e)
    {
        try { NX_PRINT << kRelayFunc << " exception: " << e.what(); } catch (...) {}
    }
    catch (...)
    {
        try { NX_PRINT << kRelayFunc << " exception: unknown"; } catch (...) {}
    }

    try { NX_PRINT << kRelayFunc << " terminated!!"; } catch (...) {}
}

bool Engine::sleepUnlessStopped(std::chrono::milliseconds duration)
{
    // New settings wake the sleep too; they are read when the relay opens its sockets.
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (!m_terminated)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return true;
        if (m_wakeup.waitFor(left))
            m_wakeup.consume();
    }
    return false;
}

void Engine::runRelay()
{
    int noPort = 0;
    m_servicePort.compare_exchange_strong(noPort, kDefaultServicePort);
    if (!isServicePort(m_servicePort))
        m_servicePort = kDefaultServicePort;

    Sockets sockets(*m_context->context, logUtils);

    // Linger 0 everywhere: closing must never wait for peers that do not read.
    sockets.agents.set(zmq::sockopt::linger, 0);
    sockets.agents.set(zmq::sockopt::sndhwm, kAgentHighWaterMark);
    // A full camera queue makes the send fail with EAGAIN instead of dropping silently, so
    // that the drop is counted for that camera.
    sockets.agents.set(zmq::sockopt::xpub_nodrop, 1);
    try
    {
        sockets.agents.bind(kAgentRelayEndpoint);
        sockets.agentsBound = true;
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " bind " << kAgentRelayEndpoint << " failed: " << e.what();
        pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::error, kAgentEndpointCaption,
            std::string(kAgentRelayEndpoint) + ": " + e.what());
    }

    sockets.input.set(zmq::sockopt::linger, 0);
    sockets.input.set(zmq::sockopt::maxmsgsize, kMaxMessageSize);
    sockets.input.set(zmq::sockopt::rcvhwm, kInputHighWaterMark);
    sockets.input.set(zmq::sockopt::subscribe, "");
    sockets.boundPort = m_servicePort;
    sockets.listeningEndpoint = bindInput(sockets.input, sockets.boundPort);

    sockets.loopbackWanted = m_loopbackRelay;
    if (sockets.loopbackWanted)
        openLoopback(sockets);

    CameraQueues queues;
    while (!m_terminated)
    {
        try
        {
            zmq::pollitem_t items[] = {
                {sockets.input.handle(), 0, ZMQ_POLLIN, 0},
                {sockets.agents.handle(), 0, ZMQ_POLLIN, 0},
                {nullptr, m_wakeup.fd(), ZMQ_POLLIN, 0},
            };
            // No timeout: an idle relay sleeps until a message, a subscription or a wake-up.
            if (zmq_poll(items, 3, -1) < 0)
            {
                if (zmq_errno() == EINTR)
                    continue;
                sockets.log.write(kRelayFunc, " poll Error: ", zmq_strerror(zmq_errno()));
                // A poll that keeps failing must not turn into a busy loop that floods the log.
                if (m_wakeup.waitFor(kPollErrorPause))
                    m_wakeup.consume();
                continue;
            }
            if (items[2].revents & ZMQ_POLLIN)
            {
                m_wakeup.consume();
                if (m_terminated)
                    break;
                applySettings(sockets);
            }
            if (items[1].revents & ZMQ_POLLIN)
                readSubscriptions(sockets.agents, queues);
            if (items[0].revents & ZMQ_POLLIN)
                relayWaitingMessages(sockets, queues);
        }
        catch (const std::exception& e)
        {
            sockets.log.write(kRelayFunc, " exception: ", e.what());
        }
    }

    for (const CameraQueues::Report& report: queues.takeAllReports())
    {
        logDropReport(report.cameraId, report.dropped, report.total);
    }
}

/** Moves the service to a new port and takes up the loopback switch. */
void Engine::applySettings(Sockets& sockets)
{
    // A port that failed to bind is tried again only when the setting changes again. A refused
    // value (0 marks one refused before any was accepted) changes nothing here.
    if (const int servicePort = m_servicePort;
        isServicePort(servicePort) && servicePort != sockets.boundPort)
    {
        sockets.boundPort = servicePort;
        if (std::string endpoint = bindInput(sockets.input, servicePort); !endpoint.empty())
        {
            // The old port closes once the new one listens: an AI engine still sending there
            // is refused, not served on a port nobody configured any more.
            closeServicePort(sockets);
            sockets.listeningEndpoint = std::move(endpoint);
        }
    }

    const bool loopbackWanted = m_loopbackRelay;
    if (loopbackWanted == sockets.loopbackWanted)
        return;
    sockets.loopbackWanted = loopbackWanted;
    if (loopbackWanted)
    {
        openLoopback(sockets);
    }
    else if (sockets.loopback)
    {
        sockets.loopback.reset();
        NX_PRINT << kRelayFunc << " loopback relay " << kLoopbackEndpoint << " closed";
    }
}

/**
 * The copy for outside watchers, on a socket of its own: a plain PUB drops for a slow watcher,
 * so a watcher can never hold up a camera. It is no part of the road to the cameras, so a port
 * that cannot be bound (taken, or no privilege for a port below 1024) is a warning only; its
 * success is not logged, so that "ready" means the service port alone.
 */
void Engine::openLoopback(Sockets& sockets)
{
    try
    {
        sockets.loopback.emplace(*m_context->context, zmq::socket_type::pub);
        sockets.loopback->set(zmq::sockopt::linger, 0);
        sockets.loopback->set(zmq::sockopt::sndhwm, kLoopbackHighWaterMark);
        sockets.loopback->bind(kLoopbackEndpoint);
    }
    catch (const zmq::error_t& e)
    {
        sockets.loopback.reset();
        NX_PRINT << kRelayFunc << " bind " << kLoopbackEndpoint << " failed: " << e.what()
            << " (warning: no loopback copy for outside watchers; the cameras still receive)";
        pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::info, kLoopbackCaption,
            std::string(kLoopbackEndpoint) + ": " + e.what());
    }
}

void Engine::logDropReport(const std::string& cameraId, int64_t dropped, int64_t total)
{
    NX_PRINT << kRelayFunc << " camera " << cameraId << ": queue full, " << dropped
        << " messages dropped (" << total << " in all)";
}

/**
 * Adds the service port to the input socket's endpoints; failures are logged and reported.
 * Returns the endpoint as ZeroMQ resolved it (what unbinding it takes), empty on failure.
 */
std::string Engine::bindInput(zmq::socket_t& input, int port)
{
    const std::string endpoint = nx::kit::utils::formatText("tcp://*:%d", port);
    try
    {
        input.bind(endpoint);
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " bind " << endpoint << " failed: " << e.what();
        pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::error, kServicePortCaption,
            endpoint + ": " + e.what());
        return {};
    }
    NX_PRINT << kRelayFunc << " bind " << endpoint;
    return input.get(zmq::sockopt::last_endpoint);
}

void Engine::closeServicePort(Sockets& sockets)
{
    if (sockets.listeningEndpoint.empty())
        return;
    try
    {
        sockets.input.unbind(sockets.listeningEndpoint);
        NX_PRINT << kRelayFunc << " unbind " << sockets.listeningEndpoint;
    }
    catch (const zmq::error_t& e)
    {
        NX_PRINT << kRelayFunc << " unbind " << sockets.listeningEndpoint << " failed: "
            << e.what();
    }
    sockets.listeningEndpoint.clear();
}

/** The agents' (un)subscriptions: one byte 1 or 0, then the prefix. */
void Engine::readSubscriptions(zmq::socket_t& agents, CameraQueues& queues)
{
    for (int i = 0; i < kMessagesPerPass; ++i)
    {
        zmq::message_t message;
        if (!agents.recv(message, zmq::recv_flags::dontwait))
            return;
        if (message.size() == 0)
            continue;
        const char* const data = static_cast<const char*>(message.data());
        std::string prefix(data + 1, message.size() - 1);
        if (data[0] == 1)
        {
            auto account = m_context->queueBudget.account(prefix);
            queues.subscribe(std::move(prefix), std::move(account));
        }
        else if (data[0] == 0)
        {
            if (const auto report = queues.unsubscribe(prefix))
            {
                logDropReport(report->cameraId, report->dropped, report->total);
            }
        }
    }
}

/**
 * Moves the waiting messages from the input to the agents (and the loopback copy), each as a
 * message of its own. Without a bound agent endpoint they are still taken, so that nothing piles
 * up. Would-block on the input is not an error: nothing more is waiting.
 */
void Engine::relayWaitingMessages(Sockets& sockets, CameraQueues& queues)
{
    for (int i = 0; i < kMessagesPerPass && !m_terminated; ++i)
    {
        zmq::message_t message;
        try
        {
            if (!sockets.input.recv(message, zmq::recv_flags::dontwait))
                return;
        }
        catch (const zmq::error_t& e)
        {
            sockets.log.write(kRelayFunc, " recv error: ", e.what());
            return;
        }
        relayOneMessage(sockets, queues, message);
    }
}

void Engine::relayOneMessage(Sockets& sockets, CameraQueues& queues, zmq::message_t& message)
{
    if (sockets.loopback)
    {
        try
        {
            // Shares the buffer of a large message instead of copying it.
            zmq::message_t copy;
            copy.copy(message);
            (void) sockets.loopback->send(copy, zmq::send_flags::dontwait);
        }
        catch (const zmq::error_t& e)
        {
            sockets.log.write(kRelayFunc, " loopback send error: ", e.what());
        }
    }
    if (!sockets.agentsBound)
        return;

    const std::string_view text(static_cast<const char*>(message.data()), message.size());
    const auto size = static_cast<int64_t>(message.size());
    // Read before the send, which hands the bytes over to the receiving agent.
    const std::string key = queues.keyOf(text);
    QueueBudget::Account* const account = key.empty() ? nullptr : queues.accountOf(key);
    try
    {
        std::optional<CameraQueues::Report> report;
        if (account && !account->charge(size))
        {
            // The camera's (or all cameras') queued bytes are at their bound: a flood of large
            // messages is dropped here rather than held.
            report = queues.dropped(key, CameraQueues::Clock::now());
        }
        else if (sockets.agents.send(message, zmq::send_flags::dontwait))
        {
            if (!key.empty() && queues.anyUnreported())
                report = queues.delivered(key, CameraQueues::Clock::now());
        }
        else
        {
            // EAGAIN with NODROP: a subscribed camera's queue is full; the message is still
            // ours, and goes to nobody.
            if (account)
                account->refund(size);
            report = queues.dropped(key, CameraQueues::Clock::now());
        }
        if (report)
            logDropReport(report->cameraId, report->dropped, report->total);
    }
    catch (const zmq::error_t& e)
    {
        sockets.log.write(kRelayFunc, " send error: ", e.what());
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
