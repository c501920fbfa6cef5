// Figures of the benchmarks: latency percentiles of a set of samples, and the process's own CPU
// time (of all its threads, of the calling one, of those of a name), resident size and threads
// (its open descriptors: testhost's openDescriptorCount()). Plain functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skyloom::bench {

struct LatencySummary
{
    size_t count = 0;
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
};

/** Nearest-rank percentile (0 < p <= 100) of samples sorted ascending; 0 for no samples. */
double percentile(const std::vector<uint32_t>& sortedSamples, double p);

/** Sorts the samples (microseconds) and summarises them. */
LatencySummary summarize(std::vector<uint32_t> samplesUs);

/** User plus system CPU time of the whole process (all its threads) so far, in seconds. */
double processCpuSeconds();

/** CPU time of the calling thread so far, in seconds. */
double threadCpuSeconds();

/**
 * CPU time so far of the threads of the process whose name begins with `namePrefix`, in seconds
 * (in clock ticks of 10 ms: read it over runs long enough). Threads that have ended are not in it.
 */
double namedThreadsCpuSeconds(const std::string& namePrefix);

/** Resident set size of the process in bytes; 0 if it cannot be read. */
int64_t residentBytes();

/** Threads of the process; -1 if they cannot be read. */
int threadCount();

} // namespace skyloom::bench
