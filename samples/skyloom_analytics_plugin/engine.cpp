#include "engine.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/settings_response.h>

#include "agent/device_agent.h"
#include "common/descriptor_usage.h"
#include "health/camera_log.h"
#include "health/relay_health.h"
#include "ingress/in_process_ingress.h"
#include "ingress/isolated_ingress.h"
#include "ingress/receiver_process.h"
#include "plugin.h"
#include "relay/camera_queues.h"
#include "settings/settings_model.h"

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

/** How soon the relay tries again to open a service port that it could not open. */
constexpr std::chrono::seconds kIngressRetry{1};

/** How soon the relay tries again to open its agents' endpoint. */
constexpr std::chrono::seconds kRelayRetry{1};

/**
 * The relay's half of each camera's queue (the agent's receive high-water mark is the other
 * half). With messages of up to ServiceSocket::kMaxMessageSize, ZeroMQ's default of 1000 would
 * let one slow camera hold gigabytes.
 */
constexpr int kAgentHighWaterMark = 100;

/**
 * Per outside watcher of the loopback copy; beyond it the copy drops silently. Small, because
 * a watcher that stops reading holds what is queued for it (up to 16 messages of 4 MiB).
 */
constexpr int kLoopbackHighWaterMark = 16;

/** Messages moved per pass, so that subscriptions and a stop request are seen in between. */
constexpr int kMessagesPerPass = 256;

constexpr char kAgentEndpointCaption[] = "Cannot open the internal relay endpoint";
constexpr char kLoopbackCaption[] = "Loopback relay unavailable";
constexpr char kRefusedCaption[] = "AI engine refused";
constexpr char kInProcessCaption[] = "AI engine receiver runs inside the server";
constexpr char kConnectedCaption[] = "AI engine connected";
constexpr char kDisconnectedCaption[] = "AI engine disconnected";
constexpr char kNoCameraCaption[] = "Messages for no camera";

// The "reasons" under which connection events are held to their rate, per address.
constexpr char kConnectedReason[] = "connected";
constexpr char kDisconnectedReason[] = "disconnected";

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
 * The socket that publishes to the agents, bound to their endpoint; throws zmq::error_t if it
 * cannot be made (no descriptor or memory left).
 */
zmq::socket_t makeAgentsSocket(zmq::context_t& context)
{
    zmq::socket_t agents(context, zmq::socket_type::xpub);
    // Linger 0 everywhere: closing must never wait for peers that do not read.
    agents.set(zmq::sockopt::linger, 0);
    agents.set(zmq::sockopt::sndhwm, kAgentHighWaterMark);
    // A full camera queue makes the send fail with EAGAIN instead of dropping silently, so
    // that the drop is counted for that camera.
    agents.set(zmq::sockopt::xpub_nodrop, 1);
    agents.bind(kAgentRelayEndpoint);
    return agents;
}

/** Marks the agents' endpoint bound for its lifetime; unbound before the socket closes. */
class BoundMark
{
public:
    explicit BoundMark(RelayEndpoint& endpoint): m_endpoint(endpoint) { endpoint.setBound(true); }
    ~BoundMark() { m_endpoint.setBound(false); }
    BoundMark(const BoundMark&) = delete;
    BoundMark& operator=(const BoundMark&) = delete;

private:
    RelayEndpoint& m_endpoint;
};

/** What the relay thread opens; closed by it, in reverse order, before the thread ends. */
struct Engine::Sockets
{
    Sockets(zmq::socket_t boundAgents, RelayEndpoint& endpoint,
        const nx::sdk::LogUtils& logUtils)
        :
        agents(std::move(boundAgents)),
        agentsBound(endpoint),
        log(logUtils)
    {
    }

    zmq::socket_t agents;
    /** After `agents`: no agent may connect once its socket begins to close. */
    BoundMark agentsBound;
    std::optional<zmq::socket_t> loopback;
    /** The service port: a receiver process, or the listener in this process; null while it
     * could not be made (tried again at ingressRetry). */
    std::unique_ptr<IngressSource> ingress;
    RelayHealth::Clock::time_point ingressRetry;
    bool isolateWanted = false; //< The "IsolateReceiver" value last acted upon.
    int port = 0; //< The latest valid service port taken from the setting.
    bool loopbackWanted = false; //< The "LoopbackRelay" value last acted upon.
    /** The ingress policy last acted upon; null until the ingress is configured. */
    std::shared_ptr<const IngressPolicy> policy;
    /** The failures that a broken peer or socket can repeat per message, held to a rate. */
    CameraLog log;
    /** Health lines and the metrics file; made when the relay starts. */
    std::optional<RelayHealth> health;
    NoCameraReport noCamera;
};

Engine::Engine(Plugin* plugin):
    nx::sdk::analytics::Engine(/*enableOutput*/ true),
    m_plugin(plugin),
    m_context(makeRelayContext()),
    m_receiverExecutable(ReceiverProcess::defaultExecutable()),
    m_ingressPolicy(std::make_shared<IngressPolicy>()),
    m_counters(m_context->counters),
    m_refusals([this](const std::string& address, const std::string& reason, int64_t unreported)
        { reportRefusal(address, reason, unreported); },
        &m_counters.engine().refusedPeers),
    m_connectionReports(
        [this](const std::string& address, const std::string& change, int64_t unreported)
        { reportConnection(address, change, unreported); })
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
    "deviceAgentSettingsModel": )json" + deviceAgentSettingsModel() + "\n}\n";
}

Result<const ISettingsResponse*> Engine::settingsReceived()
{
    auto response = makePtr<SettingsResponse>();
    applyServicePort(response.get());
    applyMetricsFile(response.get());
    // A CheckBox sends "true" or "false"; a server that knows nothing of it sends nothing.
    const bool loopbackRelay = settingValue(setting::kLoopbackRelay.name) != "false";
    const bool isolateReceiver = settingValue(setting::kIsolateReceiver.name) != "false";
    const std::shared_ptr<const IngressPolicy> previous = ingressPolicy();
    const IngressPolicyResult ingress = makeIngressPolicy(
        IngressSettings{settingValue(setting::kServiceAddress.name),
            settingValue(setting::kAllowedEngineAddresses.name),
            settingValue(setting::kCurveSecretKeyFile.name),
            settingValue(setting::kAuthorizedEnginesDirectory.name)},
        *previous);
    for (const auto& [name, refusal]: ingress.refused)
        refuseSetting(response.get(), name, refusal.value, refusal.expected);
    for (const std::string& note: ingress.notes)
        NX_PRINT << "settingsReceived" << " " << note;
    {
        const std::lock_guard<std::mutex> lock(m_ingressMutex);
        m_ingressPolicy = ingress.policy;
    }

    m_loopbackRelay = loopbackRelay;
    m_isolateReceiver = isolateReceiver;
    m_wakeup.notify();
    NX_PRINT << "settingsReceived" << " m_loopbackRelay:" << (loopbackRelay ? 1 : 0);
    NX_PRINT << "settingsReceived" << " m_isolateReceiver:" << (isolateReceiver ? 1 : 0);
    return response.releasePtr();
}

void Engine::applyServicePort(SettingsResponse* response)
{
    // The parse's bounds are the settings model's range.
    static_assert(kMinServicePort == setting::kServicePort.range.min
        && kMaxServicePort == setting::kServicePort.range.max);
    const std::string text = settingValue(setting::kServicePort.name);
    if (const std::optional<int> port = parseServicePort(text))
    {
        m_servicePortAccepted = true;
        m_servicePort = *port;
        NX_PRINT << "settingsReceived" << " m_servicePort:" << *port;
        return;
    }
    refuseSetting(response, setting::kServicePort.name, text, "a whole number from "
        + std::to_string(kMinServicePort) + " to " + std::to_string(kMaxServicePort));
    // Until a port is accepted, a refused one makes the relay start on the default port.
    int initial = kInitialServicePort;
    if (!m_servicePortAccepted)
        m_servicePort.compare_exchange_strong(initial, 0);
}

void Engine::applyMetricsFile(SettingsResponse* response)
{
    const std::string path = settingValue(setting::kMetricsFile.name);
    // A relative path would depend on the server's working directory; a line feed or a NUL
    // names no file anyone meant.
    if (!path.empty()
        && (path.front() != '/'
            || path.find_first_of(std::string("\n\r\0", 3)) != std::string::npos))
    {
        refuseSetting(
            response, setting::kMetricsFile.name, path, "an absolute path of a file, or empty");
        return;
    }
    {
        MutexLock lock(m_metricsMutex);
        m_metricsFile = path;
    }
    NX_PRINT << "settingsReceived" << " m_metricsFile:" << nx::kit::utils::quotedLiteral(path);
}

std::string Engine::metricsFile()
{
    MutexLock lock(m_metricsMutex);
    return m_metricsFile;
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

/**
 * The agents' endpoint, bound; without a descriptor (or memory) for it, tried again every
 * kRelayRetry until it can be opened (the operator is told once) or a stop is requested.
 */
std::optional<zmq::socket_t> Engine::openAgentsEndpoint()
{
    const auto start = std::chrono::steady_clock::now();
    for (int64_t attempt = 0; !m_terminated; ++attempt)
    {
        try
        {
            zmq::socket_t agents = makeAgentsSocket(*m_context->context);
            if (attempt > 0)
            {
                NX_PRINT << kRelayFunc << " " << kAgentRelayEndpoint << " open after "
                    << std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::steady_clock::now() - start).count()
                    << " s and " << attempt << " failed attempts";
            }
            return agents;
        }
        catch (const zmq::error_t& e)
        {
            // Told at once, then in the log once a minute: the cause stays the same.
            if (attempt == 0 || attempt % 60 == 0)
            {
                const std::string description = std::string(kAgentRelayEndpoint) + ": "
                    + e.what() + " (" + describe(descriptorUsage())
                    + "); nothing is received until it opens, tried again every second";
                NX_PRINT << kRelayFunc << " " << kAgentEndpointCaption << ": " << description;
                if (attempt == 0)
                {
                    pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::error,
                        kAgentEndpointCaption, description);
                }
            }
        }
        if (!sleepUnlessStopped(kRelayRetry))
            break;
    }
    return std::nullopt;
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

/** Hands what the ingress receives to relayOneMessage(). */
struct Engine::Relay: IngressConsumer
{
    Relay(Engine& engine, Sockets& sockets, CameraQueues& queues):
        engine(engine), sockets(sockets), queues(queues)
    {
    }

    void deliver(zmq::message_t& message, const char* userId, const char* peer) override
    {
        engine.relayOneMessage(sockets, queues, message, userId, peer);
    }

    Engine& engine;
    Sockets& sockets;
    CameraQueues& queues;
};

void Engine::runRelay()
{
    // The port checked here is the one used: a refused setting that arrives meanwhile changes
    // nothing (0 marks one refused before any was accepted).
    int port = m_servicePort;
    if (!isServicePort(port))
        port = kDefaultServicePort;

    std::optional<zmq::socket_t> agents = openAgentsEndpoint();
    if (!agents)
        return; //< Stopped before it could be opened.
    Sockets sockets(std::move(*agents), m_context->endpoint, logUtils);

    sockets.isolateWanted = m_isolateReceiver;
    sockets.port = port;
    replaceIngress(sockets, [&]() { return makeIngress(sockets.isolateWanted); });

    sockets.loopbackWanted = m_loopbackRelay;
    if (sockets.loopbackWanted)
        openLoopback(sockets);

    sockets.health.emplace(m_counters,
        [this](const std::string& line) { NX_PRINT << kRelayFunc << " " << line; },
        RelayHealth::Clock::now());
    sockets.health->setMetricsFile(metricsFile(), RelayHealth::Clock::now());

    CameraQueues queues;
    Relay relay(*this, sockets, queues);
    while (!m_terminated)
    {
        try
        {
            relayPass(sockets, queues, relay);
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
    sockets.ingress.reset(); //< The receiver is stopped, the ZAP handler's thread joined.
    try
    {
        sockets.health->tick(RelayHealth::Clock::now(), /*final*/ true);
    }
    catch (const std::exception& e)
    {
        NX_PRINT << kRelayFunc << " last health report failed: " << e.what();
    }
}

/** One wait for input, subscriptions, a wake-up or a deadline, and what it brought. */
void Engine::relayPass(Sockets& sockets, CameraQueues& queues, Relay& relay)
{
    const auto now = RelayHealth::Clock::now();
    sockets.health->tick(now);
    if (!sockets.ingress && now >= sockets.ingressRetry)
        replaceIngress(sockets, [&]() { return makeIngress(sockets.isolateWanted); });
    if (sockets.ingress)
    {
        sockets.ingress->tick(now);
        if (const std::optional<std::string> reason = sockets.ingress->failed())
            fallBackInProcess(sockets, *reason);
    }
    zmq::pollitem_t items[] = {
        sockets.ingress ? sockets.ingress->pollItem() : zmq::pollitem_t{nullptr, -1, 0, 0},
        {sockets.agents.handle(), 0, ZMQ_POLLIN, 0},
        {nullptr, m_wakeup.fd(), ZMQ_POLLIN, 0},
    };
    // An idle relay sleeps until a message, a subscription, a wake-up or the next report or
    // receiver start (or attempt to listen again).
    const auto ingressDue = sockets.ingress
        ? sockets.ingress->untilDue(now)
        : std::chrono::duration_cast<std::chrono::milliseconds>(sockets.ingressRetry - now);
    const auto timeout = std::max(std::chrono::milliseconds(0),
        std::min(sockets.health->untilDue(now), ingressDue));
    if (zmq_poll(items, 3, static_cast<long>(timeout.count())) < 0)
    {
        if (zmq_errno() == EINTR)
            return;
        sockets.log.write(kRelayFunc, " poll Error: ", zmq_strerror(zmq_errno()));
        // A poll that keeps failing must not turn into a busy loop that floods the log.
        if (m_wakeup.waitFor(kPollErrorPause))
            m_wakeup.consume();
        return;
    }
    if (items[2].revents & ZMQ_POLLIN)
    {
        m_wakeup.consume();
        if (m_terminated)
            return;
        applySettings(sockets);
    }
    if (items[1].revents & ZMQ_POLLIN)
        readSubscriptions(sockets.agents, queues);
    if (items[0].revents != 0 && sockets.ingress)
        sockets.ingress->receive(relay, kMessagesPerPass);
}

/**
 * The service port in a receiver process when "IsolateReceiver" asks for it and the receiver
 * can be started; in this process otherwise, which the operator is told.
 */
std::unique_ptr<IngressSource> Engine::makeIngress(bool isolate)
{
    if (isolate)
    {
        auto isolated = std::make_unique<IsolatedIngress>(
            m_receiverExecutable, logUtils, sink(), m_counters.engine());
        const std::optional<std::string> failure = isolated->failed();
        if (!failure)
            return isolated;
        return makeInProcessIngress("the receiver cannot be started: " + *failure);
    }
    return makeInProcessIngress("IsolateReceiver is off");
}

std::unique_ptr<IngressSource> Engine::makeInProcessIngress(const std::string& reason)
{
    NX_PRINT << kRelayFunc << " " << kInProcessCaption << ": " << reason;
    pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::warning, kInProcessCaption, reason);
    return std::make_unique<InProcessIngress>(*m_context->context, logUtils, sink(),
        [this]() { return ingressPolicy(); });
}

void Engine::fallBackInProcess(Sockets& sockets, const std::string& reason)
{
    replaceIngress(sockets,
        [&]() { return makeInProcessIngress("the receiver cannot be started: " + reason); });
}

/**
 * The old ingress goes first (it holds the port that the new one is to listen on). If the new
 * one cannot be made (no descriptor or memory left), the relay goes on without one, says so,
 * and tries again after kIngressRetry.
 */
void Engine::replaceIngress(
    Sockets& sockets, const std::function<std::unique_ptr<IngressSource>()>& make)
{
    sockets.ingress.reset();
    try
    {
        sockets.ingress = make();
        configureIngress(sockets);
    }
    catch (const std::exception& e)
    {
        sockets.ingressRetry = RelayHealth::Clock::now() + kIngressRetry;
        sockets.log.write(kRelayFunc, " cannot listen for the AI engine: ", e.what());
        pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::error, kServicePortCaption,
            std::string("the service port cannot be opened: ") + e.what());
    }
}

/** The latest valid port and policy to the ingress (which ignores what it has already). */
void Engine::configureIngress(Sockets& sockets)
{
    const int port = m_servicePort;
    if (isServicePort(port))
        sockets.port = port;
    sockets.policy = ingressPolicy();
    sockets.ingress->configure(sockets.port, sockets.policy);
}

std::shared_ptr<const IngressPolicy> Engine::ingressPolicy()
{
    const std::lock_guard<std::mutex> lock(m_ingressMutex);
    return m_ingressPolicy;
}

void Engine::event(Level level, const std::string& caption, const std::string& description)
{
    pushPluginDiagnosticEvent(level, caption, description);
}

void Engine::refused(const std::string& address, const std::string& reason)
{
    m_refusals.refused(address, reason, RefusalReporter::Clock::now());
}

void Engine::connected(const std::string& address)
{
    m_counters.engine().enginesConnected.fetch_add(1, std::memory_order_relaxed);
    bump(m_counters.engine().connections);
    m_connectionReports.refused(address, kConnectedReason, RefusalReporter::Clock::now());
}

void Engine::disconnected(const std::string& address)
{
    m_counters.engine().enginesConnected.fetch_sub(1, std::memory_order_relaxed);
    bump(m_counters.engine().disconnects);
    m_connectionReports.refused(address, kDisconnectedReason, RefusalReporter::Clock::now());
}

void Engine::reportRefusal(
    const std::string& address, const std::string& reason, int64_t unreported)
{
    std::string description = address + ": " + reason;
    if (unreported > 0)
        description += " (" + std::to_string(unreported) + " more since the last report)";
    // Numeric addresses from libzmq and fixed reasons: nothing to escape.
    NX_PRINT << "AI engine refused: " << description;
    pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::warning, kRefusedCaption,
        description);
}

void Engine::reportConnection(
    const std::string& address, const std::string& change, int64_t unreported)
{
    // On the ZAP handler's thread, whose loop must go on whatever a report costs.
    try
    {
        const bool connected = change == kConnectedReason;
        std::string description = address;
        if (unreported > 0)
        {
            description += " (" + std::to_string(unreported) + " more "
                + (connected ? "connections" : "disconnections") + " since the last report)";
        }
        const char* const caption = connected ? kConnectedCaption : kDisconnectedCaption;
        NX_PRINT << kRelayFunc << " " << caption << ": " << description;
        pushPluginDiagnosticEvent(connected
            ? IPluginDiagnosticEvent::Level::info
            : IPluginDiagnosticEvent::Level::warning,
            caption, description);
    }
    catch (const std::exception&)
    {
    }
}

void Engine::reportNoCamera(Sockets& sockets, CameraQueues& queues, std::string_view message)
{
    bump(m_counters.engine().noCamera);
    const std::optional<std::string> description = sockets.noCamera.noCamera(
        message, [&queues]() { return queues.cameraIds(); }, NoCameraReport::Clock::now());
    if (!description)
        return;
    NX_PRINT << kRelayFunc << " " << kNoCameraCaption << ": " << *description;
    pushPluginDiagnosticEvent(
        IPluginDiagnosticEvent::Level::warning, kNoCameraCaption, *description);
}

/**
 * Whether the AI engine that sent the message may reach its camera: the ZAP handler named the
 * engine's certificate as the connection's user id, whose "cameras" restrict it.
 */
bool Engine::messageAllowed(Sockets& sockets, std::string_view message, const char* userId,
    const char* peer, CameraCounters* camera)
{
    if (!sockets.policy)
        return true;
    // The allow-list once more, per message: a list changed since the connection's handshake
    // holds at once, also while a receiver process is still taking up the change.
    const std::vector<AddressRange>& allowed = sockets.policy->allowedAddresses;
    if (!allowed.empty() && !(peer && addressInRanges(allowed, peer)))
    {
        m_refusals.refused(peer ? peer : "unknown address", kRefusedAddress,
            RefusalReporter::Clock::now());
        sockets.log.write(kRelayFunc, " message dropped, address not allowed ", peer ? peer : "");
        return false;
    }
    if (!sockets.policy->curve)
        return true;
    if (cameraAllowed(*sockets.policy, userId, message))
        return true;
    if (camera)
        camera->drop(DropReason::notAuthorised);
    m_refusals.refused(peer ? peer : "unknown address", kRefusedCamera,
        RefusalReporter::Clock::now());
    sockets.log.write(kRelayFunc, " message dropped, camera not authorised for AI engine ",
        userId ? userId : "");
    return false;
}

/** Takes up new settings: the receiver switch, port and policy, the loopback copy. */
void Engine::applySettings(Sockets& sockets)
{
    sockets.health->setMetricsFile(metricsFile(), RelayHealth::Clock::now());

    const bool isolate = m_isolateReceiver;
    if (isolate != sockets.isolateWanted || !sockets.ingress)
    {
        sockets.isolateWanted = isolate;
        replaceIngress(sockets, [&]() { return makeIngress(isolate); });
    }
    else
    {
        configureIngress(sockets);
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
            queues.subscribe(prefix, m_context->queueBudget.account(prefix),
                m_counters.camera(CameraQueues::cameraIdOf(prefix)));
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

void Engine::relayOneMessage(Sockets& sockets, CameraQueues& queues, zmq::message_t& message,
    const char* userId, const char* peer)
{
    bump(m_counters.engine().received);
    const std::string_view text(static_cast<const char*>(message.data()), message.size());
    CameraQueues::Camera* const camera = queues.find(text);
    if (!messageAllowed(sockets, text, userId, peer, camera ? camera->counters.get() : nullptr))
        return;
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
    if (!camera)
    {
        reportNoCamera(sockets, queues, text);
        return;
    }

    const auto size = static_cast<int64_t>(message.size());
    try
    {
        std::optional<CameraQueues::Report> report;
        if (camera->account && !camera->account->charge(size))
        {
            // The camera's (or all cameras') queued bytes are at their bound: a flood of large
            // messages is dropped here rather than held.
            report = queues.dropped(*camera, CameraQueues::Clock::now());
        }
        else if (sockets.agents.send(message, zmq::send_flags::dontwait))
        {
            bump(m_counters.engine().relayed);
            if (queues.anyUnreported())
                report = queues.delivered(*camera, CameraQueues::Clock::now());
        }
        else
        {
            // EAGAIN with NODROP: the camera's queue is full; the message is still ours, and
            // goes to nobody.
            if (camera->account)
                camera->account->refund(size);
            report = queues.dropped(*camera, CameraQueues::Clock::now());
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
