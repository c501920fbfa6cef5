#include "wakeup.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace nx::vms_server_plugins::analytics::sample {

Wakeup::Wakeup():
    m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0)
        // A plain runtime_error with the errno text: a system_error's category lives in the C++
        // runtime, whose type information this library (hidden visibility) does not share.
        throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
}

Wakeup::~Wakeup()
{
    close(m_fd);
}

void Wakeup::notify() noexcept
{
    const uint64_t one = 1;
    // Only a counter at its maximum refuses the write, and that counter is readable already.
    (void) !write(m_fd, &one, sizeof(one));
}

void Wakeup::consume() noexcept
{
    uint64_t count = 0;
    // Non-blocking: nothing pending is EAGAIN, which leaves the descriptor as it should be.
    (void) !read(m_fd, &count, sizeof(count));
}

bool Wakeup::waitFor(std::chrono::milliseconds timeout) const noexcept
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd item{m_fd, POLLIN, 0};
        const int result = poll(&item, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (result > 0)
            return true;
        if (result == 0 || errno != EINTR)
            return false; //< Timed out; a failing poll cannot wait, so it counts as the same.
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
