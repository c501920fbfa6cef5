#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include <seccomp.h>

// Sanitizer runtimes reserve terabytes of address space and use system calls of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    #define SKYLOOM_SANITIZED 1
#elif defined(__has_feature)
    #if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
        #define SKYLOOM_SANITIZED 1
    #endif
#endif

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/**
 * What libzmq (sockets, its I/O and reaper threads, CurveZMQ through libsodium, interface names
 * through netlink), the C++ runtime and the receiver's own loop call after start-up.
 */
constexpr int kAllowed[] = {
    // Descriptors and their I/O.
    SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(close),
    SCMP_SYS(fcntl), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(lseek), SCMP_SYS(ioctl),
    SCMP_SYS(dup), SCMP_SYS(pipe2), SCMP_SYS(eventfd2),
    // Waiting.
    SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6),
    SCMP_SYS(epoll_create1), SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait), SCMP_SYS(epoll_pwait),
    SCMP_SYS(futex), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(sched_yield),
    SCMP_SYS(restart_syscall),
    // Sockets.
    SCMP_SYS(socket), SCMP_SYS(socketpair), SCMP_SYS(bind), SCMP_SYS(listen),
    SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(connect), SCMP_SYS(shutdown),
    SCMP_SYS(getsockname), SCMP_SYS(getpeername), SCMP_SYS(setsockopt), SCMP_SYS(getsockopt),
    SCMP_SYS(sendto), SCMP_SYS(recvfrom), SCMP_SYS(sendmsg), SCMP_SYS(recvmsg),
    SCMP_SYS(sendmmsg), SCMP_SYS(recvmmsg),
    // Memory.
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
    SCMP_SYS(madvise), SCMP_SYS(mlock), SCMP_SYS(munlock), //< libsodium's guarded key memory.
    // Threads, signals, time, identity.
    SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(gettid), SCMP_SYS(getpid),
    SCMP_SYS(getppid), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(sched_getaffinity),
    // libzmq's threads set their (default) scheduling as they start.
    SCMP_SYS(sched_getparam), SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_setparam),
    SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_get_priority_min),
    SCMP_SYS(sched_get_priority_max),
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
    SCMP_SYS(getrandom), SCMP_SYS(getrlimit), SCMP_SYS(prlimit64), SCMP_SYS(uname),
    SCMP_SYS(exit), SCMP_SYS(exit_group),
#if defined(SKYLOOM_SANITIZED)
    SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(readlink),
    SCMP_SYS(readlinkat), SCMP_SYS(mincore), SCMP_SYS(msync), SCMP_SYS(wait4),
#endif
};

using FilterContext = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

/** A rule on the first argument (libseccomp's SCMP_A0 macro, spelt out for C++). */
int addRuleOnFirstArgument(scmp_filter_ctx filter, uint32_t action, int call,
    scmp_compare op, scmp_datum_t value, scmp_datum_t mask = 0)
{
    scmp_arg_cmp compare{};
    compare.arg = 0;
    compare.op = op;
    compare.datum_a = op == SCMP_CMP_MASKED_EQ ? mask : value;
    compare.datum_b = op == SCMP_CMP_MASKED_EQ ? value : 0;
    return seccomp_rule_add_array(filter, action, call, 1, &compare);
}

std::optional<std::string> failure(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error < 0 ? -error : error);
}

std::optional<std::string> setLimit(int resource, rlim_t value, const char* name)
{
    const rlimit limit{value, value};
    if (setrlimit(resource, &limit) != 0)
        return failure(name, errno);
    return std::nullopt;
}

/** A limit never above what the process may have (the server's own hard limit). */
std::optional<std::string> lowerLimit(int resource, rlim_t value, const char* name)
{
    rlimit current{};
    if (getrlimit(resource, &current) == 0 && current.rlim_max != RLIM_INFINITY)
        value = std::min(value, current.rlim_max);
    return setLimit(resource, value, name);
}

/** Every limit is tried; the failures, joined, if any. */
std::optional<std::string> applyLimits()
{
    std::string errors;
    const auto note = [&errors](std::optional<std::string> error)
        {
            if (error)
                errors += (errors.empty() ? "" : "; ") + *error;
        };
#if !defined(SKYLOOM_SANITIZED)
    note(lowerLimit(RLIMIT_AS, SandboxLimits::kAddressSpace, "RLIMIT_AS"));
#endif
    note(lowerLimit(RLIMIT_NOFILE, SandboxLimits::kDescriptors, "RLIMIT_NOFILE"));
    note(setLimit(RLIMIT_CORE, 0, "RLIMIT_CORE"));
    // A write to any file raises SIGXFSZ, which ends the process.
    note(setLimit(RLIMIT_FSIZE, 0, "RLIMIT_FSIZE"));
    if (errors.empty())
        return std::nullopt;
    return errors;
}

std::optional<std::string> addRules(scmp_filter_ctx filter)
{
    for (const int call: kAllowed)
    {
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0); rc != 0)
            return failure("seccomp_rule_add", rc);
    }
    // Threads only: a clone without CLONE_THREAD would be a new process.
    if (const int rc = addRuleOnFirstArgument(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone),
        SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD); rc != 0)
    {
        return failure("seccomp_rule_add(clone)", rc);
    }
    // clone3's flags are behind a pointer that a filter cannot read: the C library falls back
    // to clone when it is refused as unknown.
    if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
        rc != 0)
    {
        return failure("seccomp_rule_add(clone3)", rc);
    }
    // Thread names, nothing else of prctl.
    if (const int rc = addRuleOnFirstArgument(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl),
        SCMP_CMP_EQ, PR_SET_NAME); rc != 0)
    {
        return failure("seccomp_rule_add(prctl)", rc);
    }
    // Signals to its own threads only (abort() included), never to another process.
    if (const int rc = addRuleOnFirstArgument(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill),
        SCMP_CMP_EQ, static_cast<scmp_datum_t>(getpid())); rc != 0)
    {
        return failure("seccomp_rule_add(tgkill)", rc);
    }
    // No file is ever opened or looked at: a library that tries (the resolver's configuration,
    // say) gets a plain refusal, not a dead process.
    for (const int call: {SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(stat), SCMP_SYS(lstat),
        SCMP_SYS(statx), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2)})
    {
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0); rc != 0)
            return failure("seccomp_rule_add(open)", rc);
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> applyFilter()
{
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failure("PR_SET_NO_NEW_PRIVS", errno);
    const FilterContext filter(seccomp_init(SCMP_ACT_KILL_PROCESS), &seccomp_release);
    if (!filter)
        return std::string("seccomp_init failed");
    // Every thread of the process, those of libzmq included.
    if (const int rc = seccomp_attr_set(filter.get(), SCMP_FLTATR_CTL_TSYNC, 1); rc != 0)
        return failure("SCMP_FLTATR_CTL_TSYNC", rc);
    if (auto error = addRules(filter.get()))
        return error;
    if (const int rc = seccomp_load(filter.get()); rc != 0)
        return failure("seccomp_load", rc);
    return std::nullopt;
}

std::optional<std::string> enterSandbox()
{
    // A limit that cannot be set does not keep the filter from being applied.
    const std::optional<std::string> limits = applyLimits();
    const std::optional<std::string> filter = applyFilter();
    if (!limits && !filter)
        return std::nullopt;
    return limits.value_or("") + (limits && filter ? "; " : "") + filter.value_or("");
}

} // namespace nx::vms_server_plugins::analytics::sample
