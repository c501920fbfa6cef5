// One receiver process as the engine sees it: started with posix_spawn (never a fork of the
// server) from the executable beside the plugin library, with an empty environment, default
// signal handling and no descriptor but its end of the channel (as descriptor 3; /dev/null as
// 0 to 2), as the user that the engine chose for it (receiver_user.h); stopped with SIGKILL
// and reaped. The process ends by itself when the thread that started it ends
// (PR_SET_PDEATHSIG), so start it from a thread that lives as long as its owner.
//
// Threads: one thread at a time (the relay's).
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

#include "receiver_user.h"

namespace nx::vms_server_plugins::analytics::sample {

class ReceiverProcess
{
public:
    static constexpr const char* kExecutableName = "skyloom-receiver";

    /**
     * The receiver beside the file of the library (or program) that holds this code; empty if
     * that file cannot be found.
     */
    [[nodiscard]] static std::string defaultExecutable();

    /** Why a start failed. */
    struct StartFailure
    {
        std::string reason;
        /** No descriptor, process or memory was left: worth trying again later. */
        bool lackOfResources = false;
    };

    /**
     * Starts the executable, to run as `user` (none: as this process's user); null with the
     * reason in `failure` if it cannot be started.
     */
    [[nodiscard]] static std::unique_ptr<ReceiverProcess> start(const std::string& executable,
        const std::optional<UserIds>& user, StartFailure* failure);

    /** Kills and reaps the process if it is still there and was not handed on. */
    ~ReceiverProcess();

    ReceiverProcess(const ReceiverProcess&) = delete;
    ReceiverProcess& operator=(const ReceiverProcess&) = delete;

    /** The engine's end of the channel (non-blocking). */
    [[nodiscard]] int channel() const { return m_channel; }
    [[nodiscard]] pid_t pid() const { return m_pid; }

    /**
     * Kills the process (if it still runs) and reaps it, waiting for that at most a moment;
     * returns how it ended, e.g. "killed by signal 6 (Aborted)" or "exited with status 1".
     * A process that could not be reaped in time is the caller's to hand on (unreaped()).
     */
    std::string stop();

    /**
     * After stop(): the pid of the process if it is still to be reaped, which this object then
     * leaves to the caller (its destructor only closes the channel); -1 if it was reaped.
     */
    [[nodiscard]] pid_t unreaped();

    /** How a wait status reads for the operator. */
    [[nodiscard]] static std::string describeExit(int status);

private:
    ReceiverProcess(pid_t pid, int channel): m_pid(pid), m_channel(channel) {}

    /** Reaps if it can within `attempts` short pauses; the exit status if it did. */
    [[nodiscard]] std::optional<int> reap(int attempts);

    pid_t m_pid = -1;
    int m_channel = -1;
    bool m_reaped = false;
    bool m_handedOn = false;
};

} // namespace nx::vms_server_plugins::analytics::sample
