// What the receiver process gives up once it has made its sockets and threads: new privileges
// (PR_SET_NO_NEW_PRIVS), every system call outside an allow-list (a seccomp filter on all its
// threads; any other call kills the process, opening a file fails with EACCES), and resources
// beyond its limits (address space, descriptors, file size 0, no core file).
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

/** Applies the limits and the filter; on failure the reason (the rest may be in place). */
[[nodiscard]] std::optional<std::string> enterSandbox();

} // namespace nx::vms_server_plugins::analytics::sample
