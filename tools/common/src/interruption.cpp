#include "interruption.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

namespace skyloom::tools {

namespace {

// Written by the signal handler, read by any thread: it must be lock-free to be both.
static_assert(ATOMIC_BOOL_LOCK_FREE == 2);
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_outputClosed{false};

void onSignal(int)
{
    g_interrupted.store(true, std::memory_order_relaxed);
}

} // namespace

void stopOnSignals()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
}

bool interrupted()
{
    return g_interrupted.load(std::memory_order_relaxed) || outputClosed();
}

bool outputClosed()
{
    if (g_outputClosed.load(std::memory_order_relaxed))
        return true;
    // The write end of a pipe whose readers have all gone polls as POLLERR, a hung-up terminal
    // or socket as POLLHUP: seen at once, without waiting for the next write to fail.
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    if (::poll(&output, 1, 0) != 1 || (output.revents & (POLLERR | POLLHUP)) == 0)
        return false;
    g_outputClosed.store(true, std::memory_order_relaxed);
    return true;
}

std::ostream& reportStream()
{
    return outputClosed() ? std::cerr : std::cout;
}

} // namespace skyloom::tools
