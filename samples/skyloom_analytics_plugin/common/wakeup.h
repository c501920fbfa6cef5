// A wake-up that a thread polls beside its ZeroMQ sockets (an eventfd), so that a stop request
// or new settings reach a thread that otherwise sleeps until a message arrives. It is a level:
// readable from notify() until consume(), for every thread that polls it.
//
// Threads: notify() from any thread; consume() from one thread at a time (the one that acts on
// the notification); fd() and waitFor() from any thread. The owner destroys it only once no
// thread polls it any more (after the join).
#pragma once

#include <chrono>

namespace nx::vms_server_plugins::analytics::sample {

class Wakeup
{
public:
    /** Throws std::runtime_error (with the system's reason) if the descriptor cannot be made. */
    Wakeup();
    ~Wakeup();

    Wakeup(const Wakeup&) = delete;
    Wakeup& operator=(const Wakeup&) = delete;

    /** The descriptor to poll for input (ZMQ_POLLIN / POLLIN). */
    [[nodiscard]] int fd() const { return m_fd; }

    /** Makes the descriptor readable until consume(); never blocks, never throws. */
    void notify() noexcept;

    /** Makes the descriptor unreadable again; the notifications so far are used up. */
    void consume() noexcept;

    /**
     * Sleeps until notified or until `timeout` has passed; true if notified (the notification
     * stays pending for the caller's poll).
     */
    [[nodiscard]] bool waitFor(std::chrono::milliseconds timeout) const noexcept;

private:
    int m_fd = -1;
};

} // namespace nx::vms_server_plugins::analytics::sample
