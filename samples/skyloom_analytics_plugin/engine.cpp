#include "engine.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>
#include <utility>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/settings_response.h>

#include "agent/device_agent.h"
#include "health/event_captions.h"
#include "health/metrics_file.h"
#include "ingress/receiver_process.h"
#include "settings/settings_model.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {


// The "reasons" under which connection events are held to their rate, per address.
constexpr char kConnectedReason[] = "connected";
constexpr char kDisconnectedReason[] = "disconnected";

constexpr int kMinServicePort = 1024;
constexpr int kMaxServicePort = 65535;

/**
 * The port a setting::kServicePort text names: decimal digits only, within the settings
 * model's range. Anything else (signs, blanks, trailing characters, 0, a value that would
 * wrap) names none: a port bound by mistake would be a random one or another service's.
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

} // namespace

Engine::Engine(const Intervals& intervals):
    nx::sdk::analytics::Engine(/*enableOutput*/ true),
    m_context(makeRelayContext(intervals)),
    m_counters(m_context->counters),
    m_refusals(
        [this](const std::string& address, const std::string& reason, int64_t unreported)
        { reportRefusal(address, reason, unreported); },
        [this](const PeerReports::Summary& summary)
        { reportSummary(Level::warning, nullptr, kRefusedCaption, "refusals", summary); },
        m_context->ingressBudgets.text, &m_counters.engine().refusedPeers),
    m_sizeRefusals(
        [this](const std::string& address, const std::string& reason, int64_t unreported)
        { reportRefusal(address, reason, unreported); },
        [this](const PeerReports::Summary& summary)
        { reportSummary(
            Level::warning, nullptr, kRefusedCaption, "messages too large", summary); },
        m_context->ingressBudgets.text, &m_counters.engine().tooLarge),
    m_connections(
        [this](const std::string& address, const std::string& change, int64_t unreported)
        { reportConnection(address, change, unreported); },
        [this](const PeerReports::Summary& summary)
        { reportSummary(
            Level::info, kRelayFunc, kConnectedCaption, "connections", summary); },
        m_context->ingressBudgets.text),
    m_disconnections(
        [this](const std::string& address, const std::string& change, int64_t unreported)
        { reportConnection(address, change, unreported); },
        [this](const PeerReports::Summary& summary)
        { reportSummary(Level::warning, kRelayFunc, kDisconnectedCaption,
            "disconnections", summary); },
        m_context->ingressBudgets.text),
    m_relay(std::make_unique<RelayThread>(
        m_context, logUtils, sink(), ReceiverProcess::defaultExecutable()))
{
}

Engine::~Engine()
{
    // First: the relay thread and the receiver's ZAP handler call into this engine.
    m_relay.reset();
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
    RelaySettings next = m_relay->settings();
    applyServicePort(response.get(), &next.servicePort);
    applyMetricsFile(response.get(), &next.metricsFile);
    applyLoopbackEndpoint(response.get(), &next.loopbackEndpoint);
    // A CheckBox sends "true" or "false"; a server that knows nothing of it sends nothing.
    next.loopbackRelay = settingValue(setting::kLoopbackRelay.name) != "false";
    next.isolateReceiver = settingValue(setting::kIsolateReceiver.name) != "false";
    applyReceiveMessagesFor(response.get(), &next.ownCamerasOnly);
    const IngressPolicyResult ingress = makeIngressPolicy(
        IngressSettings{settingValue(setting::kServiceAddress.name),
            settingValue(setting::kAllowedEngineAddresses.name),
            settingValue(setting::kCurveSecretKeyFile.name),
            settingValue(setting::kAuthorizedEnginesDirectory.name)},
        *next.ingressPolicy);
    for (const auto& [name, refusal]: ingress.refused)
        refuseSetting(response.get(), name, refusal.value, refusal.expected);
    for (const std::string& note: ingress.notes)
        NX_PRINT << "settingsReceived" << " " << note;
    next.ingressPolicy = ingress.policy;

    const bool loopbackRelay = next.loopbackRelay;
    const bool isolateReceiver = next.isolateReceiver;
    m_relay->apply(std::move(next));
    NX_PRINT << "settingsReceived" << " m_loopbackRelay:" << (loopbackRelay ? 1 : 0);
    NX_PRINT << "settingsReceived" << " m_isolateReceiver:" << (isolateReceiver ? 1 : 0);
    return response.releasePtr();
}

void Engine::applyServicePort(SettingsResponse* response, ServicePortChoice* choice)
{
    // The parse's bounds are the settings model's range.
    static_assert(kMinServicePort == setting::kServicePort.range.min
        && kMaxServicePort == setting::kServicePort.range.max);
    const std::string text = settingValue(setting::kServicePort.name);
    if (const std::optional<int> port = parseServicePort(text))
    {
        choice->accept(*port);
        NX_PRINT << "settingsReceived" << " m_servicePort:" << *port;
        return;
    }
    refuseSetting(response, setting::kServicePort.name, text, "a whole number from "
        + std::to_string(kMinServicePort) + " to " + std::to_string(kMaxServicePort));
    choice->refuse();
}

void Engine::applyMetricsFile(SettingsResponse* response, std::string* metricsFile)
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
    // Only a file of its own is ever replaced: not an operator's file, nor a device node.
    if (const std::optional<std::string> why =
        path.empty() ? std::nullopt : foreignMetricsFile(path, m_counters.engineId()))
    {
        refuseSetting(response, setting::kMetricsFile.name, path,
            "a new file or one this plugin wrote; it " + *why);
        return;
    }
    *metricsFile = path;
    NX_PRINT << "settingsReceived" << " m_metricsFile:" << nx::kit::utils::quotedLiteral(path);
}

void Engine::applyLoopbackEndpoint(SettingsResponse* response, std::string* endpoint)
{
    const std::string text = settingValue(setting::kLoopbackRelayEndpoint.name);
    // Only transports that another process can reach; ZeroMQ checks the rest as it binds.
    const bool transport = text.rfind("tcp://", 0) == 0 || text.rfind("ipc://", 0) == 0;
    if (!text.empty()
        && (!transport || text.find_first_of(std::string("\n\r\0 ", 4)) != std::string::npos))
    {
        refuseSetting(response, setting::kLoopbackRelayEndpoint.name, text,
            "empty (a private socket), or an endpoint tcp://ADDRESS:PORT or ipc://PATH");
        return;
    }
    *endpoint = text;
    NX_PRINT << "settingsReceived" << " m_loopbackRelayEndpoint:"
        << nx::kit::utils::quotedLiteral(text);
}

void Engine::applyReceiveMessagesFor(SettingsResponse* response, bool* ownCamerasOnly)
{
    const std::string text = settingValue(setting::kReceiveMessagesFor.name);
    // Nothing at all: a server that knows nothing of the setting, which means the default.
    if (!text.empty() && !setting::isValueOf(setting::kReceiveMessagesFor, {text.c_str()}))
    {
        refuseSetting(response, setting::kReceiveMessagesFor.name, text,
            std::string(setting::kAllCameras) + " or " + setting::kOwnCameras);
        return;
    }
    *ownCamerasOnly = text == setting::kOwnCameras;
    NX_PRINT << "settingsReceived" << " m_receiveMessagesFor:"
        << (*ownCamerasOnly ? setting::kOwnCameras : setting::kAllCameras);
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

void Engine::setEngineInfo(const IEngineInfo* engineInfo)
{
    nx::sdk::analytics::Engine::setEngineInfo(engineInfo);
    logUtils.guardBoundaryCall(__func__, static_cast<Result<void>*>(nullptr),
        [&]()
        {
            const char* const id = engineInfo ? engineInfo->id() : nullptr;
            m_counters.setEngineId(id ? id : ""); //< The metrics file's "engine" label.
            if (id)
                m_relay->setEngineId(id);
        });
}

void Engine::doObtainDeviceAgent(Result<IDeviceAgent*>* outResult, const IDeviceInfo* deviceInfo)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { *outResult = new DeviceAgent(deviceInfo, m_context); });
}

void Engine::event(Level level, const std::string& caption, const std::string& description)
{
    pushPluginDiagnosticEvent(level, caption, description);
}

void Engine::refused(const std::string& address, const std::string& reason)
{
    const auto now = PeerReports::Clock::now();
    if (reason == kRefusedTooLarge)
    {
        m_sizeRefusals.note(address, reason, now);
        return;
    }
    // By reason and address for the metrics file, beside the total that the reports count.
    m_counters.engine().refusals.refused(address, reason, now);
    m_refusals.note(address, reason, now);
}

void Engine::connected(const std::string& address)
{
    m_counters.engine().enginesConnected.fetch_add(1, std::memory_order_relaxed);
    bump(m_counters.engine().connections);
    m_connections.note(address, kConnectedReason, PeerReports::Clock::now());
}

void Engine::disconnected(const std::string& address)
{
    m_counters.engine().enginesConnected.fetch_sub(1, std::memory_order_relaxed);
    bump(m_counters.engine().disconnects);
    m_disconnections.note(address, kDisconnectedReason, PeerReports::Clock::now());
}

void Engine::tick(Clock::time_point now)
{
    for (PeerReports* reports: {&m_refusals, &m_sizeRefusals, &m_connections, &m_disconnections})
        reports->tick(now);
}

std::chrono::milliseconds Engine::untilDue(Clock::time_point now) const
{
    return std::min({m_refusals.untilDue(now), m_sizeRefusals.untilDue(now),
        m_connections.untilDue(now), m_disconnections.untilDue(now)});
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

void Engine::reportSummary(Level level, const char* function, const char* caption,
    const char* noun, const PeerReports::Summary& summary)
{
    try
    {
        const std::string description = std::string(summary.atLeast ? "at least " : "")
            + std::to_string(summary.addresses) + " more addresses in the last "
            + std::to_string(summary.period.count()) + " s (" + std::to_string(summary.notes)
            + " " + noun + "), not reported one by one";
        // The lines begin as each report's own: refusals' without a function name.
        if (function)
            NX_PRINT << function << " " << caption << ": " << description;
        else
            NX_PRINT << caption << ": " << description;
        pushPluginDiagnosticEvent(level, caption, description);
    }
    catch (const std::exception&)
    {
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
