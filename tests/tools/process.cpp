#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <thread>

namespace skyloom::tools_test {

pid_t spawn(const std::vector<std::string>& argv, const std::string& outPath,
    const std::string& errPath, const std::string& inPath, const RunAs* user)
{
    std::vector<char*> args;
    for (const std::string& arg: argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int in = open(inPath.c_str(), O_RDONLY);
    if (out < 0 || err < 0 || in < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || dup2(in, 0) < 0)
        _exit(127);
    if (user && (chdir(user->directory.c_str()) != 0 || setgroups(0, nullptr) != 0
        || setgid(user->gid) != 0 || setuid(user->uid) != 0))
    {
        _exit(126);
    }
    execv(args[0], args.data());
    _exit(127);
}

pid_t spawnPiped(const std::vector<std::string>& argv, const std::string& errPath, int* outRead,
    const std::string& inPath)
{
    // Both ends close on exec: the child reopens the write end as its standard output, and
    // never holds a read end that would keep the pipe open.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = spawn(argv, "/proc/self/fd/" + std::to_string(ends[1]), errPath, inPath);
    close(ends[1]);
    *outRead = ends[0];
    return pid;
}

std::string readLine(int fd)
{
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

int waitFor(pid_t pid, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

Finished run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
    const std::string& inPath, const RunAs* user)
{
    static int counter = 0;
    const std::string base = "run" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    Finished result;
    result.status = waitFor(spawn(argv, base + ".out", base + ".err", inPath, user), timeout);
    result.out = readFile(base + ".out");
    result.err = readFile(base + ".err");
    return result;
}

} // namespace skyloom::tools_test
