#include "descriptor_usage.h"

#include <dirent.h>
#include <sys/resource.h>

#include <cerrno>
#include <system_error>

#include <zmq.hpp>

namespace nx::vms_server_plugins::analytics::sample {

DescriptorUsage descriptorUsage()
{
    DescriptorUsage usage;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        usage.limit = static_cast<int64_t>(limit.rlim_cur);

    DIR* const directory = opendir("/proc/self/fd");
    if (!directory)
    {
        // EMFILE: the lowest free descriptor would be at the limit, so every one below is open.
        if (errno == EMFILE)
            usage.open = usage.limit;
        return usage;
    }
    int64_t entries = 0;
    while (const dirent* const entry = readdir(directory))
    {
        if (entry->d_name[0] != '.')
            ++entries;
    }
    closedir(directory);
    usage.open = entries - 1; //< Not the one that listed them.
    return usage;
}

std::string describe(const DescriptorUsage& usage)
{
    const std::string open = usage.open >= 0 ? std::to_string(usage.open) : "an unknown number";
    if (usage.limit < 0)
        return open + " descriptors in use, no limit known";
    return open + " of " + std::to_string(usage.limit) + " descriptors in use";
}

bool isLackOfResources(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM || error == EAGAIN
        || error == ENOBUFS;
}

int errorNumberOf(const std::exception& failure)
{
    if (const auto* zmqError = dynamic_cast<const zmq::error_t*>(&failure))
        return zmqError->num();
    if (const auto* systemError = dynamic_cast<const std::system_error*>(&failure))
        return systemError->code().value();
    return 0;
}

} // namespace nx::vms_server_plugins::analytics::sample
