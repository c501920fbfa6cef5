// One event of a ZeroMQ socket monitor, as libzmq 4.x sends it: a frame with the 16-bit event
// and its 32-bit value (a descriptor for connection events), then a frame with the endpoint.
//
// Threads: the thread that owns the monitor socket.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

#include <zmq.hpp>

namespace nx::vms_server_plugins::analytics::sample {

struct MonitorEvent
{
    uint16_t kind = 0; //< ZMQ_EVENT_...
    uint32_t value = 0;
};

/**
 * The next event if one is waiting, its endpoint frame read and dropped; nothing if none waits.
 * A malformed first frame gives an event of kind 0. Throws zmq::error_t.
 */
[[nodiscard]] inline std::optional<MonitorEvent> receiveMonitorEvent(zmq::socket_t& monitor)
{
    zmq::message_t frame;
    if (!monitor.recv(frame, zmq::recv_flags::dontwait))
        return std::nullopt;
    MonitorEvent event;
    if (frame.size() >= sizeof(event.kind) + sizeof(event.value))
    {
        std::memcpy(&event.kind, frame.data(), sizeof(event.kind));
        std::memcpy(&event.value, static_cast<const char*>(frame.data()) + sizeof(event.kind),
            sizeof(event.value));
    }
    if (frame.more())
    {
        zmq::message_t endpoint; //< The rest of a multipart message is there already.
        (void) monitor.recv(endpoint, zmq::recv_flags::none);
    }
    return event;
}

} // namespace nx::vms_server_plugins::analytics::sample
