// What the receiver process gives up once it has made its sockets and threads, so that code run
// inside it (through a flaw of libzmq) cannot reach the server that started it:
// - new privileges (PR_SET_NO_NEW_PRIVS), and every capability, the bounding set's too (a
//   receiver left as root: one of another user has none since user_switch.h);
// - every system call outside an allow-list (a seccomp filter on all its threads; any other
//   call kills the process), and arguments that reach beyond itself: resource limits and
//   scheduling only of itself and its own threads (EPERM otherwise); sockets only of TCP over
//   IPv4 and IPv6 and of route netlink, never a connection out (connect, socketpair and TCP
//   Fast Open refused with EPERM); descriptors' flags and duplicates, never an owner for SIGIO
//   (EPERM); opening or looking at any path fails with EACCES; signals only to itself; no new
//   thread or process;
// - resources beyond its limits (address space, descriptors, file size 0, no core file, no
//   real-time priority, no new process; never above the hard limits it was started with).
//
// The process-count limit (RLIMIT_NPROC) is 0. The kernel counts every process and thread of
// the real user (the server's included where the receiver runs as the server's user), but checks
// the count only against the limit of the process that starts a new one: the receiver can start no thread or process, while the server,
// of the same user, keeps its own limit. The receiver needs none once its threads run (the filter
// kills a clone too; the limit still holds where the filter cannot be applied). The kernel never
// holds a process of root to the limit; the filter does. A build with a sanitizer keeps threads,
// and neither this limit nor the address-space one: its runtime needs them.
//
// Threads: call once, from the receiver's main thread, after its other threads exist (the filter
// lets them, and only them, set their own scheduling by thread id).
#pragma once

#include <sys/resource.h>

#include <cstdint>
#include <optional>
#include <string>

namespace nx::vms_server_plugins::analytics::sample {

struct SandboxLimits
{
    /**
     * Address space: the queue to the engine (ReceiverLoop::kMaxQueuedBytes), messages of up to
     * 4 MiB being decoded on many connections, libzmq's pipes and four thread stacks fit well
     * below it; a flood that grows libzmq's own buffers beyond it ends this process only.
     */
    static constexpr rlim_t kAddressSpace = rlim_t(1) << 30;
    /** The connection cap of the ZAP handler plus the process's own descriptors. */
    static constexpr rlim_t kDescriptors = 1024 + 64;
};

/**
 * Applies the limits, drops the capabilities and applies the filter; what could not be applied,
 * if anything (the rest is in place: what failed keeps nothing else off).
 */
[[nodiscard]] std::optional<std::string> enterSandbox();

} // namespace nx::vms_server_plugins::analytics::sample
