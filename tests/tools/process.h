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

/**
 * Starts `argv` with its standard output and error in the given files and its standard input
 * from `inPath` (never the test's own, which may be a terminal); returns the pid.
 */
pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath,
    const std::string& errPath, const std::string& inPath = "/dev/null");

/** Waits for the child; kills it after the timeout (status -1 then). */
int waitFor(pid_t pid, std::chrono::milliseconds timeout);

/** Runs to the end and collects both outputs. */
Finished run(const std::vector<std::string>& argv,
    std::chrono::milliseconds timeout = std::chrono::seconds(30),
    const std::string& inPath = "/dev/null");

std::string readFile(const std::string& path);

} // namespace skyloom::tools_test
