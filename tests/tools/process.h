// Runs the tools as child processes for the tests: output goes to files in the working
// directory, so that a test can read it while the child runs. One test thread per child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace skyloom::tools_test {

struct Finished
{
    int status = -1; //< exit status; -1 when the child did not exit normally
    std::string out;
    std::string err;
};

/** Another user (root may become any) and the directory the child runs in. */
struct RunAs
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::string directory;
};

/**
 * Starts `argv` with its standard output and error in the given files (relative to this
 * process's directory) and its standard input from `inPath` (never the test's own, which may be
 * a terminal), as `user` if given; returns the pid.
 */
pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath,
    const std::string& errPath, const std::string& inPath = "/dev/null",
    const RunAs* user = nullptr);

/**
 * As spawn(), with standard output into a pipe: *outRead is its read end, which only this
 * process holds, so that closing it closes the child's output as `| head` does.
 */
pid_t spawnPiped(const std::vector<std::string>& argv, const std::string& errPath, int* outRead,
    const std::string& inPath = "/dev/null");

/** The next line from the descriptor (without its '\n'); empty at its end. */
std::string readLine(int fd);

/** Waits for the child; kills it after the timeout (status -1 then). */
int waitFor(pid_t pid, std::chrono::milliseconds timeout);

/** Runs to the end and collects both outputs. */
Finished run(const std::vector<std::string>& argv,
    std::chrono::milliseconds timeout = std::chrono::seconds(30),
    const std::string& inPath = "/dev/null", const RunAs* user = nullptr);

std::string readFile(const std::string& path);

} // namespace skyloom::tools_test
