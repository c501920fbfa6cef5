// A wake-up that a thread polls beside its ZeroMQ sockets (an eventfd), so that a stop request
// or new settings reach a thread that otherwise sleeps until a message arrives. The owner of
// the thread creates it before starting the thread and destroys it after the join; notify()
// may be called from any thread, the other operations only from the polling thread.
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
