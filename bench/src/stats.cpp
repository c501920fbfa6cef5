#include "stats.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <string>

#include <sys/resource.h>
#include <unistd.h>

namespace skyloom::bench {

double percentile(const std::vector<uint32_t>& sortedSamples, double p)
{
    if (sortedSamples.empty())
        return 0;
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sortedSamples.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return sortedSamples[std::min(index, sortedSamples.size() - 1)];
}

LatencySummary summarize(std::vector<uint32_t> samplesUs)
{
    std::sort(samplesUs.begin(), samplesUs.end());
    LatencySummary summary;
    summary.count = samplesUs.size();
    summary.p50Us = percentile(samplesUs, 50);
    summary.p99Us = percentile(samplesUs, 99);
    summary.maxUs = samplesUs.empty() ? 0 : samplesUs.back();
    return summary;
}

double processCpuSeconds()
{
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

int64_t residentBytes()
{
    // statm: total program size, then resident pages.
    std::ifstream statm("/proc/self/statm");
    int64_t totalPages = 0;
    int64_t residentPages = 0;
    if (!(statm >> totalPages >> residentPages))
        return 0;
    return residentPages * static_cast<int64_t>(sysconf(_SC_PAGESIZE));
}


int threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("Threads:", 0) == 0)
            return std::stoi(line.substr(8));
    }
    return -1;
}

} // namespace skyloom::bench
