// Receiver processes that were killed but could not be reaped within the moment that stopping
// one may take (a process whose exit lasts, e.g. one in an uninterruptible sleep): kept here and
// reaped without waiting whenever the owner looks again, so that none stays a zombie of the
// server. The owner outlives every IsolatedIngress that hands it a process.
//
// Threads: one thread at a time (the relay's).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

class ChildReaper
{
public:
    /** How often the owner looks again while a process is left. */
    static constexpr std::chrono::seconds kLookAgain{1};

    /** A child process, already killed, to be reaped later. */
    void adopt(pid_t pid) { m_pids.push_back(pid); }

    /** Reaps those that ended, never waiting; how many are left. */
    size_t reap();

    [[nodiscard]] size_t pending() const { return m_pids.size(); }

    /** When to call reap() again: kLookAgain while a process is left. */
    [[nodiscard]] std::chrono::milliseconds untilDue() const;

private:
    std::vector<pid_t> m_pids;
};

} // namespace nx::vms_server_plugins::analytics::sample
