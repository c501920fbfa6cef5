// The calls that the test build of the receiver (skyloom_receiver_trigger) makes from inside its
// sandbox when a message names one: each would reach beyond the receiver (the server that started
// it, a local service, the files) if the sandbox let it through. The receiver makes the call and
// logs the outcome ("<message>: refused: <error>" or "<message>: made"), unless the call kills it.
// Shared by that build, which makes the calls, and ReceiverSandbox, which sends the messages.
//
// Threads: makeForbiddenCall() on the receiver's main thread; forbiddenCallMessage() anywhere.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace skyloom::hardening {

enum class ForbiddenCall
{
    makeDirectory, //< mkdir of a directory in the working directory: outside the filter.
    cpuLimit, //< prlimit64 of RLIMIT_CPU to 1 s on the process `argument`.
    fileSizeLimit, //< prlimit64 of RLIMIT_FSIZE to 0 on the process `argument`.
    descriptorLimit, //< prlimit64 of RLIMIT_NOFILE to 8 on the process `argument`.
    idleScheduling, //< sched_setscheduler(SCHED_IDLE) on the process or thread `argument`.
    lowestPriority, //< setpriority(PRIO_PROCESS, 19) on the process or thread `argument`.
    unixSocket, //< socket(AF_UNIX, SOCK_STREAM).
    datagramSocket, //< socket(AF_INET, SOCK_DGRAM).
    tcpConnect, //< connect to 127.0.0.1, port `argument`.
    tcpFastOpen, //< sendto with MSG_FASTOPEN to 127.0.0.1, port `argument`.
    signalOwner, //< fcntl(F_SETOWN) of a socket to the process `argument` (SIGIO, SIGURG).
    ioctlSignalOwner, //< ioctl(FIOSETOWN) of a socket to the process `argument`.
    pathStat, //< stat of the path `argument`.
    newThread, //< A thread (pthread_create).
};

/** What makes the receiver make the call; `argument` as the call's comment says. */
std::string forbiddenCallMessage(ForbiddenCall call, const std::string& argument = "");

/** The call that the message names, made; the line to log, or nothing if it names none. */
std::optional<std::string> makeForbiddenCall(std::string_view message);

} // namespace skyloom::hardening
