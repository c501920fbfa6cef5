#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <skyloom/testhost/ai_engine_publisher.h>
#include <skyloom/testhost/loopback_subscriber.h>

namespace skyloom::testhost {
namespace {

using namespace std::chrono_literals;

// Both helpers connect; these tests play the plugin's bound sockets on a free port.
std::string bindToFreePort(zmq::socket_t& socket)
{
    socket.bind("tcp://127.0.0.1:*");
    return socket.get(zmq::sockopt::last_endpoint);
}

int portOf(const std::string& endpoint)
{
    return std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
}

TEST(AiEnginePublisher, ProbeGetsThroughToABoundSubscriber)
{
    zmq::context_t context;
    zmq::socket_t relayInput(context, zmq::socket_type::sub);
    relayInput.set(zmq::sockopt::subscribe, "");
    const int port = portOf(bindToFreePort(relayInput));

    AiEnginePublisher publisher(port);
    ASSERT_TRUE(publisher.isOpen()) << publisher.errorText();
    std::string received;
    const auto arrived = [&]()
    {
        zmq::message_t message;
        if (!relayInput.recv(message, zmq::recv_flags::dontwait))
            return false;
        received = message.to_string();
        return true;
    };
    ASSERT_TRUE(publisher.sendUntil("{\"src_uuid\": \"probe\"}", arrived, 10s));
    EXPECT_EQ(received, "{\"src_uuid\": \"probe\"}");

    ASSERT_TRUE(publisher.send("second"));
    zmq::message_t message;
    relayInput.set(zmq::sockopt::rcvtimeo, 10'000);
    ASSERT_TRUE(relayInput.recv(message));
    EXPECT_EQ(message.to_string(), "second");
}

TEST(LoopbackSubscriber, ReceivesOnlyItsPrefixAndTimesOut)
{
    zmq::context_t context;
    zmq::socket_t relayOutput(context, zmq::socket_type::pub);
    const std::string endpoint = bindToFreePort(relayOutput);

    LoopbackSubscriber subscriber(endpoint, "{\"src_uuid\": \"{A");
    ASSERT_TRUE(subscriber.isOpen()) << subscriber.errorText();
    EXPECT_FALSE(subscriber.receive(20ms));

    std::optional<std::string> received;
    for (int attempt = 0; attempt < 200 && !received; ++attempt)
    {
        relayOutput.send(zmq::str_buffer("{\"src_uuid\": \"{B}\"}"));
        relayOutput.send(zmq::str_buffer("{\"src_uuid\": \"{A}\"}"));
        received = subscriber.receive(50ms);
    }
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, "{\"src_uuid\": \"{A}\"}");
}

TEST(Transport, ClosedPeersAndBadEndpointsFailQuietly)
{
    AiEnginePublisher publisher(-1);
    EXPECT_FALSE(publisher.isOpen());
    EXPECT_FALSE(publisher.errorText().empty());
    EXPECT_FALSE(publisher.send("lost"));

    LoopbackSubscriber subscriber("not an endpoint");
    EXPECT_FALSE(subscriber.isOpen());
    EXPECT_FALSE(subscriber.receive(1ms));
}

} // namespace
} // namespace skyloom::testhost
