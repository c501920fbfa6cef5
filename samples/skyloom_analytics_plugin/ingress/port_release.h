// Whether a TCP port of this machine still listens, from the kernel's socket tables
// (/proc/net/tcp and tcp6 of this network namespace). The relay asks it when the service port
// moves from this process into a new receiver: libzmq closes a listening socket on its I/O thread
// some time after the socket is closed, and on a loaded machine that can take longer than the
// receiver's own wait for the port, which then gives up.
//
// Threads: any.
#pragma once

#include <chrono>

namespace nx::vms_server_plugins::analytics::sample {

/** Whether some TCP socket (IPv4 or IPv6) listens on the port; false if the tables are unread. */
[[nodiscard]] bool tcpPortListening(int port);

/** Waits until no TCP socket listens on the port, or the timeout; true if none does. */
bool waitUntilPortClosed(int port, std::chrono::milliseconds timeout);

} // namespace nx::vms_server_plugins::analytics::sample
