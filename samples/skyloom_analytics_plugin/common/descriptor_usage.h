// How many descriptors the process may have and how many it has open, for the operator when a
// socket, pipe or process cannot be made. Works also when no descriptor is left. Any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace nx::vms_server_plugins::analytics::sample {

struct DescriptorUsage
{
    int64_t open = -1; //< -1: unknown.
    int64_t limit = -1; //< The soft RLIMIT_NOFILE; -1: unknown or unlimited.
};

[[nodiscard]] DescriptorUsage descriptorUsage();

/** For example "1024 of 1024 descriptors in use". */
[[nodiscard]] std::string describe(const DescriptorUsage& usage);

/** Whether a failure with this errno value is a lack of descriptors, processes or memory. */
[[nodiscard]] bool isLackOfResources(int error);

/** The errno value that a ZeroMQ or system error carries; 0 for any other exception. */
[[nodiscard]] int errorNumberOf(const std::exception& failure);

} // namespace nx::vms_server_plugins::analytics::sample
