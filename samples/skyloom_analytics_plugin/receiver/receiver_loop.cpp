#include "receiver_loop.h"

#include <chrono>
#include <exception>

#include <nx/kit/debug.h>

#include "ingress/listener_config.h"

#if defined(SKYLOOM_RECEIVER_TEST_TRIGGER)
    #include "forbidden_calls.h" //< The tests' calls that the sandbox must stop.
#endif

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr int kMessagesPerPass = 256;
constexpr std::chrono::milliseconds kStatsInterval{1000};

uint8_t levelByte(IngressSink::Level level)
{
    return static_cast<uint8_t>(level);
}

} // namespace

ReceiverLoop::ReceiverLoop(int channelFd): m_channel(channelFd)
{
}

ReceiverLoop::~ReceiverLoop()
{
    m_listener.reset();
    m_context.reset();
}

void ReceiverLoop::log(const std::string& line)
{
    MutexLock lock(m_queueMutex);
    // Log lines give way to messages when the engine is behind.
    (void) m_writer.push(encodeText(FrameType::log, line));
}

void ReceiverLoop::event(Level level, const std::string& caption, const std::string& description)
{
    pushAlways(encodeEvent(levelByte(level), caption, description));
}

void ReceiverLoop::refused(const std::string& address, const std::string& reason)
{
    pushAlways(encodeRefused(address, reason));
}

void ReceiverLoop::connected(const std::string& address)
{
    pushAlways(encodeText(FrameType::connected, address));
}

void ReceiverLoop::disconnected(const std::string& address)
{
    pushAlways(encodeText(FrameType::disconnected, address));
}

void ReceiverLoop::pushAlways(std::string frame)
{
    {
        MutexLock lock(m_queueMutex);
        // Events pass the messages' bound, up to a reserve of their own: a storm of refused
        // handshakes while the engine does not read must not grow this process without end.
        if (m_writer.queuedBytes() > kMaxQueuedBytes + kEventReserveBytes)
            return;
        m_writer.pushAlways(std::move(frame));
    }
    m_wakeup.notify();
}

std::shared_ptr<const IngressPolicy> ReceiverLoop::policy()
{
    MutexLock lock(m_policyMutex);
    return m_policy;
}

int ReceiverLoop::run(const std::function<std::optional<std::string>()>& enterSandbox)
{
    m_context = std::make_unique<zmq::context_t>();
    m_context->set(zmq::ctxopt::blocky, 0);
    ServiceListener::Options options;
    options.inputHighWaterMark = 0;
    // The listener of the receiver before this one may have been closed a moment ago.
    options.portMayBeClosing = true;
    m_listener = std::make_unique<ServiceListener>(
        *m_context, m_logUtils, static_cast<IngressSink&>(*this), [this]() { return policy(); },
        options);

    if (const std::optional<std::string> error = enterSandbox())
        log(std::string("threadFuncZeromqLoop receiver sandbox incomplete: ") + *error);

    auto nextStats = std::chrono::steady_clock::now() + kStatsInterval;
    for (;;)
    {
        bool pending = false;
        {
            MutexLock lock(m_queueMutex);
            pending = !m_writer.empty();
        }
        zmq::pollitem_t items[] = {
            {m_listener->socket().handle(), 0, ZMQ_POLLIN, 0},
            {nullptr, m_channel, static_cast<short>(ZMQ_POLLIN | (pending ? ZMQ_POLLOUT : 0)), 0},
            {nullptr, m_wakeup.fd(), ZMQ_POLLIN, 0},
        };
        if (zmq_poll(items, 3, static_cast<long>(kStatsInterval.count())) < 0)
        {
            if (zmq_errno() == EINTR)
                continue;
            return 3;
        }
        if (items[2].revents & ZMQ_POLLIN)
            m_wakeup.consume();
        if ((items[1].revents & ZMQ_POLLIN) && !readConfiguration())
            return 0;
        if (items[1].revents & ZMQ_POLLERR)
            return 0;
        if (items[0].revents & ZMQ_POLLIN)
            readMessages();
        if (!flush())
            return 0;
        if (const auto now = std::chrono::steady_clock::now(); now >= nextStats)
        {
            sendStats();
            nextStats = now + kStatsInterval;
        }
    }
}

bool ReceiverLoop::readConfiguration()
{
    for (;;)
    {
        Frame frame;
        switch (m_reader.next(m_channel, &frame))
        {
            case ChannelReader::Status::needMore:
                return true;
            case ChannelReader::Status::closed:
            case ChannelReader::Status::error:
                return false;
            case ChannelReader::Status::frame:
                break;
        }
        if (frame.type == FrameType::ping)
        {
            // Answered from this loop: a pong says that the loop runs, not only the process.
            pushAlways(encodeEmpty(FrameType::pong));
            continue;
        }
        if (frame.type == FrameType::subscription)
        {
            subscribe(SubscriptionChange{frame.subscribe, std::string(frame.body)});
            continue;
        }
        std::string error;
        std::optional<ListenerConfig> config = decodeListenerConfig(frame.body, &error);
        if (!config)
        {
            log("threadFuncZeromqLoop receiver: configuration refused: " + error);
            return false;
        }
        {
            MutexLock lock(m_policyMutex);
            m_policy = config->policy;
        }
        m_listener->takeOverFrom(config->workingPort);
        m_listener->apply(config->port, config->policy);
    }
}

/**
 * One change of the service socket's subscriptions, within the table's bounds: the engine never
 * asks for more, so a refusal is a fault worth a line, not a reason to end.
 */
void ReceiverLoop::subscribe(const SubscriptionChange& change)
{
    const SubscriptionTable::Refusal refusal = m_subscriptions.take(change);
    if (refusal != SubscriptionTable::Refusal::none)
    {
        log(std::string("threadFuncZeromqLoop receiver: subscription refused: ")
            + SubscriptionTable::refusalText(refusal));
        return;
    }
    applySubscription(m_listener->socket(), change);
}

void ReceiverLoop::readMessages()
{
    for (int i = 0; i < kMessagesPerPass; ++i)
    {
        zmq::message_t message;
        if (!m_listener->socket().recv(message, zmq::recv_flags::dontwait))
            return;
        const std::string_view bytes(static_cast<const char*>(message.data()), message.size());
#if defined(SKYLOOM_RECEIVER_TEST_TRIGGER)
        if (const auto outcome = skyloom::hardening::makeForbiddenCall(bytes))
        {
            log(*outcome);
            continue;
        }
#endif
        const char* const userId = zmq_msg_gets(message.handle(), "User-Id");
        const char* const peer = zmq_msg_gets(message.handle(), "Peer-Address");
        std::string frame = encodeMessage(userId ? userId : "", peer ? peer : "", bytes);
        MutexLock lock(m_queueMutex);
        if (!m_writer.push(std::move(frame)))
            ++m_dropped;
    }
}

bool ReceiverLoop::flush()
{
    MutexLock lock(m_queueMutex);
    return m_writer.flush(m_channel);
}

void ReceiverLoop::sendStats()
{
    MutexLock lock(m_queueMutex);
    const uint64_t queued = m_writer.queuedFrames();
    if (m_dropped == 0 && queued == m_lastQueued)
        return;
    m_writer.pushAlways(encodeStats(m_dropped, queued));
    m_dropped = 0;
    m_lastQueued = queued;
}

} // namespace nx::vms_server_plugins::analytics::sample
