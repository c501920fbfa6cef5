#include <skyloom/testhost/ai_engine_publisher.h>

#include <algorithm>
#include <thread>

#include <zmq.hpp>

namespace skyloom::testhost {

using namespace std::chrono;

namespace {

// Lets close() deliver what is still queued to a connected peer, without hanging at exit.
constexpr int kLingerMs = 1000;
constexpr milliseconds kArrivalPollInterval(5);

/** The context's threads start with its first socket: the prefix is set before. */
zmq::context_t& named(zmq::context_t& context)
{
    context.set(zmq::ctxopt::thread_name_prefix, AiEnginePublisher::kThreadNamePrefix);
    return context;
}

} // namespace

struct AiEnginePublisher::Zmq
{
    zmq::context_t context;
    zmq::socket_t socket{named(context), zmq::socket_type::pub};
};

AiEnginePublisher::AiEnginePublisher(int port): AiEnginePublisher(port, CurveKeys{})
{
}

AiEnginePublisher::AiEnginePublisher(int port, const CurveKeys& keys):
    m_endpoint("tcp://127.0.0.1:" + std::to_string(port))
{
    try
    {
        auto zmq = std::make_unique<Zmq>();
        zmq->socket.set(zmq::sockopt::linger, kLingerMs);
        if (!keys.serverPublicKey.empty())
        {
            zmq->socket.set(zmq::sockopt::curve_serverkey, keys.serverPublicKey);
            zmq->socket.set(zmq::sockopt::curve_publickey, keys.publicKey);
            zmq->socket.set(zmq::sockopt::curve_secretkey, keys.secretKey);
        }
        zmq->socket.connect(m_endpoint);
        m_zmq = std::move(zmq);
    }
    catch (const std::exception& e)
    {
        m_errorText = "Cannot connect a publisher to " + m_endpoint + ": " + e.what();
    }
}

AiEnginePublisher::~AiEnginePublisher() = default;

bool AiEnginePublisher::isOpen() const
{
    return m_zmq != nullptr;
}

bool AiEnginePublisher::alsoConnect(int port)
{
    if (!m_zmq)
        return false;
    try
    {
        m_zmq->socket.connect("tcp://127.0.0.1:" + std::to_string(port));
        return true;
    }
    catch (const std::exception& e)
    {
        m_errorText = "Cannot connect the publisher to port " + std::to_string(port) + ": "
            + e.what();
        return false;
    }
}

bool AiEnginePublisher::send(const std::string& text)
{
    if (!m_zmq)
        return false;
    try
    {
        return m_zmq->socket.send(zmq::buffer(text), zmq::send_flags::none).has_value();
    }
    catch (const std::exception& e)
    {
        m_errorText = std::string("send failed: ") + e.what();
        return false;
    }
}

bool AiEnginePublisher::sendUntil(const std::string& probe, const std::function<bool()>& arrived,
    milliseconds timeout, milliseconds interval)
{
    const auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline)
    {
        if (!send(probe))
            return false;
        const auto nextSend = std::min(deadline, steady_clock::now() + interval);
        while (steady_clock::now() < nextSend)
        {
            if (arrived())
                return true;
            std::this_thread::sleep_for(kArrivalPollInterval);
        }
    }
    return arrived();
}

void AiEnginePublisher::settle(milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}

} // namespace skyloom::testhost
