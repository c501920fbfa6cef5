// What the receiver process gives up once it has made its sockets and threads: new privileges
// (PR_SET_NO_NEW_PRIVS), every system call outside an allow-list (a seccomp filter on all its
// threads; any other call kills the process; opening or looking at a file fails with EACCES;
// signals only to itself), and resources beyond its limits (address space, descriptors, file
// size 0, no core file; never above the hard limits it was started with).
//
// Threads: call once, from the receiver's main thread, after its other threads exist.
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
 * Applies the limits and the filter; what could not be applied, if anything (the rest is in
 * place: a limit that failed does not keep the filter off).
 */
[[nodiscard]] std::optional<std::string> enterSandbox();

} // namespace nx::vms_server_plugins::analytics::sample
