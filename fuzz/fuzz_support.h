// Shared set-up of the fuzz targets. libFuzzer calls LLVMFuzzerTestOneInput on one thread, so
// nothing here is synchronised. FUZZ_CHECK stops the run with a report when a property of the
// code under test does not hold; libFuzzer then saves the input as a crash artifact.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <utility>

#include <nx/kit/debug.h>
#include <nx/sdk/helpers/lib_context.h>

#include <skyloom/testhost/registry.h>

#define FUZZ_CHECK(condition) \
    do { \
        if (!(condition)) \
        { \
            std::fprintf( \
                stderr, "%s:%d: FUZZ_CHECK failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort(); \
        } \
    } while (false)

namespace skyloom::fuzz {

/**
 * Lines are still built (the debug dump included) but not written: at thousands of inputs a
 * second the log file would only cost disk and time. The opened file stays referenced here, so
 * the leak check does not report it.
 */
inline void discardLogOutput()
{
    static std::ostream* const logFile = std::exchange(nx::kit::debug::debugStream(), nullptr);
    (void) logFile;
}

/**
 * The library's objects report to this registry, as they do to the server's: after each input
 * every object created must have been destroyed exactly once.
 */
inline const std::shared_ptr<testhost::RegistryStats>& registryStats()
{
    static const std::shared_ptr<testhost::RegistryStats> stats =
        []()
        {
            auto created = std::make_shared<testhost::RegistryStats>();
            nx::sdk::libContext().setName("skyloom_analytics_plugin");
            nx::sdk::libContext().setRefCountableRegistry(new testhost::Registry(created));
            return created;
        }();
    return stats;
}

inline void checkRegistryBalanced()
{
    FUZZ_CHECK(registryStats()->alive() == 0);
    FUZZ_CHECK(registryStats()->anomalies() == 0);
}

} // namespace skyloom::fuzz
