// A CurveZMQ client written by hand on a plain TCP socket, for what a libzmq client never does:
// stay connected once the server has refused its key. A libzmq client that is sent ERROR closes
// its connection itself, so a server that leaves refused connections to its handshake timeout
// looks the same as one that hangs them up; this one waits for the server to close. Only the
// client's side of the handshake (greeting, HELLO, WELCOME, INITIATE) as a PUB; no message. Use
// from one thread; failures read as false.
#pragma once

#include <chrono>
#include <string>

namespace skyloom::hardening {

class RawCurvePeer
{
public:
    /** Connects to 127.0.0.1:port; connected() says whether it did. */
    explicit RawCurvePeer(int port);
    ~RawCurvePeer();

    RawCurvePeer(const RawCurvePeer&) = delete;
    RawCurvePeer& operator=(const RawCurvePeer&) = delete;

    bool connected() const { return m_fd >= 0; }

    /**
     * Greets, says HELLO to the server whose public key is given (Z85, 40 characters), reads its
     * WELCOME and sends INITIATE with a key pair of its own, made here: a key that no server
     * knows. False if any step fails (the server's answer to INITIATE is not read).
     */
    bool initiateWithNewKey(const std::string& serverPublicKeyZ85);

    /**
     * Reads until the server closes the connection or `timeout` passes; what came, and whether
     * the server closed.
     */
    struct Ending
    {
        std::string bytes;
        bool closed = false;
    };
    Ending readUntilClosed(std::chrono::milliseconds timeout);

private:
    bool writeAll(const std::string& bytes);
    bool readAll(unsigned char* data, size_t size);
    /** One command frame's body, the flags and size read and checked. */
    bool readCommand(std::string* body);

    int m_fd = -1;
};

} // namespace skyloom::hardening
