#include <skyloom/testhost/loopback_subscriber.h>

#include <zmq.hpp>

namespace skyloom::testhost {

struct LoopbackSubscriber::Zmq
{
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::sub};
};

LoopbackSubscriber::LoopbackSubscriber(std::string endpoint, const std::string& prefix):
    m_endpoint(std::move(endpoint))
{
    try
    {
        auto zmq = std::make_unique<Zmq>();
        zmq->socket.set(zmq::sockopt::linger, 0);
        zmq->socket.set(zmq::sockopt::subscribe, prefix);
        zmq->socket.connect(m_endpoint);
        m_zmq = std::move(zmq);
    }
    catch (const std::exception& e)
    {
        m_errorText = "Cannot connect a subscriber to " + m_endpoint + ": " + e.what();
    }
}

LoopbackSubscriber::~LoopbackSubscriber() = default;

bool LoopbackSubscriber::isOpen() const
{
    return m_zmq != nullptr;
}

std::optional<std::string> LoopbackSubscriber::receive(std::chrono::milliseconds timeout)
{
    if (!m_zmq)
        return std::nullopt;
    try
    {
        m_zmq->socket.set(zmq::sockopt::rcvtimeo, static_cast<int>(timeout.count()));
        zmq::message_t message;
        if (!m_zmq->socket.recv(message, zmq::recv_flags::none))
            return std::nullopt;
        std::string text = message.to_string();
        while (message.more())
        {
            if (!m_zmq->socket.recv(message, zmq::recv_flags::none))
                break;
        }
        return text;
    }
    catch (const std::exception& e)
    {
        m_errorText = std::string("receive failed: ") + e.what();
        return std::nullopt;
    }
}

} // namespace skyloom::testhost
