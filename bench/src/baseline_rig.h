// The floor that the transport and the JSON parser set, on the same road as the plugin: a raw
// ZeroMQ relay hop (a SUB bound to the input port, a PUB for the subscribers; poll, receive
// one message, send it with ZMQ_DONTWAIT) and K SUB subscribers, one thread each, subscribed
// to their camera's prefix, that parse every message (with simdjson's DOM parser, one per
// subscriber, reused, the text copied into a padded buffer of its own: the best road a user
// would write by hand; or with nlohmann::json, the road the plugin was once measured against),
// read the publish time from its first track id and record it in a DeliverySink. By default (inproc) the relay and
// the subscribers share one context and meet in-process, as the plugin's relay and agents do;
// shared and perSubscriber put a loopback TCP hop between them instead (the plugin's former
// road). The constructor starts every thread, the destructor stops and joins them. ZeroMQ's
// default high-water marks are kept.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "delivery_sink.h"

namespace zmq { class context_t; }

namespace skyloom::bench {

class BaselineRig
{
public:
    enum class Contexts { inproc, shared, perSubscriber };
    enum class Parser { simdjson, nlohmann };

    /** Throws std::runtime_error if a socket cannot be set up. */
    BaselineRig(int inputPort, int outputPort, int cameras, DeliverySink* sink,
        Contexts contexts = Contexts::inproc, Parser parser = Parser::simdjson);
    ~BaselineRig();

    BaselineRig(const BaselineRig&) = delete;
    BaselineRig& operator=(const BaselineRig&) = delete;

    int cameraCount() const { return static_cast<int>(m_arrivals.size()); }

    /** Messages that subscriber `index` has parsed, stale ones included. */
    int64_t arrivals(int index) const;

    /** Messages that a subscriber could not parse (should stay 0). */
    int64_t failures() const { return m_failures; }

private:
    void threadFuncRelay(int inputPort, int outputPort);
    void threadFuncSubscriber(int index, int outputPort);
    void stop();

private:
    DeliverySink* const m_sink;
    std::atomic<bool> m_terminated{false}; //< Set by the destructor, read by every thread.
    std::atomic<bool> m_relayFailed{false}; //< Set by the relay thread if it cannot bind.
    std::atomic<bool> m_relayReady{false}; //< Set by the relay thread once both are bound.
    std::atomic<int64_t> m_failures{0};
    bool m_inproc = false;
    Parser m_parser = Parser::simdjson;
    /** Null: each subscriber has its own; with inproc, the relay's too. */
    std::unique_ptr<zmq::context_t> m_subscriberContext;
    std::vector<std::unique_ptr<std::atomic<int64_t>>> m_arrivals; //< One per subscriber.
    std::thread m_relay;
    std::vector<std::thread> m_subscribers;
};

} // namespace skyloom::bench
