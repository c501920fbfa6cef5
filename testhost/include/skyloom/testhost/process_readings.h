// Readings of the host process itself, for the checks that a plugin leaves nothing behind
// (descriptors) and the benchmarks' figures. Plain functions; any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace skyloom::testhost {

/** Open file descriptors of this process; -1 if they cannot be read. */
int openDescriptorCount();

/** Resident memory of a process (this one by default) from /proc, in KiB; -1 if unreadable. */
int64_t residentKiB(pid_t pid = 0);

/** Threads of this process. */
int threadCount();

/** CPU time (user and system) that a process has used, in seconds; -1 if unreadable. */
double cpuSeconds(pid_t pid);

/**
 * The children of this process that run the plugin's receiver executable ("skyloom-receiver"),
 * zombies left out: the processes that hold the service port when the receiver is isolated.
 */
std::vector<pid_t> receiverProcesses();

/** Whether the process exists and is not a zombie. */
bool processRuns(pid_t pid);

/** The TCP ports (IPv4 and IPv6) on which the process has a listening socket, sorted. */
std::vector<int> listeningTcpPorts(pid_t pid);

} // namespace skyloom::testhost
