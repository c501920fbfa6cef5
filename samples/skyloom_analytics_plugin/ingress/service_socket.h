// The options of the socket on which the AI engines publish (the service port), apart from who
// may connect: how large a message may be, how much one connection may queue for the relay, how
// long a handshake may take, and how a connection whose peer is gone gets closed.
//
// The service port sends no ZeroMQ heartbeats of its own. With libzmq 4.3, a heartbeat that falls
// due on a connection whose peer hung up while its input was held back (its queue to the relay
// full) aborts the whole process (assertion "!_io_error" in stream_engine_base.cpp). Input is
// held back whenever an AI engine sends faster than the relay forwards, so an AI engine that
// dies while flooding, or anyone who can connect, could take the server down with every camera.
// What is kept: a peer's own heartbeats are honoured (a peer that sets ZMQ_HEARTBEAT_IVL and
// ZMQ_HEARTBEAT_TTL is cut when it falls silent for its TTL, and what it left unfinished is
// freed), and TCP keepalive closes connections whose peer's host or network has gone. A peer's
// own PINGs, mixed into a flood before it resets, reach the same assertion through their reply:
// so the receiver process, where the socket normally lives, never holds input back (no receive
// high-water mark), and an abort there ends only that process. In the server's own process (the
// fallback) the bound below stays, and the risk with it.
//
// Plain functions; call before the socket binds, from the thread that owns the socket.
#pragma once

#include <chrono>
#include <cstdint>

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

struct ServiceSocket
{
    /** The AI engine's messages are a few KB, a few hundred KB with an embedded image. */
    static constexpr int64_t kMaxMessageSize = 4 * 1024 * 1024;

    /**
     * Messages of one AI-engine connection that wait for the relay. The relay takes them at once
     * unless it is starved of the processor; then this bounds what a connection can pile up.
     */
    static constexpr int kInputHighWaterMark = 32;

    /**
     * A connection whose handshake is not done by then is closed (libzmq's default is 30 s): a
     * peer that connects and says nothing holds a descriptor no longer. An AI engine's handshake
     * takes milliseconds, CurveZMQ's too.
     */
    static constexpr std::chrono::seconds kHandshakeTimeout{5};

    /** A connection silent this long is probed; after kKeepAliveProbes unanswered, closed. */
    static constexpr std::chrono::seconds kKeepAliveIdle{10};
    static constexpr std::chrono::seconds kKeepAliveInterval{5};
    static constexpr int kKeepAliveProbes = 3;

    /**
     * Sets the options above (and subscribes to everything), with the given receive high-water
     * mark (0: none). Throws zmq::error_t.
     */
    static void configure(zmq::socket_t& socket, int inputHighWaterMark = kInputHighWaterMark);
};

} // namespace nx::vms_server_plugins::analytics::sample
