#include "in_process_ingress.h"

#include "service_socket.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

ServiceListener::Options inProcessOptions()
{
    ServiceListener::Options options;
    options.inputHighWaterMark = ServiceSocket::kInputHighWaterMark;
    // A receiver process may have listened on the port a moment ago.
    options.portMayBeClosing = true;
    // Descriptors come back in the server's process: the relay makes the listener again.
    options.throwOnLackOfResources = true;
    return options;
}

} // namespace

InProcessIngress::InProcessIngress(zmq::context_t& context, const nx::sdk::LogUtils& logUtils,
    IngressSink& sink, ZapHandler::PolicySource policySource, int workingPort)
    :
    m_listener(context, logUtils, sink, std::move(policySource), inProcessOptions()),
    m_log(logUtils)
{
    m_listener.takeOverFrom(workingPort);
}

zmq::pollitem_t InProcessIngress::pollItem()
{
    return {m_listener.socket().handle(), 0, ZMQ_POLLIN, 0};
}

void InProcessIngress::configure(int port, std::shared_ptr<const IngressPolicy> policy)
{
    m_listener.apply(port, std::move(policy));
}

void InProcessIngress::subscribe(const Subscriptions& wanted)
{
    for (const SubscriptionChange& change: subscriptionChanges(m_subscribed, wanted))
        applySubscription(m_listener.socket(), change);
    m_subscribed = wanted;
}

void InProcessIngress::receive(IngressConsumer& consumer, int max)
{
    for (int i = 0; i < max; ++i)
    {
        zmq::message_t message;
        try
        {
            if (!m_listener.socket().recv(message, zmq::recv_flags::dontwait))
                return;
        }
        catch (const zmq::error_t& e)
        {
            m_log.write("threadFuncZeromqLoop", " recv error: ", e.what());
            return;
        }
        consumer.deliver(message, zmq_msg_gets(message.handle(), "User-Id"),
            zmq_msg_gets(message.handle(), "Peer-Address"));
    }
}

std::chrono::milliseconds InProcessIngress::untilDue(Clock::time_point) const
{
    return std::chrono::hours(1);
}

} // namespace nx::vms_server_plugins::analytics::sample
