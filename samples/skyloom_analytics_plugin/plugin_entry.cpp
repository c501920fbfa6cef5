// The library's entry point, compiled into each build of the library on its own: the one that
// servers load runs its engines with the shipped periods, the tests' build (compiled with
// SKYLOOM_TEST_INTERVALS) with the short ones.
#include <exception>

#include <nx/kit/debug.h>

#include "common/intervals.h"
#include "plugin.h"

namespace {

using nx::vms_server_plugins::analytics::sample::Intervals;

#if defined(SKYLOOM_TEST_INTERVALS)
constexpr const Intervals& kLibraryIntervals =
    nx::vms_server_plugins::analytics::sample::kTestIntervals;
#else
constexpr const Intervals& kLibraryIntervals =
    nx::vms_server_plugins::analytics::sample::kShippedIntervals;
#endif

void logCreationFailure(const char* what) noexcept
{
    try
    {
        NX_PRINT << "createNxPlugin(): exception: " << what;
    }
    catch (...)
    {
        // Out of memory while reporting: nothing more can be done without throwing.
    }
}

} // namespace

extern "C" nx::sdk::IPlugin* createNxPlugin()
{
    // Nothing may be thrown back into the server.
    try
    {
        return new nx::vms_server_plugins::analytics::sample::Plugin(kLibraryIntervals);
    }
    catch (const std::exception& e)
    {
        logCreationFailure(e.what());
    }
    catch (...)
    {
        logCreationFailure("unknown");
    }
    return nullptr;
}
