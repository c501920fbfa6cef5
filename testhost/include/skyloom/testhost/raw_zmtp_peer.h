// A ZMTP 3.1 publisher written by hand on a plain TCP socket, for what a libzmq peer never does:
// greet late, leave a multi-part message unfinished, announce a frame and never finish it,
// announce heartbeats and then freeze, keep sending after the server has stopped reading, or hang
// up abortively (RST). NULL mechanism only. Use from one thread. No exception leaves it, and no
// SIGPIPE when the server is gone; failures read as false.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

namespace skyloom::testhost {

class RawZmtpPeer
{
public:
    /**
     * Connects to 127.0.0.1:port, from `sourceAddress` if given (another loopback address, such
     * as 127.0.0.2: another peer to the server); connected() says whether it did.
     */
    explicit RawZmtpPeer(int port, const char* sourceAddress = nullptr);
    /** Closes the connection (an orderly close unless abort() came first). */
    ~RawZmtpPeer();

    RawZmtpPeer(const RawZmtpPeer&) = delete;
    RawZmtpPeer& operator=(const RawZmtpPeer&) = delete;

    bool connected() const { return m_fd >= 0; }

    /** Sends the greeting only, as a peer about to start the NULL handshake. */
    bool greet();

    /**
     * Greets, says READY as a PUB, and waits for the server's greeting and READY (sent once any
     * ZAP handler admitted it): no message may come before them.
     */
    bool handshake();

    /** Greets and says READY as a PUB without waiting for the server's answer. */
    bool sendHandshake();

    /** One frame of a message; `more` leaves the message open for the next frame. */
    bool sendFrame(std::string_view body, bool more);

    /**
     * `count` copies of one frame, as sendFrame() would send them one by one, batched into large
     * writes; false once a write fails (what was written by then stays sent).
     */
    bool sendFrames(std::string_view body, bool more, int64_t count);

    /**
     * The start of a last frame that announces `announcedSize` bytes (always in the long form),
     * and of its body only `partialBody` (shorter): the server waits for the rest.
     */
    bool sendFrameStart(uint64_t announcedSize, std::string_view partialBody);

    /** A PING asking the server to cut the connection if nothing more comes within `ttl`. */
    bool sendPing(std::chrono::milliseconds ttl);

    /**
     * Sends `body` as one message after another, without blocking, until the server has taken
     * nothing for `quiet` (it stopped reading); returns the number of messages sent whole.
     */
    int64_t floodUntilHeldBack(std::string_view body, std::chrono::milliseconds quiet);

    /** Reads until the server closes the connection; false if the read fails otherwise. */
    bool readUntilClosed();

    /** Closes with a reset (SO_LINGER 0), as a peer that crashes or is killed mid-send. */
    void abort();

private:
    bool writeAll(const void* data, size_t size);
    bool readAll(void* data, size_t size);

    int m_fd = -1;
};

} // namespace skyloom::testhost
