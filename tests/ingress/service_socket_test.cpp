// The service port's socket options against peers that misbehave on the wire, with no relay
// reading: the relay that has fallen behind, whose input ZeroMQ then holds back.
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <skyloom/testhost/raw_zmtp_peer.h>

#include "ingress/service_socket.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono;
using skyloom::testhost::RawZmtpPeer;

/** The port that ZeroMQ chose for "tcp://127.0.0.1:*". */
int boundPort(zmq::socket_t& socket)
{
    const std::string endpoint = socket.get(zmq::sockopt::last_endpoint);
    return std::stoi(endpoint.substr(endpoint.rfind(':') + 1));
}

// With ZeroMQ heartbeats on the service socket, libzmq 4.3 aborted the process at the first
// heartbeat after a peer reset its connection while its input was held back.
TEST(ServiceSocket, PeerThatResetsWhileItsInputIsHeldBackAbortedTheProcess)
{
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::sub);
    ServiceSocket::configure(socket);
    socket.bind("tcp://127.0.0.1:*");

    RawZmtpPeer peer(boundPort(socket));
    ASSERT_TRUE(peer.connected());
    ASSERT_TRUE(peer.handshake());
    // Far more than the input queue, so ZeroMQ stops reading this connection.
    const int64_t sent = peer.floodUntilHeldBack("{}", milliseconds(300));
    EXPECT_GT(sent, ServiceSocket::kInputHighWaterMark);
    peer.abort();

    // Two heartbeat periods of the old setting (2 s) and more; this process must still be here.
    std::this_thread::sleep_for(seconds(5));

    // The relay catches up: what was queued before the reset is still there to take.
    zmq::message_t message;
    int received = 0;
    while (socket.recv(message, zmq::recv_flags::dontwait))
        ++received;
    EXPECT_LE(ServiceSocket::kInputHighWaterMark, received);
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
