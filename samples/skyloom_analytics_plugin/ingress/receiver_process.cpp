#include "receiver_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "common/descriptor_usage.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** The descriptor on which the receiver finds its end of the channel. */
constexpr int kChildChannelFd = 3;

/** Socket buffers of the channel: a burst of messages passes without the receiver queueing. */
constexpr int kChannelBufferBytes = 4 * 1024 * 1024;

/** How long stop() waits for a killed process to be reapable: 200 x 250 us. */
constexpr int kReapAttempts = 200;
constexpr std::chrono::microseconds kReapPause{250};

/** The path of the mapped file that holds this code, from /proc/self/maps; empty if none. */
std::string fileOfThisCode()
{
    const auto address = reinterpret_cast<uintptr_t>(&fileOfThisCode);
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
    {
        std::istringstream fields(line);
        std::string range, permissions, offset, device, inode, path;
        fields >> range >> permissions >> offset >> device >> inode;
        std::getline(fields >> std::ws, path);
        const size_t dash = range.find('-');
        if (dash == std::string::npos || path.empty() || path.front() != '/')
            continue;
        const uintptr_t start = std::stoull(range.substr(0, dash), nullptr, 16);
        const uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address >= start && address < end)
            return path;
    }
    return {};
}

ReceiverProcess::StartFailure systemError(const std::string& what, int error)
{
    return {what + ": " + std::strerror(error), isLackOfResources(error)};
}

struct SpawnSetup
{
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    /**
     * The channel as descriptor 3, /dev/null as 0 to 2 (a library's message to stderr must never
     * land in a socket that reused descriptor 2), nothing else; no blocked or handled signal.
     * 0 or an errno value.
     */
    int prepare(int childChannel)
    {
        if (const int rc = posix_spawn_file_actions_adddup2(&actions, childChannel,
            kChildChannelFd))
        {
            return rc;
        }
        if (const int rc = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null",
            O_RDWR, 0))
        {
            return rc;
        }
        for (const int fd: {STDOUT_FILENO, STDERR_FILENO})
        {
            if (const int rc = posix_spawn_file_actions_adddup2(&actions, STDIN_FILENO, fd))
                return rc;
        }
        if (const int rc = posix_spawn_file_actions_addclosefrom_np(&actions,
            kChildChannelFd + 1))
        {
            return rc;
        }
        sigset_t none;
        sigemptyset(&none);
        sigset_t all;
        sigfillset(&all);
        sigdelset(&all, SIGKILL);
        sigdelset(&all, SIGSTOP);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &all);
        return posix_spawnattr_setflags(
            &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
};

} // namespace

std::string ReceiverProcess::defaultExecutable()
{
    std::string path = fileOfThisCode();
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {}; //< Never a name that PATH or the working directory would resolve.
    path.resize(slash + 1);
    return path + kExecutableName;
}

std::unique_ptr<ReceiverProcess> ReceiverProcess::start(const std::string& executable,
    const std::optional<UserIds>& user, StartFailure* failure)
{
    if (executable.empty() || executable.front() != '/')
    {
        *failure = {"the plugin library's own file is unknown, so is the receiver's"};
        return nullptr;
    }
    if (access(executable.c_str(), X_OK) != 0)
    {
        *failure = systemError(executable, errno);
        return nullptr;
    }
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
    {
        *failure = systemError("socketpair", errno);
        return nullptr;
    }
    for (const int end: ends)
    {
        (void) setsockopt(end, SOL_SOCKET, SO_SNDBUF, &kChannelBufferBytes, sizeof(int));
        (void) setsockopt(end, SOL_SOCKET, SO_RCVBUF, &kChannelBufferBytes, sizeof(int));
    }

    SpawnSetup setup;
    int rc = setup.prepare(ends[1]);
    pid_t pid = -1;
    const std::string parent = "--parent=" + std::to_string(getpid());
    const std::string userArgument = user ? userOption(*user) : std::string();
    char* const argv[] = {const_cast<char*>(executable.c_str()),
        const_cast<char*>(parent.c_str()),
        user ? const_cast<char*>(userArgument.c_str()) : nullptr, nullptr};
    char* const environment[] = {nullptr};
    if (rc == 0)
        rc = posix_spawn(&pid, executable.c_str(), &setup.actions, &setup.attributes, argv,
            environment);
    close(ends[1]);
    if (rc != 0)
    {
        close(ends[0]);
        *failure = systemError("posix_spawn " + executable, rc);
        return nullptr;
    }
    (void) fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
    return std::unique_ptr<ReceiverProcess>(new ReceiverProcess(pid, ends[0]));
}

ReceiverProcess::~ReceiverProcess()
{
    (void) stop();
    if (m_channel >= 0)
        close(m_channel);
}

std::string ReceiverProcess::stop()
{
    if (m_reaped || m_handedOn)
        return "ended";
    (void) kill(m_pid, SIGKILL);
    if (const std::optional<int> status = reap(kReapAttempts))
        return describeExit(*status);
    return "killed; not yet reaped";
}

pid_t ReceiverProcess::unreaped()
{
    if (m_reaped || m_handedOn)
        return -1;
    m_handedOn = true;
    return m_pid;
}

std::optional<int> ReceiverProcess::reap(int attempts)
{
    for (int i = 0; i < attempts; ++i)
    {
        int status = 0;
        const pid_t rc = waitpid(m_pid, &status, WNOHANG);
        if (rc == m_pid || (rc < 0 && errno == ECHILD))
        {
            // ECHILD: someone else in the server reaped it (a SIGCHLD handler set to ignore).
            m_reaped = true;
            return rc == m_pid ? status : 0;
        }
        if (rc < 0 && errno != EINTR)
            return std::nullopt;
        std::this_thread::sleep_for(kReapPause);
    }
    return std::nullopt;
}

std::string ReceiverProcess::describeExit(int status)
{
    if (WIFSIGNALED(status))
    {
        const int signal = WTERMSIG(status);
        const char* const name = strsignal(signal);
        return "killed by signal " + std::to_string(signal) + " (" + (name ? name : "?") + ")";
    }
    if (WIFEXITED(status))
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended (wait status " + std::to_string(status) + ")";
}

} // namespace nx::vms_server_plugins::analytics::sample
