#include "baseline_rig.h"

#include <chrono>
#include <cstring>
#include <vector>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include <simdjson.h>
#include <zmq.hpp>

#include "messages.h"

namespace skyloom::bench {

using namespace std::chrono;

namespace {

/** As the plugin's loops: an idle rig wakes once a second, so it costs the other road nothing
 * while that one runs; stopping takes up to this long. */
constexpr int kPollTimeoutMs = 1000;
constexpr milliseconds kSetupTimeout{5000};

std::string outputEndpoint(int port, bool inproc)
{
    return (inproc ? "inproc://baseline-relay-" : "tcp://127.0.0.1:") + std::to_string(port);
}

/** The publish time that the load generators put into the first annotation's track id. */
int64_t publishTimeOf(const nlohmann::json& message)
{
    return message.at("meta").at("metadata").at("annotations").at(0).at("track_id")
        .get<int32_t>();
}

/** The same with simdjson; throws if the message lacks it. */
int64_t publishTimeOf(simdjson::dom::element message)
{
    return message["meta"]["metadata"]["annotations"].at(0)["track_id"].get_int64().value();
}

/** A subscriber's parse of its messages: one parser and one padded buffer, reused. */
class SubscriberParse
{
public:
    explicit SubscriberParse(BaselineRig::Parser parser): m_parser(parser) {}

    /** The publish time of the message; throws if it does not parse. */
    int64_t publishTime(const char* text, size_t size)
    {
        if (m_parser == BaselineRig::Parser::nlohmann)
        {
            return publishTimeOf(
                nlohmann::json::parse(text, text + size, nullptr, true, false));
        }
        if (m_buffer.size() < size + simdjson::SIMDJSON_PADDING)
            m_buffer.resize(size + simdjson::SIMDJSON_PADDING);
        std::memcpy(m_buffer.data(), text, size);
        return publishTimeOf(m_simdjson.parse(m_buffer.data(), size, false).value());
    }

private:
    const BaselineRig::Parser m_parser;
    simdjson::dom::parser m_simdjson;
    std::vector<char> m_buffer;
};

} // namespace

BaselineRig::BaselineRig(int inputPort, int outputPort, int cameras, DeliverySink* sink,
    Contexts contexts, Parser parser):
    m_sink(sink)
{
    m_parser = parser;
    m_inproc = contexts == Contexts::inproc;
    if (contexts != Contexts::perSubscriber)
        m_subscriberContext = std::make_unique<zmq::context_t>();
    for (int i = 0; i < cameras; ++i)
        m_arrivals.push_back(std::make_unique<std::atomic<int64_t>>(0));

    m_relay = std::thread(
        [this, inputPort, outputPort]() { threadFuncRelay(inputPort, outputPort); });
    const auto deadline = steady_clock::now() + kSetupTimeout;
    while (!m_relayReady && !m_relayFailed && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    if (!m_relayReady)
    {
        stop();
        throw std::runtime_error("the baseline relay cannot bind ports "
            + std::to_string(inputPort) + " and " + std::to_string(outputPort));
    }

    try
    {
        for (int i = 0; i < cameras; ++i)
        {
            m_subscribers.emplace_back(
                [this, i, outputPort]() { threadFuncSubscriber(i, outputPort); });
        }
    }
    catch (...)
    {
        stop(); //< Threads already started must not outlive a constructor that fails.
        throw;
    }
}

BaselineRig::~BaselineRig()
{
    stop();
}

int64_t BaselineRig::arrivals(int index) const
{
    return *m_arrivals.at(static_cast<size_t>(index));
}

void BaselineRig::stop()
{
    m_terminated = true;
    if (m_relay.joinable())
        m_relay.join();
    for (std::thread& subscriber: m_subscribers)
    {
        if (subscriber.joinable())
            subscriber.join();
    }
}

void BaselineRig::threadFuncRelay(int inputPort, int outputPort)
{
    try
    {
        std::unique_ptr<zmq::context_t> ownContext;
        if (!m_inproc)
            ownContext = std::make_unique<zmq::context_t>();
        zmq::context_t& context = m_inproc ? *m_subscriberContext : *ownContext;
        zmq::socket_t input(context, zmq::socket_type::sub);
        input.set(zmq::sockopt::linger, 0);
        input.bind("tcp://*:" + std::to_string(inputPort));
        input.set(zmq::sockopt::subscribe, "");
        zmq::socket_t output(context, zmq::socket_type::pub);
        output.set(zmq::sockopt::linger, 0);
        output.bind(outputEndpoint(outputPort, m_inproc));
        m_relayReady = true;

        while (!m_terminated)
        {
            zmq::pollitem_t item{input.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, kPollTimeoutMs) <= 0)
                continue;
            zmq::message_t message;
            if (input.recv(message, zmq::recv_flags::dontwait))
                (void) output.send(message, zmq::send_flags::dontwait);
        }
    }
    catch (const std::exception&)
    {
        m_relayFailed = true;
    }
}

void BaselineRig::threadFuncSubscriber(int index, int outputPort)
{
    try
    {
        std::unique_ptr<zmq::context_t> ownContext;
        if (!m_subscriberContext)
            ownContext = std::make_unique<zmq::context_t>();
        // Declared after the context: closed before it.
        zmq::socket_t socket(
            ownContext ? *ownContext : *m_subscriberContext, zmq::socket_type::sub);
        socket.set(zmq::sockopt::linger, 0);
        socket.connect(outputEndpoint(outputPort, m_inproc));
        socket.set(zmq::sockopt::subscribe, subscriptionPrefix(cameraId(index)));

        std::atomic<int64_t>& arrivals = *m_arrivals[static_cast<size_t>(index)];
        SubscriberParse parse(m_parser);
        while (!m_terminated)
        {
            zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, kPollTimeoutMs) <= 0)
                continue;
            zmq::message_t message;
            if (!socket.recv(message, zmq::recv_flags::dontwait))
                continue;
            try
            {
                const int64_t publishTime = parse.publishTime(
                    static_cast<const char*>(message.data()), message.size());
                ++arrivals;
                m_sink->record(publishTime);
            }
            catch (const std::exception&)
            {
                ++m_failures;
            }
        }
    }
    catch (const std::exception&)
    {
        ++m_failures;
    }
}

} // namespace skyloom::bench
