#include "forbidden_calls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace skyloom::hardening {

namespace {

constexpr char kPrefix[] = "skyloom-receiver-test: ";

struct Entry
{
    ForbiddenCall call;
    const char* name;
    /** The call's result: 0 or more if made, -1 with errno if refused. */
    long (*make)(const std::string& argument);
};

long number(const std::string& argument)
{
    return std::strtol(argument.c_str(), nullptr, 10);
}

/** Another process's limit, through the raw call (the C library's prlimit is the same). */
long limitOf(const std::string& argument, int resource, rlim_t value)
{
    const rlimit limit{value, value};
    return syscall(SYS_prlimit64, number(argument), resource, &limit, nullptr);
}

sockaddr_in loopback(const std::string& argument)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(number(argument)));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

/** Runs `use` on a new TCP socket (which the sandbox allows) and closes it; errno kept. */
long onTcpSocket(const std::function<long(int)>& use)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const long result = use(fd);
    const int error = errno;
    close(fd);
    errno = error;
    return result;
}

/** A socket made is closed at once; the outcome is whether it was made. */
long madeSocket(int domain, int type)
{
    const int fd = socket(domain, type | SOCK_CLOEXEC, 0);
    if (fd >= 0)
        close(fd);
    return fd;
}

long newThread()
{
    pthread_t thread;
    const int rc = pthread_create(&thread, nullptr, [](void*) -> void* { return nullptr; },
        nullptr);
    if (rc != 0)
    {
        errno = rc;
        return -1;
    }
    pthread_join(thread, nullptr);
    return 0;
}

const Entry kEntries[] = {
    {ForbiddenCall::makeDirectory, "mkdir",
        [](const std::string&) -> long
        {
            return syscall(SYS_mkdir, "skyloom-receiver-test", 0700);
        }},
    {ForbiddenCall::cpuLimit, "prlimit64-cpu",
        [](const std::string& pid) { return limitOf(pid, RLIMIT_CPU, 1); }},
    {ForbiddenCall::fileSizeLimit, "prlimit64-fsize",
        [](const std::string& pid) { return limitOf(pid, RLIMIT_FSIZE, 0); }},
    {ForbiddenCall::descriptorLimit, "prlimit64-nofile",
        [](const std::string& pid) { return limitOf(pid, RLIMIT_NOFILE, 8); }},
    {ForbiddenCall::idleScheduling, "sched_setscheduler-idle",
        [](const std::string& id) -> long
        {
            const sched_param parameters{};
            return syscall(SYS_sched_setscheduler, number(id), SCHED_IDLE, &parameters);
        }},
    {ForbiddenCall::lowestPriority, "setpriority",
        [](const std::string& id) -> long
        {
            return syscall(SYS_setpriority, PRIO_PROCESS, number(id), 19);
        }},
    {ForbiddenCall::unixSocket, "socket-unix",
        [](const std::string&) { return madeSocket(AF_UNIX, SOCK_STREAM); }},
    {ForbiddenCall::datagramSocket, "socket-udp",
        [](const std::string&) { return madeSocket(AF_INET, SOCK_DGRAM); }},
    {ForbiddenCall::tcpConnect, "connect",
        [](const std::string& port)
        {
            return onTcpSocket([&](int fd) -> long
                {
                    const sockaddr_in address = loopback(port);
                    return connect(fd, reinterpret_cast<const sockaddr*>(&address),
                        sizeof(address));
                });
        }},
    {ForbiddenCall::tcpFastOpen, "sendto-fastopen",
        [](const std::string& port)
        {
            return onTcpSocket([&](int fd) -> long
                {
                    const sockaddr_in address = loopback(port);
                    return sendto(fd, "key", 3, MSG_FASTOPEN | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&address), sizeof(address));
                });
        }},
    {ForbiddenCall::signalOwner, "fcntl-setown",
        [](const std::string& pid)
        {
            return onTcpSocket([&](int fd) -> long
                {
                    return syscall(SYS_fcntl, fd, F_SETOWN, number(pid));
                });
        }},
    {ForbiddenCall::ioctlSignalOwner, "ioctl-fiosetown",
        [](const std::string& pid)
        {
            return onTcpSocket([&](int fd) -> long
                {
                    const int owner = static_cast<int>(number(pid));
                    return syscall(SYS_ioctl, fd, FIOSETOWN, &owner);
                });
        }},
    {ForbiddenCall::pathStat, "stat",
        [](const std::string& path) -> long
        {
            struct stat status{};
            return stat(path.c_str(), &status);
        }},
    {ForbiddenCall::newThread, "thread", [](const std::string&) { return newThread(); }},
};

} // namespace

std::string forbiddenCallMessage(ForbiddenCall call, const std::string& argument)
{
    for (const Entry& entry: kEntries)
    {
        if (entry.call == call)
            return kPrefix + std::string(entry.name) + (argument.empty() ? "" : " " + argument);
    }
    return {};
}

std::optional<std::string> makeForbiddenCall(std::string_view message)
{
    if (message.substr(0, sizeof(kPrefix) - 1) != kPrefix)
        return std::nullopt;
    const std::string_view request = message.substr(sizeof(kPrefix) - 1);
    const std::string_view name = request.substr(0, request.find(' '));
    const std::string argument(request.size() > name.size()
        ? request.substr(name.size() + 1) : std::string_view());
    for (const Entry& entry: kEntries)
    {
        if (name != entry.name)
            continue;
        errno = 0;
        const long result = entry.make(argument);
        return std::string(message) + (result < 0
            ? std::string(": refused: ") + std::strerror(errno) : std::string(": made"));
    }
    return std::string(message) + ": unknown call";
}

} // namespace skyloom::hardening
