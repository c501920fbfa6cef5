#include "isolated_ingress.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cerrno>
#include <cstring>

#include <nx/kit/debug.h>

#include "common/descriptor_usage.h"
#include "listener_config.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->m_logUtils.printPrefix())

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** Configuration frames waiting for a receiver that does not read; far more than one needs. */
constexpr size_t kMaxConfigurationBytes = 16 * 1024 * 1024;

// A write to the channel failed: the receiver's end is closed, so it ended by itself (a receiver
// that exits before it reads its configuration is found this way as often as by the read).
constexpr const char* kClosedItsChannel = "closed its channel";

/** How soon the log tells again that the channel waited for the receiver's share of a core. */
constexpr std::chrono::minutes kHeldBackRetold{1};

/** The captions that a receiver may raise; anything else is a malformed frame. */
constexpr std::array<const char*, 3> kReceiverCaptions = {
    kServicePortCaption, kEncryptionCaption, kListeningCaption};

/** How soon a receiver that lacked descriptors, processes or memory is tried again. */
constexpr std::chrono::seconds kResourceRetry{1};
/** How soon the log tells again that the receiver still cannot be started. */
constexpr std::chrono::minutes kResourceRetold{1};

/** Connections a receiver may report at once; its descriptors are fewer. */
constexpr size_t kMaxConnections = 2048;

/** The refusal reasons that a receiver may give. */
constexpr std::array<const char*, 6> kReceiverReasons = {kRefusedAddress, kRefusedKey,
    kRefusedHandshake, kRefusedCamera, kRefusedConnections, kRefusedTooLarge};

template<size_t N>
bool isOneOf(std::string_view text, const std::array<const char*, N>& known)
{
    return std::any_of(known.begin(), known.end(),
        [text](const char* item) { return text == item; });
}

/** The port of an endpoint as libzmq resolves it ("tcp://0.0.0.0:9911"); 0 if none. */
int portOf(std::string_view endpoint)
{
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string_view::npos)
        return 0;
    const std::string_view digits = endpoint.substr(colon + 1);
    int port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    const bool whole = error == std::errc() && end == digits.data() + digits.size();
    return whole && port > 0 && port <= 65535 ? port : 0;
}

/** A receiver's text as the server may show it: printable ASCII, the rest as '?'. */
std::string printable(std::string_view text)
{
    std::string result(text);
    for (char& c: result)
    {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    }
    return result;
}

} // namespace

IsolatedIngress::IsolatedIngress(std::string executable, const nx::sdk::LogUtils& logUtils,
    IngressSink& sink, EngineCounters& counters, ChildReaper& reaper, IngressBudgets& budgets,
    int workingPort, std::chrono::milliseconds restartBackoff, UserChoice userChoice)
    :
    m_executable(std::move(executable)),
    m_userChoice(std::move(userChoice)),
    m_logUtils(logUtils),
    m_sink(sink),
    m_counters(counters),
    m_reaper(reaper),
    m_budgets(budgets),
    m_restarts(restartBackoff),
    m_workingPort(workingPort),
    m_agentsCpuNs(budgets.agentsCpuNs.load(std::memory_order_relaxed)),
    m_heldBackLines(1, kHeldBackRetold),
    m_resourceLines(1, kResourceRetold)
{
    startReceiver(Clock::now());
}

IsolatedIngress::~IsolatedIngress()
{
    if (m_process)
        (void) stopReceiver();
}

std::string IsolatedIngress::stopReceiver()
{
    std::string how = m_process->stop();
    if (const pid_t pid = m_process->unreaped(); pid > 0)
        m_reaper.adopt(pid);
    return how;
}

zmq::pollitem_t IsolatedIngress::pollItem()
{
    if (!m_process)
        return {nullptr, -1, 0, 0};
    spendAgentsTime();
    // While the channel waits for its share, only what the engine has to send wakes the relay.
    const bool read = channelOpen(Clock::now());
    const short events = static_cast<short>(
        (read ? ZMQ_POLLIN : 0) | (m_writer->empty() ? 0 : ZMQ_POLLOUT));
    return {nullptr, m_process->channel(), events, 0};
}

void IsolatedIngress::configure(int port, std::shared_ptr<const IngressPolicy> policy)
{
    if (port == m_port && policy == m_policy)
        return;
    m_port = port;
    m_policy = std::move(policy);
    sendConfiguration();
}

void IsolatedIngress::sendConfiguration()
{
    if (!m_process || !m_policy)
        return;
    m_writer->pushAlways(
        encodeText(FrameType::config, encodeListenerConfig(m_port, m_workingPort, *m_policy)));
    if (m_writer->queuedBytes() > kMaxConfigurationBytes)
        ended("does not take its configuration", Clock::now());
    else if (!m_writer->flush(m_process->channel()))
        ended(kClosedItsChannel, Clock::now());
}

void IsolatedIngress::subscribe(const Subscriptions& wanted)
{
    if (wanted == m_wanted)
        return;
    m_wanted = wanted;
    sendSubscriptions();
}

/** What the receiver lacks of m_wanted, as single changes; they pass the writer's bound. */
void IsolatedIngress::sendSubscriptions()
{
    if (!m_process)
        return;
    for (const SubscriptionChange& change: subscriptionChanges(m_subscribed, m_wanted))
        m_writer->pushAlways(encodeSubscription(change.subscribe, change.prefix));
    m_subscribed = m_wanted;
    if (m_writer->queuedBytes() > kMaxConfigurationBytes)
        ended("does not take its subscriptions", Clock::now());
    else if (!m_writer->flush(m_process->channel()))
        ended(kClosedItsChannel, Clock::now());
}

void IsolatedIngress::receive(IngressConsumer& consumer, int max)
{
    if (!m_process)
        return;
    if (!m_writer->empty() && !m_writer->flush(m_process->channel()))
    {
        ended(kClosedItsChannel, Clock::now());
        return;
    }
    spendAgentsTime();
    if (!channelOpen(Clock::now()))
        return;
    const std::chrono::nanoseconds start = CpuShare::threadTime();
    readFrames(consumer, max);
    m_channelShare.spend(CpuShare::threadTime() - start);
}

bool IsolatedIngress::channelOpen(Clock::time_point now)
{
    const bool open = m_channelShare.available(now);
    if (!open && !m_holdingBack)
        heldBack(now);
    m_holdingBack = !open;
    return open;
}

void IsolatedIngress::spendAgentsTime()
{
    const int64_t total = m_budgets.agentsCpuNs.load(std::memory_order_relaxed);
    m_channelShare.spend(std::chrono::nanoseconds(total - m_agentsCpuNs));
    m_agentsCpuNs = total;
}

void IsolatedIngress::readFrames(IngressConsumer& consumer, int max)
{
    const uint64_t readBefore = m_reader->bytesRead();
    for (int i = 0; i < max && m_process && m_reader->bytesRead() - readBefore < kBytesPerPass;
        ++i)
    {
        Frame frame;
        switch (m_reader->next(m_process->channel(), &frame))
        {
            case ChannelReader::Status::needMore:
                return;
            case ChannelReader::Status::closed:
                ended("", Clock::now());
                return;
            case ChannelReader::Status::error:
                ended(std::string("sent a malformed frame (")
                    + channelErrorText(m_reader->error()) + ")", Clock::now());
                return;
            case ChannelReader::Status::frame:
                m_heardFrom = true;
                m_heardSinceCheck = true;
                if (!handle(frame, consumer))
                    return;
                break;
        }
    }
}

/**
 * The receiver's input took its share of a core: the relay reads the channel again when the
 * share allows. A receiver's queue to the engine then fills, and it drops and counts.
 */
void IsolatedIngress::heldBack(Clock::time_point now)
{
    ++m_heldBack;
    if (!m_heldBackLines.offer({}, now).pass)
        return;
    NX_PRINT << kRelayFunc << " receiver: channel held back " << m_heldBack
        << " time(s) since the last such line: its input takes more than "
        << kChannelSharePercent << " % of a core; what it cannot queue meanwhile it drops"
        << " (counted as lost)";
    m_heldBack = 0;
}

bool IsolatedIngress::handle(const Frame& frame, IngressConsumer& consumer)
{
    const auto text = [](std::string_view view) { return std::string(view); };
    switch (frame.type)
    {
        case FrameType::message:
        {
            zmq::message_t message(frame.body.data(), frame.body.size());
            const std::string userId(frame.first);
            const std::string peer(frame.second);
            consumer.deliver(message, userId.empty() ? nullptr : userId.c_str(),
                peer.empty() ? nullptr : peer.c_str());
            return true;
        }
        case FrameType::event:
            if (!isOneOf(frame.first, kReceiverCaptions))
            {
                ended("sent a malformed frame (event of an unknown caption)", Clock::now());
                return false;
            }
            if (frame.first == kListeningCaption)
                noteListening(frame.body);
            if (eventAllowed(Clock::now()))
            {
                m_sink.event(static_cast<IngressSink::Level>(frame.level), text(frame.first),
                    printable(frame.body));
            }
            return true;
        case FrameType::refused:
            if (!isOneOf(frame.body, kReceiverReasons))
            {
                ended("sent a malformed frame (refusal of an unknown reason)", Clock::now());
                return false;
            }
            m_sink.refused(printable(frame.first), text(frame.body));
            return true;
        case FrameType::connected:
            // More than a receiver can hold (its descriptor limit) is no connection.
            if (m_connected.size() < kMaxConnections)
            {
                m_connected.insert(printable(frame.first));
                m_sink.connected(printable(frame.first));
            }
            return true;
        case FrameType::disconnected:
            if (const auto it = m_connected.find(printable(frame.first)); it != m_connected.end())
            {
                m_connected.erase(it);
                m_sink.disconnected(printable(frame.first));
            }
            return true;
        case FrameType::log:
            logFromReceiver(frame.body);
            return true;
        case FrameType::stats:
            bump(m_counters.receiverLost, frame.dropped);
            m_queuedAtReceiver = frame.queued;
            return true;
        case FrameType::pong:
            return true; //< Heard from, as any frame.
        case FrameType::config:
        case FrameType::subscription:
        case FrameType::ping:
            break; //< Never accepted by the engine's reader.
    }
    return true;
}

/** The receiver listens: on that port the next one listens if its port cannot be bound. */
void IsolatedIngress::noteListening(std::string_view endpoint)
{
    if (const int port = portOf(endpoint); port != 0)
        m_workingPort = port;
}

void IsolatedIngress::tellLinesLeftOut(uint64_t count)
{
    if (count > 0)
        NX_PRINT << kRelayFunc << " receiver: " << count << " log lines left out (rate)";
}

void IsolatedIngress::logFromReceiver(std::string_view line)
{
    const TextBudget::Verdict verdict = m_budgets.text.line(Clock::now());
    if (!verdict.pass)
        return;
    tellLinesLeftOut(verdict.leftOut);
    // The receiver writes the lines of the units it shares with the relay, without a prefix.
    NX_PRINT << printable(line);
}

bool IsolatedIngress::eventAllowed(Clock::time_point now)
{
    tellLinesLeftOut(m_budgets.text.passLinesLeftOut(now));
    return m_budgets.text.event(now);
}

void IsolatedIngress::startReceiver(Clock::time_point now)
{
    ReceiverProcess::StartFailure failure;
    m_process = ReceiverProcess::start(
        m_executable, m_userChoice ? m_userChoice() : std::nullopt, &failure);
    m_nextStart.reset();
    if (!m_process)
    {
        if (failure.lackOfResources)
            waitForResources(failure.reason, now);
        else
            m_failed = failure.reason;
        return;
    }
    if (m_startsFailed > 0)
    {
        NX_PRINT << kRelayFunc << " receiver starts again; " << m_startsFailed
            << " attempt(s) before lacked resources";
        m_startsFailed = 0;
        m_resourceLines.forget({}); //< A later shortage is told at once.
    }
    m_restarts.started(now);
    m_reader = std::make_unique<ChannelReader>(/*fromReceiver*/ true);
    m_writer = std::make_unique<ChannelWriter>(kMaxConfigurationBytes);
    m_queuedAtReceiver = 0;
    m_heardFrom = false;
    m_heardSinceCheck = false;
    m_pingSent.reset();
    m_subscribed = everything(); //< A new receiver's socket, as ServiceSocket made it.
    NX_PRINT << kRelayFunc << " receiver " << m_process->pid() << " started: " << m_executable;
    if (m_endedWhy)
    {
        m_sink.event(IngressSink::Level::warning, kReceiverRestartedCaption, *m_endedWhy);
        m_endedWhy.reset();
    }
    sendConfiguration();
    sendSubscriptions();
}

/**
 * No descriptor, process or memory for a receiver now: nothing listens until one starts, tried
 * again every kResourceRetry. Not a reason to take the service port into the server: that would
 * last beyond the shortage.
 */
void IsolatedIngress::waitForResources(const std::string& reason, Clock::time_point now)
{
    m_nextStart = now + kResourceRetry;
    ++m_startsFailed;
    // Told at once, then in the log once a minute: the cause stays the same.
    if (!m_resourceLines.offer({}, now).pass)
        return;
    const std::string description = "the receiver cannot be started: " + reason + " ("
        + describe(descriptorUsage()) + "); tried again every second";
    NX_PRINT << kRelayFunc << " " << description;
    if (m_startsFailed == 1)
        m_sink.event(IngressSink::Level::error, kServicePortCaption, description);
}

/** The receiver is gone or must go: `why` is empty when it went by itself. */
void IsolatedIngress::ended(const std::string& why, Clock::time_point now)
{
    const pid_t pid = m_process->pid();
    const std::string how = stopReceiver();
    const bool endedByItself = why.empty() || why == kClosedItsChannel;
    const bool silent = endedByItself && !m_heardFrom;
    const uint64_t lost = m_queuedAtReceiver + (m_reader->partial() ? 1 : 0);
    m_process.reset();
    // Its connections ended with it; the AI engines connect to the next one by themselves.
    for (const std::string& address: m_connected)
        m_sink.disconnected(address);
    m_connected.clear();
    bump(m_counters.receiverRestarts);
    bump(m_counters.receiverLost, lost);

    const std::string description = why.empty() ? how : why + "; " + how;
    NX_PRINT << kRelayFunc << " receiver " << pid << " ended: " << description << "; " << lost
        << " messages in flight lost";
    m_silentEnds = silent ? m_silentEnds + 1 : 0;
    if (m_silentEnds >= kReceiverSilentEnds)
    {
        // It never ran: starting it again would only repeat this.
        m_failed = how + " before it started";
        m_nextStart.reset();
        return;
    }
    const RestartPolicy::Decision decision = m_restarts.died(now);
    if (decision.keepsDying)
    {
        const std::string text = std::to_string(decision.deathsInWindow)
            + " restarts within a minute, now at most one a second; the last: " + description;
        NX_PRINT << kRelayFunc << " " << kReceiverDyingCaption << ": " << text;
        m_sink.event(IngressSink::Level::error, kReceiverDyingCaption, text);
    }
    m_endedWhy = description;
    m_nextStart = decision.startAt;
    if (decision.startAt <= now)
        startReceiver(now);
}

std::chrono::milliseconds IsolatedIngress::untilDue(Clock::time_point now) const
{
    std::optional<Clock::time_point> due = m_nextStart;
    // The channel's share back: nothing else wakes the relay for it.
    if (!due && m_process && m_channelShare.resumeAt(now) > now)
        due = m_channelShare.resumeAt(now);
    if (!due)
        return std::chrono::hours(1);
    return std::max(std::chrono::milliseconds(0),
        std::chrono::duration_cast<std::chrono::milliseconds>(*due - now)
            + std::chrono::milliseconds(1));
}

/**
 * A receiver that writes (messages, stats, log lines) is alive at no cost; only a silent one is
 * asked, and one still silent a whole interval after being asked is hung: its loop reads no
 * channel, so it would never deliver again.
 */
void IsolatedIngress::checkAlive(Clock::time_point now)
{
    if (!m_process)
        return;
    if (m_heardSinceCheck)
    {
        m_heardSinceCheck = false;
        m_pingSent.reset();
        return;
    }
    if (m_pingSent)
    {
        const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - *m_pingSent);
        ended("did not answer for " + std::to_string(silent.count()) + " s", now);
        return;
    }
    m_pingSent = now;
    m_writer->pushAlways(encodeEmpty(FrameType::ping));
    if (!m_writer->flush(m_process->channel()))
        ended(kClosedItsChannel, now);
}

void IsolatedIngress::tick(Clock::time_point now)
{
    if (!m_process && m_nextStart && now >= *m_nextStart && !m_failed)
        startReceiver(now);
}

} // namespace nx::vms_server_plugins::analytics::sample
