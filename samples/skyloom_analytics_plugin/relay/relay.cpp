#include "relay.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <iterator>
#include <utility>
#include <vector>

#include <nx/kit/debug.h>

#include "common/envelope_prefix.h"
#include "health/event_captions.h"
#include "ingress/in_process_ingress.h"
#include "ingress/isolated_ingress.h"
#include "ingress/port_release.h"
#include "settings/settings_table.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->m_logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->m_logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

namespace {

using Level = IngressSink::Level;

constexpr std::chrono::milliseconds kPollErrorPause{50};

/** How soon the relay tries again to open a service port that it could not open. */
constexpr std::chrono::seconds kIngressRetry{1};

/** How long a new receiver waits for the port that the listener in this process closed. */
constexpr std::chrono::seconds kPortCloseWait{5};

/**
 * The relay's half of each camera's queue (the agent's receive high-water mark is the other
 * half). With messages of up to ServiceSocket::kMaxMessageSize, ZeroMQ's default of 1000 would
 * let one slow camera hold gigabytes.
 */
constexpr int kAgentHighWaterMark = 100;

/** Messages moved per pass, so that subscriptions and a stop request are seen in between. */
constexpr int kMessagesPerPass = 256;


} // namespace

zmq::socket_t Relay::makeAgentsSocket(zmq::context_t& context)
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

Relay::Relay(zmq::socket_t boundAgents, RelayShared& shared, const nx::sdk::LogUtils& logUtils,
    IngressSink& sink, const RelaySettingsBox& settings, std::string receiverExecutable)
    :
    m_shared(shared),
    m_counters(shared.counters),
    m_logUtils(logUtils),
    m_sink(sink),
    m_settings(settings),
    m_receiverExecutable(std::move(receiverExecutable)),
    m_agents(std::move(boundAgents)),
    m_agentsBound(shared.endpoint),
    m_copy(*shared.context, logUtils, sink),
    m_ingressSink(sink, m_copy),
    m_connections(m_ingressSink, shared.counters.engine()),
    m_log(logUtils),
    m_health(m_counters,
        [this](const std::string& line) { NX_PRINT << kRelayFunc << " " << line; },
        Clock::now(),
        [&budget = shared.queueBudget](const std::string& cameraId)
        { return budget.bytes(envelopePrefix(cameraId)); },
        shared.intervals)
{
    const RelaySettings current = m_settings.get();
    // The copy first: the service port's "listening" event names its endpoint.
    m_copy.apply(copyTarget(current));
    m_isolateWanted = current.isolateReceiver;
    replaceIngress([&]() { return makeIngress(m_isolateWanted); });
    m_health.setMetricsFile(current.metricsFile, Clock::now());
}

Relay::~Relay()
{
    for (const CameraQueues::Report& report: m_queues.takeAllReports())
        logDropReport(report);
    // The receiver is stopped, the ZAP handler's thread joined.
    dropIngress(/*releasing*/ true);
    if (const size_t left = m_reaper.reap(); left > 0)
        NX_PRINT << kRelayFunc << " " << left << " receiver process(es) killed but not reaped";
    try
    {
        m_health.tick(Clock::now(), /*final*/ true);
    }
    catch (const std::exception& e)
    {
        NX_PRINT << kRelayFunc << " last health report failed: " << e.what();
    }
}

void Relay::pass(Wakeup& wakeup, const std::atomic<bool>& terminated) noexcept
{
    try
    {
        passOrThrow(wakeup, terminated);
    }
    catch (const std::exception& e)
    {
        m_log.write(kRelayFunc, " exception: ", e.what());
    }
    catch (...)
    {
        m_log.write(kRelayFunc, " exception: ", "unknown");
    }
}

/** One wait for input, subscriptions, a wake-up or a deadline, and what it brought. */
void Relay::passOrThrow(Wakeup& wakeup, const std::atomic<bool>& terminated)
{
    const auto now = Clock::now();
    // A hung receiver is looked for at the health line's wake-up: it costs no wake-up of its own.
    if (m_health.tick(now) && m_ingress)
        m_ingress->checkAlive(now);
    tickIngress(now);
    m_sink.tick(now);
    m_copy.tick(now);
    (void) m_reaper.reap();
    zmq::pollitem_t items[3 + DiagnosticCopy::kPollItems] = {
        m_ingress ? m_ingress->pollItem() : zmq::pollitem_t{nullptr, -1, 0, 0},
        {m_agents.handle(), 0, ZMQ_POLLIN, 0},
        {nullptr, wakeup.fd(), ZMQ_POLLIN, 0},
    };
    m_copy.pollItems(items + 3);
    // An idle relay sleeps until a message, a subscription, a wake-up or the next report (its
    // own, or a summary of the engine's) or receiver start (or attempt to listen again).
    const auto timeout = std::max(std::chrono::milliseconds(0),
        std::min({m_health.untilDue(now), untilIngressDue(now), m_sink.untilDue(now),
            m_copy.untilDue(now), m_reaper.untilDue()}));
    if (zmq_poll(items, std::size(items), static_cast<long>(timeout.count())) < 0)
    {
        if (zmq_errno() == EINTR)
            return;
        m_log.write(kRelayFunc, " poll Error: ", zmq_strerror(zmq_errno()));
        // A poll that keeps failing must not turn into a busy loop that floods the log.
        if (wakeup.waitFor(kPollErrorPause))
            wakeup.consume();
        return;
    }
    if (items[2].revents & ZMQ_POLLIN)
    {
        wakeup.consume();
        if (terminated)
            return;
        applySettings();
    }
    if (items[1].revents & ZMQ_POLLIN)
        readSubscriptions();
    if (items[0].revents != 0 && m_ingress)
        m_ingress->receive(*this, kMessagesPerPass);
    m_copy.serve(items + 3);
}

/** Takes up new settings: the receiver switch, port and policy, the diagnostic copy. */
void Relay::applySettings()
{
    const RelaySettings current = m_settings.get();
    m_health.setMetricsFile(current.metricsFile, Clock::now());
    if (current.isolateReceiver != m_isolateWanted || !m_ingress)
    {
        m_isolateWanted = current.isolateReceiver;
        replaceIngress([&]() { return makeIngress(m_isolateWanted); });
    }
    else
    {
        try
        {
            configureIngress();
        }
        catch (const std::exception& e)
        {
            ingressLost(e);
        }
    }
    m_copy.apply(copyTarget(current));
}

DiagnosticCopy::Target Relay::copyTarget(const RelaySettings& settings)
{
    return {settings.loopbackRelay, settings.loopbackEndpoint, settings.engineId};
}

//-------------------------------------------------------------------------------------------------
// The service port.

/**
 * The service port in a receiver process when setting::kIsolateReceiver asks for it and the
 * receiver can be started; in this process otherwise, which the operator is told.
 */
std::unique_ptr<IngressSource> Relay::makeIngress(bool isolate)
{
    if (isolate)
    {
        // The receiver's own wait for a port that is still closing is short; this thread can
        // wait longer for the one that this process closed.
        if (m_portClosingHere > 0 && !waitUntilPortClosed(m_portClosingHere, kPortCloseWait))
            NX_PRINT << kRelayFunc << " port " << m_portClosingHere << " still listens";
        m_portClosingHere = 0;
        auto isolated = std::make_unique<IsolatedIngress>(m_receiverExecutable, m_logUtils,
            m_connections, m_counters.engine(), m_reaper, m_shared.ingressBudgets, m_workingPort,
            m_shared.intervals.restartBackoff, [this]() { return receiverUser(); });
        const std::optional<std::string> failure = isolated->failed();
        if (!failure)
        {
            m_inProcessTold.reset();
            return isolated;
        }
        return makeInProcessIngress("the receiver cannot be started: " + *failure);
    }
    return makeInProcessIngress(std::string(setting::kIsolateReceiver.name) + " is off");
}

/**
 * Looked up at each start, so that a user added later is taken by the next receiver; told once
 * for the engine when it is not the receiver's own (which a server of root should give it).
 */
std::optional<UserIds> Relay::receiverUser()
{
    const ReceiverUser user = chooseReceiverUser(serverPrivileges());
    if (!user.warning.empty() && !m_receiverUserTold)
    {
        NX_PRINT << kRelayFunc << " " << kReceiverUserCaption << ": " << user.warning;
        m_sink.event(Level::warning, kReceiverUserCaption, user.warning);
        m_receiverUserTold = true;
    }
    return user.ids;
}

/** Told once for each reason in a row: a listener made again every second is not news. */
std::unique_ptr<IngressSource> Relay::makeInProcessIngress(const std::string& reason)
{
    const RelaySettingsBox& settings = m_settings;
    auto ingress = std::make_unique<InProcessIngress>(*m_shared.context, m_logUtils,
        m_connections, [&settings]() { return settings.policy(); }, m_workingPort);
    if (reason != m_inProcessTold)
    {
        NX_PRINT << kRelayFunc << " " << kInProcessCaption << ": " << reason;
        m_sink.event(Level::warning, kInProcessCaption, reason);
        m_inProcessTold = reason;
    }
    return ingress;
}

/**
 * The old ingress goes first (it holds the port that the new one is to listen on). If the new
 * one cannot be made (no descriptor or memory left), the relay goes on without one, says so,
 * and tries again after kIngressRetry.
 */
void Relay::replaceIngress(const std::function<std::unique_ptr<IngressSource>()>& make)
{
    dropIngress();
    try
    {
        m_ingress = make();
        configureIngress();
        m_ingressFailureTold.reset();
    }
    catch (const std::exception& e)
    {
        ingressLost(e);
    }
}

/**
 * Whatever listens next takes over the port that this one had working. A listener that goes
 * tells nothing more of its connections (its threads are joined, its receiver stopped): they are
 * ended here, and the AI engines connect to the next listener by themselves.
 */
void Relay::dropIngress(bool releasing) noexcept
{
    if (!m_ingress)
        return;
    m_workingPort = m_ingress->workingPort();
    const bool listenedHere = dynamic_cast<InProcessIngress*>(m_ingress.get()) != nullptr;
    m_ingress.reset();
    m_portClosingHere = listenedHere ? m_workingPort : 0;
    try
    {
        if (releasing)
            (void) m_connections.endAllQuietly();
        else if (const size_t ended = m_connections.endAll(); ended > 0)
        {
            NX_PRINT << kRelayFunc << " " << ended
                << " AI engine connection(s) ended with the listener";
        }
    }
    catch (const std::exception& e)
    {
        m_log.write(kRelayFunc, " connections of the listener not ended: ", e.what());
    }
}

/**
 * The ingress could not be made or configured (no descriptor or memory left): the relay goes on
 * without one and tries again after kIngressRetry. Tried every second, a failure is told once,
 * and again if it changes.
 */
void Relay::ingressLost(const std::exception& failure) noexcept
{
    dropIngress();
    m_ingressRetry = Clock::now() + kIngressRetry;
    m_log.write(kRelayFunc, " cannot listen for the AI engine: ", failure.what());
    try
    {
        std::string reason = std::string("the service port cannot be opened: ") + failure.what();
        if (reason != m_ingressFailureTold)
        {
            m_sink.event(Level::error, kServicePortCaption, reason);
            m_ingressFailureTold = std::move(reason);
        }
    }
    catch (...)
    {
        // No memory for the event: the log line above is written, the retry is set.
    }
}

/** The latest port, policy and subscriptions to the ingress (which ignores what it has). */
void Relay::configureIngress()
{
    const RelaySettings current = m_settings.get();
    m_policy = current.ingressPolicy;
    m_ownCameras = current.ownCamerasOnly;
    m_ingress->configure(current.servicePort.port(), m_policy);
    m_ingress->subscribe(wantedSubscriptions());
}

/**
 * Every message, or the prefixes of the cameras that have an agent here; every message, too,
 * when they are more (or longer) than a receiver takes: the cameras must never go without.
 */
Subscriptions Relay::wantedSubscriptions()
{
    if (!m_ownCameras)
        return everything();
    Subscriptions wanted;
    for (std::string& prefix: m_queues.prefixes())
    {
        if (prefix.size() > SubscriptionLimits::kMaxPrefixLength
            || wanted.size() == SubscriptionLimits::kMaxPrefixes)
        {
            if (!m_tooManyTold)
            {
                NX_PRINT << kRelayFunc << " " << setting::kReceiveMessagesFor.name
                    << ": more than " << SubscriptionLimits::kMaxPrefixes << " cameras or a"
                    << " camera id longer than a prefix may be; receiving every message";
                m_tooManyTold = true;
            }
            return everything();
        }
        wanted.insert(std::move(prefix));
    }
    m_tooManyTold = false;
    return wanted;
}

/** Starts what is due: a service port made again, or a receiver that died replaced. */
void Relay::tickIngress(Clock::time_point now)
{
    if (!m_ingress && now >= m_ingressRetry)
        replaceIngress([&]() { return makeIngress(m_isolateWanted); });
    if (!m_ingress)
        return;
    m_ingress->tick(now);
    if (const std::optional<std::string> reason = m_ingress->failed())
    {
        replaceIngress(
            [&]() { return makeInProcessIngress("the receiver cannot be started: " + *reason); });
    }
}

std::chrono::milliseconds Relay::untilIngressDue(Clock::time_point now) const
{
    if (m_ingress)
        return m_ingress->untilDue(now);
    return std::chrono::duration_cast<std::chrono::milliseconds>(m_ingressRetry - now);
}

//-------------------------------------------------------------------------------------------------
// Messages.

void Relay::deliver(zmq::message_t& message, const char* userId, const char* peer)
{
    bump(m_counters.engine().received);
    bump(m_counters.engine().receivedBytes, message.size());
    const std::string_view text(static_cast<const char*>(message.data()), message.size());
    CameraQueues::Camera* const camera = m_queues.find(text);
    if (!messageAllowed(text, userId, peer, camera ? camera->counters.get() : nullptr))
        return;
    m_copy.send(message);
    if (!camera)
    {
        reportNoCamera(text);
        return;
    }
    sendToCamera(*camera, message);
}

/**
 * Whether the AI engine that sent the message may reach its camera: the ZAP handler named the
 * engine's certificate as the connection's user id, whose "cameras" restrict it.
 */
bool Relay::messageAllowed(std::string_view message, const char* userId, const char* peer,
    CameraCounters* camera)
{
    if (!m_policy)
        return true;
    // The allow-list once more, per message: a list changed since the connection's handshake
    // holds at once, also while a receiver process is still taking up the change.
    const std::vector<AddressRange>& allowed = m_policy->allowedAddresses;
    if (!allowed.empty() && !(peer && addressInRanges(allowed, peer)))
    {
        m_sink.refused(peer ? peer : "unknown address", kRefusedAddress);
        m_log.write(kRelayFunc, " message dropped, address not allowed ", peer ? peer : "");
        return false;
    }
    if (!m_policy->curve)
        return true;
    if (cameraAllowed(*m_policy, userId, message))
        return true;
    if (camera)
        camera->drop(DropReason::notAuthorised);
    m_sink.refused(peer ? peer : "unknown address", kRefusedCamera);
    m_log.write(kRelayFunc, " message dropped, camera not authorised for AI engine ",
        userId ? userId : "");
    return false;
}

void Relay::sendToCamera(CameraQueues::Camera& camera, zmq::message_t& message)
{
    const auto size = static_cast<int64_t>(message.size());
    try
    {
        std::optional<CameraQueues::Report> report;
        if (camera.account && !camera.account->charge(size))
        {
            // The camera's (or all cameras') queued bytes are at their bound: a flood of large
            // messages is dropped here rather than held.
            report = m_queues.dropped(camera, CameraQueues::Clock::now());
        }
        else if (m_agents.send(message, zmq::send_flags::dontwait))
        {
            bump(m_counters.engine().relayed);
            if (m_queues.anyUnreported())
                report = m_queues.delivered(camera, CameraQueues::Clock::now());
        }
        else
        {
            // EAGAIN with NODROP: the camera's queue is full; the message is still ours, and
            // goes to nobody.
            if (camera.account)
                camera.account->refund(size);
            report = m_queues.dropped(camera, CameraQueues::Clock::now());
        }
        if (report)
            logDropReport(*report);
    }
    catch (const zmq::error_t& e)
    {
        m_log.write(kRelayFunc, " send error: ", e.what());
    }
}

void Relay::reportNoCamera(std::string_view message)
{
    bump(m_counters.engine().noCamera);
    // Subscribed to this engine's cameras only, such a message is one that was on its way when
    // its camera left (for another server): no fault of the AI engine's.
    if (m_ownCameras)
        return;
    const std::optional<std::string> description = m_noCamera.noCamera(
        message, [this]() { return m_queues.cameraIds(); }, NoCameraReport::Clock::now());
    if (!description)
        return;
    NX_PRINT << kRelayFunc << " " << kNoCameraCaption << ": " << *description;
    m_sink.event(Level::warning, kNoCameraCaption, *description);
}

/** The agents' (un)subscriptions: one byte 1 or 0, then the prefix. */
void Relay::readSubscriptions()
{
    bool changed = false;
    for (int i = 0; i < kMessagesPerPass; ++i)
    {
        zmq::message_t message;
        if (!m_agents.recv(message, zmq::recv_flags::dontwait))
            break;
        if (message.size() == 0)
            continue;
        changed = true;
        const char* const data = static_cast<const char*>(message.data());
        std::string prefix(data + 1, message.size() - 1);
        if (data[0] == 1)
        {
            m_queues.subscribe(prefix, m_shared.queueBudget.account(prefix),
                m_counters.camera(CameraQueues::cameraIdOf(prefix)));
        }
        else if (data[0] == 0)
        {
            if (const auto report = m_queues.unsubscribe(prefix))
                logDropReport(*report);
        }
    }
    // The service port follows at once: a camera that moved here gets its messages from the
    // AI engine one subscription round trip later.
    if (changed && m_ingress && m_ownCameras)
        m_ingress->subscribe(wantedSubscriptions());
}

void Relay::logDropReport(const CameraQueues::Report& report)
{
    NX_PRINT << kRelayFunc << " camera " << report.cameraId << ": queue full, " << report.dropped
        << " messages dropped (" << report.total << " in all)";
}

} // namespace nx::vms_server_plugins::analytics::sample
