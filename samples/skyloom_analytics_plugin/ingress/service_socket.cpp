#include "service_socket.h"

#include <zmq.hpp>

namespace nx::vms_server_plugins::analytics::sample {

void ServiceSocket::configure(zmq::socket_t& socket, int inputHighWaterMark)
{
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::maxmsgsize, kMaxMessageSize);
    socket.set(zmq::sockopt::rcvhwm, inputHighWaterMark);
    socket.set(zmq::sockopt::subscribe, "");
    socket.set(zmq::sockopt::handshake_ivl,
        static_cast<int>(std::chrono::milliseconds(kHandshakeTimeout).count()));
    socket.set(zmq::sockopt::tcp_keepalive, 1);
    socket.set(zmq::sockopt::tcp_keepalive_idle, static_cast<int>(kKeepAliveIdle.count()));
    socket.set(zmq::sockopt::tcp_keepalive_intvl, static_cast<int>(kKeepAliveInterval.count()));
    socket.set(zmq::sockopt::tcp_keepalive_cnt, kKeepAliveProbes);
}

} // namespace nx::vms_server_plugins::analytics::sample
