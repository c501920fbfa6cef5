// The service port in the server's process: the fallback when the receiver process cannot run,
// or the administrator's choice (setting::kIsolateReceiver off). libzmq parses the peers' bytes
// here, so a fault of libzmq that a peer can reach takes the server with it; each connection's
// input is held to ServiceSocket::kInputHighWaterMark messages, which bounds the memory a peer
// can take. Made, and configured, for lack of descriptors or memory it throws, telling nothing:
// the relay makes it again a second later, and tells once. It takes over the working port of
// the source before it (ServiceListener::takeOverFrom).
//
// Threads: the relay thread only; the ZAP handler's thread calls the sink.
#pragma once

#include "health/camera_log.h"
#include "ingress_sink.h"
#include "ingress_source.h"
#include "service_listener.h"

namespace nx::vms_server_plugins::analytics::sample {

class InProcessIngress: public IngressSource
{
public:
    InProcessIngress(zmq::context_t& context, const nx::sdk::LogUtils& logUtils,
        IngressSink& sink, ZapHandler::PolicySource policySource, int workingPort);

    zmq::pollitem_t pollItem() override;
    void configure(int port, std::shared_ptr<const IngressPolicy> policy) override;
    void subscribe(const Subscriptions& wanted) override;
    void receive(IngressConsumer& consumer, int max) override;
    std::chrono::milliseconds untilDue(Clock::time_point now) const override;
    void tick(Clock::time_point) override {}
    std::optional<std::string> failed() const override { return std::nullopt; }
    int workingPort() const override { return m_listener.workingPort(); }
    int listeningPort() const override { return m_listener.listeningPort(); }

private:
    ServiceListener m_listener;
    /** What the listener's socket subscribes to. */
    Subscriptions m_subscribed = everything();
    /** Receive errors, held to a rate. */
    CameraLog m_log;
};

} // namespace nx::vms_server_plugins::analytics::sample
