#include "interruption.h"

#include <atomic>
#include <csignal>

namespace skyloom::tools {

namespace {

// Written by the signal handler, read by any thread: it must be lock-free to be both.
static_assert(ATOMIC_BOOL_LOCK_FREE == 2);
std::atomic<bool> g_interrupted{false};

void onSignal(int)
{
    g_interrupted.store(true, std::memory_order_relaxed);
}

} // namespace

void stopOnSignals()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

bool interrupted()
{
    return g_interrupted.load(std::memory_order_relaxed);
}

} // namespace skyloom::tools
