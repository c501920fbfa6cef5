#include "sandbox.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include <seccomp.h>

#include "user_switch.h"

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
 * through netlink), the C++ runtime and the receiver's own loop call after start-up, whatever
 * the arguments. The calls whose arguments could reach beyond this process have rules of their
 * own below.
 */
constexpr int kAllowed[] = {
    // Descriptors and their I/O.
    SCMP_SYS(read), SCMP_SYS(write), SCMP_SYS(readv), SCMP_SYS(writev), SCMP_SYS(close),
    SCMP_SYS(fstat), SCMP_SYS(lseek), SCMP_SYS(dup), SCMP_SYS(pipe2), SCMP_SYS(eventfd2),
    // Waiting.
    SCMP_SYS(poll), SCMP_SYS(ppoll), SCMP_SYS(select), SCMP_SYS(pselect6),
    SCMP_SYS(epoll_create1), SCMP_SYS(epoll_ctl), SCMP_SYS(epoll_wait), SCMP_SYS(epoll_pwait),
    SCMP_SYS(futex), SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(sched_yield),
    SCMP_SYS(restart_syscall),
    // Sockets that exist (made under the rules below, or the channel).
    SCMP_SYS(bind), SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4), SCMP_SYS(shutdown),
    SCMP_SYS(getsockname), SCMP_SYS(getpeername), SCMP_SYS(setsockopt), SCMP_SYS(getsockopt),
    SCMP_SYS(recvfrom), SCMP_SYS(recvmsg),
    // Memory.
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect),
    SCMP_SYS(madvise), SCMP_SYS(mlock), SCMP_SYS(munlock), //< libsodium's guarded key memory.
    // Threads, signals, time, identity.
    SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(gettid), SCMP_SYS(getpid),
    SCMP_SYS(getppid), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(sigaltstack), SCMP_SYS(sched_get_priority_min),
    SCMP_SYS(sched_get_priority_max),
    SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday),
    SCMP_SYS(getrandom), SCMP_SYS(getrlimit), SCMP_SYS(uname),
    SCMP_SYS(exit), SCMP_SYS(exit_group),
#if defined(SKYLOOM_SANITIZED)
    SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(readlink),
    SCMP_SYS(readlinkat), SCMP_SYS(mincore), SCMP_SYS(msync), SCMP_SYS(wait4),
#endif
};

/**
 * Calls on a path: a library that tries (the resolver's configuration, say) gets a plain
 * refusal, not a dead process; what exists, and whose it is, stays unknown.
 */
constexpr int kPathCalls[] = {
    SCMP_SYS(open), SCMP_SYS(openat), SCMP_SYS(stat), SCMP_SYS(lstat), SCMP_SYS(newfstatat),
    SCMP_SYS(statx), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
#if !defined(SKYLOOM_SANITIZED)
    SCMP_SYS(readlink), SCMP_SYS(readlinkat),
#endif
};

/** Calls on a process or thread id whose first argument must be this process or its threads. */
constexpr int kSchedulingCalls[] = {
    SCMP_SYS(sched_getparam), SCMP_SYS(sched_getscheduler), SCMP_SYS(sched_setparam),
    SCMP_SYS(sched_setscheduler), SCMP_SYS(sched_getaffinity),
};

/** fcntl commands of libzmq and the C library: flags and duplicates, no owner, no lease. */
constexpr scmp_datum_t kFcntlCommands[] = {
    F_GETFD, F_SETFD, F_GETFL, F_SETFL, F_DUPFD, F_DUPFD_CLOEXEC,
};

/** ioctl requests on a descriptor itself; not FIOSETOWN or SIOCSPGRP (an owner for SIGIO). */
constexpr scmp_datum_t kIoctlRequests[] = {FIONREAD, FIONBIO, FIOCLEX, FIONCLEX};

using FilterContext = std::unique_ptr<void, void (*)(scmp_filter_ctx)>;

/** All of its comparisons hold (libseccomp's SCMP_An macros, spelt out for C++). */
using Condition = std::vector<scmp_arg_cmp>;

scmp_arg_cmp compare(unsigned argument, scmp_compare op, scmp_datum_t a, scmp_datum_t b = 0)
{
    scmp_arg_cmp result{};
    result.arg = argument;
    result.op = op;
    result.datum_a = a;
    result.datum_b = b;
    return result;
}

scmp_arg_cmp equal(unsigned argument, scmp_datum_t value)
{
    return compare(argument, SCMP_CMP_EQ, value);
}

/** (argument & mask) == value. */
scmp_arg_cmp masked(unsigned argument, scmp_datum_t mask, scmp_datum_t value)
{
    return compare(argument, SCMP_CMP_MASKED_EQ, mask, value);
}

std::optional<std::string> failure(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error < 0 ? -error : error);
}

std::optional<std::string> joined(
    std::initializer_list<std::optional<std::string>> errors)
{
    std::string text;
    for (const std::optional<std::string>& error: errors)
    {
        if (error)
            text += (text.empty() ? "" : "; ") + *error;
    }
    if (text.empty())
        return std::nullopt;
    return text;
}

int addRule(scmp_filter_ctx filter, uint32_t action, int call, const Condition& condition)
{
    return seccomp_rule_add_array(filter, action, call,
        static_cast<unsigned>(condition.size()), condition.data());
}

/**
 * The call runs where one of the conditions holds; with any other arguments it fails with
 * `error`. The refusal is a condition that always holds (first argument >= 0) rather than a rule
 * without one, which would override the allowing rules: libseccomp tests the narrower
 * conditions first.
 */
std::optional<std::string> allowOnly(scmp_filter_ctx filter, int call, int error,
    const std::vector<Condition>& conditions)
{
    if (const int rc = addRule(filter, SCMP_ACT_ERRNO(error), call,
        {compare(0, SCMP_CMP_GE, 0)}); rc != 0)
    {
        return failure("seccomp_rule_add(refusal)", rc);
    }
    for (const Condition& condition: conditions)
    {
        if (const int rc = addRule(filter, SCMP_ACT_ALLOW, call, condition); rc != 0)
            return failure("seccomp_rule_add(argument)", rc);
    }
    return std::nullopt;
}

/** Conditions that the argument is one of `values`. */
template<class Values>
std::vector<Condition> argumentIn(const Values& values, unsigned argument = 0)
{
    std::vector<Condition> conditions;
    for (const scmp_datum_t value: values)
        conditions.push_back({equal(argument, value)});
    return conditions;
}

/**
 * 0 (the caller), this process and every thread it has now: libzmq's threads set their own
 * scheduling by thread id as they start, which may be after the filter is in place.
 */
std::vector<scmp_datum_t> ownIds()
{
    std::vector<scmp_datum_t> ids{0, static_cast<scmp_datum_t>(getpid())};
    const std::unique_ptr<DIR, int (*)(DIR*)> tasks(opendir("/proc/self/task"), &closedir);
    if (!tasks)
        return ids;
    while (const dirent* entry = readdir(tasks.get()))
    {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id > 0 && std::find(ids.begin(), ids.end(), scmp_datum_t(id)) == ids.end())
            ids.push_back(static_cast<scmp_datum_t>(id));
    }
    return ids;
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
    return joined({
#if !defined(SKYLOOM_SANITIZED)
        lowerLimit(RLIMIT_AS, SandboxLimits::kAddressSpace, "RLIMIT_AS"),
        // No thread or process from now on (see the header: it never limits the server).
        setLimit(RLIMIT_NPROC, 0, "RLIMIT_NPROC"),
#endif
        lowerLimit(RLIMIT_NOFILE, SandboxLimits::kDescriptors, "RLIMIT_NOFILE"),
        setLimit(RLIMIT_CORE, 0, "RLIMIT_CORE"),
        // A write to any file raises SIGXFSZ, which ends the process.
        setLimit(RLIMIT_FSIZE, 0, "RLIMIT_FSIZE"),
        // No real-time scheduling of its own threads, which could starve the server's.
        setLimit(RLIMIT_RTPRIO, 0, "RLIMIT_RTPRIO"),
    });
}

/**
 * Every capability of a receiver that still holds any (one left as root), the bounding set first
 * (which needs CAP_SETPCAP): the service port is never below 1024 (setting::kServicePort), so
 * listening needs none. Nothing to do for any other user.
 */
std::optional<std::string> dropCapabilities()
{
    const std::optional<std::string> bounding = dropBoundingSet();
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return joined({bounding, failure("capget", errno)});
    bool held = false;
    for (__user_cap_data_struct& set: data)
    {
        held = held || set.permitted != 0 || set.inheritable != 0;
        set = {};
    }
    // The ambient set goes with the permitted and inheritable ones.
    if (held && syscall(SYS_capset, &header, data) != 0)
        return joined({bounding, failure("capset", errno)});
    return bounding;
}

std::optional<std::string> addUnconditionalRules(scmp_filter_ctx filter)
{
    for (const int call: kAllowed)
    {
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0); rc != 0)
            return failure("seccomp_rule_add", rc);
    }
    for (const int call: kPathCalls)
    {
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EACCES), call, 0); rc != 0)
            return failure("seccomp_rule_add(path)", rc);
    }
    // No connection out of here: not to a local service, not to the server's sockets.
    for (const int call: {SCMP_SYS(connect), SCMP_SYS(socketpair)})
    {
        if (const int rc = seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0); rc != 0)
            return failure("seccomp_rule_add(connect)", rc);
    }
    return std::nullopt;
}

/** Resource limits and scheduling of this process and its threads only, never the server's. */
std::optional<std::string> addOwnProcessRules(scmp_filter_ctx filter)
{
    const scmp_datum_t self[] = {0, static_cast<scmp_datum_t>(getpid())};
    if (auto error = allowOnly(filter, SCMP_SYS(prlimit64), EPERM, argumentIn(self)))
        return error;
    const std::vector<Condition> threads = argumentIn(ownIds());
    for (const int call: kSchedulingCalls)
    {
        if (auto error = allowOnly(filter, call, EPERM, threads))
            return error;
    }
    return std::nullopt;
}

/**
 * libzmq listens over TCP on IPv4 and IPv6 and finds interfaces by name over route netlink: no
 * other socket (no Unix socket, datagram or raw one). Sending needs no address: TCP Fast Open
 * (MSG_FASTOPEN) would connect on the way.
 */
std::optional<std::string> addSocketRules(scmp_filter_ctx filter)
{
    constexpr scmp_datum_t kTypeMask = 0xf; //< The kernel's SOCK_TYPE_MASK.
    if (auto error = allowOnly(filter, SCMP_SYS(socket), EPERM, {
        {equal(0, AF_INET), masked(1, kTypeMask, SOCK_STREAM)},
        {equal(0, AF_INET6), masked(1, kTypeMask, SOCK_STREAM)},
        {equal(0, AF_NETLINK), equal(2, NETLINK_ROUTE)},
    }))
    {
        return error;
    }
    const struct { int call; unsigned flagsArgument; } sends[] = {
        {SCMP_SYS(sendto), 3}, {SCMP_SYS(sendmsg), 2},
    };
    for (const auto& send: sends)
    {
        if (auto error = allowOnly(filter, send.call, EPERM,
            {{masked(send.flagsArgument, MSG_FASTOPEN, 0)}}))
        {
            return error;
        }
    }
    return std::nullopt;
}

/** Descriptors' flags and duplicates; never an owner, which SIGIO and SIGURG would go to. */
std::optional<std::string> addDescriptorRules(scmp_filter_ctx filter)
{
    if (auto error = allowOnly(filter, SCMP_SYS(fcntl), EPERM,
        argumentIn(kFcntlCommands, /*argument*/ 1)))
    {
        return error;
    }
    return allowOnly(filter, SCMP_SYS(ioctl), EPERM,
        argumentIn(kIoctlRequests, /*argument*/ 1));
}

/** Thread names and signals to itself; new threads only where a sanitizer's runtime needs them. */
std::optional<std::string> addThreadRules(scmp_filter_ctx filter)
{
    if (const int rc = addRule(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl),
        {equal(0, PR_SET_NAME)}); rc != 0)
    {
        return failure("seccomp_rule_add(prctl)", rc);
    }
    // Its own threads only (abort() included), never another process.
    if (const int rc = addRule(filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill),
        {equal(0, static_cast<scmp_datum_t>(getpid()))}); rc != 0)
    {
        return failure("seccomp_rule_add(tgkill)", rc);
    }
#if defined(SKYLOOM_SANITIZED)
    // Threads only: a clone without CLONE_THREAD would be a new process.
    if (const int rc = addRule(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone),
        {masked(0, CLONE_THREAD, CLONE_THREAD)}); rc != 0)
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
#endif
    return std::nullopt;
}

std::optional<std::string> addRules(scmp_filter_ctx filter)
{
    using AddRules = std::optional<std::string> (*)(scmp_filter_ctx);
    for (const AddRules add: {&addUnconditionalRules, &addOwnProcessRules, &addSocketRules,
        &addDescriptorRules, &addThreadRules})
    {
        if (auto error = add(filter))
            return error;
    }
    return std::nullopt;
}

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

} // namespace

std::optional<std::string> enterSandbox()
{
    // What cannot be applied keeps nothing else from being applied.
    const std::optional<std::string> limits = applyLimits();
    const std::optional<std::string> capabilities = dropCapabilities();
    const std::optional<std::string> filter = applyFilter();
    return joined({limits, capabilities, filter});
}

} // namespace nx::vms_server_plugins::analytics::sample
