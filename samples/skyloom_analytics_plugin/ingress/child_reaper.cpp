#include "child_reaper.h"

#include <sys/wait.h>

#include <algorithm>
#include <cerrno>

namespace nx::vms_server_plugins::analytics::sample {

size_t ChildReaper::reap()
{
    const auto reaped = [](pid_t pid)
        {
            int status = 0;
            pid_t rc;
            do
                rc = waitpid(pid, &status, WNOHANG);
            while (rc < 0 && errno == EINTR);
            // ECHILD: reaped by someone else in the server (SIGCHLD set to be ignored).
            return rc == pid || (rc < 0 && errno == ECHILD);
        };
    m_pids.erase(std::remove_if(m_pids.begin(), m_pids.end(), reaped), m_pids.end());
    return m_pids.size();
}

std::chrono::milliseconds ChildReaper::untilDue() const
{
    if (m_pids.empty())
        return std::chrono::hours(1);
    return kLookAgain;
}

} // namespace nx::vms_server_plugins::analytics::sample
