// A ZeroMQ subscriber connected to an endpoint (by default the plugin's loopback relay) with
// one subscription prefix, for watching what the relay republishes. Create, use and destroy it
// on one thread. No exception leaves it: failures read as nothing and errorText(). Like every
// subscriber it misses what is published before its connection has settled.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace skyloom::testhost {

class LoopbackSubscriber
{
public:
    static constexpr const char* kLoopbackEndpoint = "tcp://127.0.0.1:688";

    explicit LoopbackSubscriber(
        std::string endpoint = kLoopbackEndpoint, const std::string& prefix = "");
    ~LoopbackSubscriber();

    LoopbackSubscriber(const LoopbackSubscriber&) = delete;
    LoopbackSubscriber& operator=(const LoopbackSubscriber&) = delete;

    bool isOpen() const;
    const std::string& errorText() const { return m_errorText; }

    /**
     * The first frame of the next message (further frames of the same message are dropped), or
     * nothing when none arrives within the timeout or receiving failed.
     */
    std::optional<std::string> receive(std::chrono::milliseconds timeout);

private:
    struct Zmq;

    std::string m_endpoint;
    std::string m_errorText;
    std::unique_ptr<Zmq> m_zmq; //< Null when opening failed.
};

} // namespace skyloom::testhost
