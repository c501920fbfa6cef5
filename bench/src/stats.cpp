#include "stats.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
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

double threadCpuSeconds()
{
    timespec time{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time) != 0)
        return 0;
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

double namedThreadsCpuSeconds(const std::string& namePrefix)
{
    DIR* const tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    unsigned long long ticks = 0;
    while (const dirent* entry = readdir(tasks))
    {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string name;
        if (!std::getline(comm, name) || name.compare(0, namePrefix.size(), namePrefix) != 0)
            continue;
        // The fields after the name (which may hold spaces): state first, utime and stime
        // 12th and 13th.
        std::ifstream stat(task + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(line.substr(close + 1));
        std::string skipped;
        for (int i = 0; i < 11; ++i)
            fields >> skipped;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        if (fields >> utime >> stime)
            ticks += utime + stime;
    }
    closedir(tasks);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
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
