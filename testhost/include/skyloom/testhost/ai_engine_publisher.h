// Plays the AI engine: a ZeroMQ publisher connected to the plugin's service port on the loopback
// interface, sending each text as one frame. Create, use and destroy it on one thread (ZeroMQ
// sockets are not thread-safe). No exception leaves it: failures read as false and errorText().
// A fresh connection drops what is sent before the peer has joined; sendUntil() re-sends a probe
// until the caller sees it arrive, settle() simply waits. Its ZeroMQ threads are named
// "<kThreadNamePrefix>/ZMQbg/...", so that a reading of the host process's CPU time can leave
// the AI engine's side out.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace skyloom::testhost {

class AiEnginePublisher
{
public:
    static constexpr int kDefaultPort = 9911;
    /** ZeroMQ takes a number; the threads' names begin with it and a slash. */
    static constexpr int kThreadNamePrefix = 1;

    /** CurveZMQ keys as 40-character Z85 texts. */
    struct CurveKeys
    {
        std::string serverPublicKey;
        std::string publicKey;
        std::string secretKey;
    };

    explicit AiEnginePublisher(int port = kDefaultPort);
    /** A CurveZMQ client of the service port. */
    AiEnginePublisher(int port, const CurveKeys& keys);
    ~AiEnginePublisher();

    AiEnginePublisher(const AiEnginePublisher&) = delete;
    AiEnginePublisher& operator=(const AiEnginePublisher&) = delete;

    bool isOpen() const;
    const std::string& errorText() const { return m_errorText; }
    const std::string& endpoint() const { return m_endpoint; }

    /**
     * Connects the same socket to one more service port, as an AI engine that feeds several
     * servers: each message is then sent to every one that subscribed to it.
     */
    bool alsoConnect(int port);

    bool send(const std::string& text);

    /**
     * Sends `probe` every `interval` until `arrived()` says it got through; false if it did not
     * within `timeout` (or a send failed).
     */
    bool sendUntil(const std::string& probe, const std::function<bool()>& arrived,
        std::chrono::milliseconds timeout,
        std::chrono::milliseconds interval = std::chrono::milliseconds(50));

    /** Waits for the connection to settle when there is no way to see a probe arrive. */
    static void settle(std::chrono::milliseconds duration = std::chrono::milliseconds(300));

private:
    struct Zmq;

    std::string m_endpoint;
    std::string m_errorText;
    std::unique_ptr<Zmq> m_zmq; //< Null when opening failed.
};

} // namespace skyloom::testhost
