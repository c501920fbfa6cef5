#include <skyloom/testhost/process_readings.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace skyloom::testhost {

namespace {

/** The entries of a directory but "." and ".."; -1 if it cannot be read. */
int countEntries(const char* path)
{
    DIR* const dir = opendir(path);
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
    {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count;
}

} // namespace

int openDescriptorCount()
{
    const int count = countEntries("/proc/self/fd");
    return count < 0 ? -1 : count - 1; //< The directory stream's own descriptor.
}

namespace {

std::string procPath(pid_t pid, const char* entry)
{
    return "/proc/" + (pid == 0 ? std::string("self") : std::to_string(pid)) + "/" + entry;
}

/** The fields of /proc/PID/stat after the command name (field 3, the state, first). */
std::vector<std::string> statFields(pid_t pid)
{
    std::ifstream file(procPath(pid, "stat"));
    std::string text;
    std::getline(file, text);
    const size_t close = text.rfind(')');
    std::vector<std::string> fields;
    if (close == std::string::npos)
        return fields;
    std::istringstream rest(text.substr(close + 1));
    for (std::string field; rest >> field;)
        fields.push_back(field);
    return fields;
}

} // namespace

int64_t residentKiB(pid_t pid)
{
    std::ifstream status(procPath(pid, "status"));
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmRSS:", 0) == 0)
        {
            std::istringstream fields(line.substr(6));
            int64_t kib = -1;
            fields >> kib;
            return kib;
        }
    }
    return -1;
}

int threadCount()
{
    return countEntries("/proc/self/task");
}

double cpuSeconds(pid_t pid)
{
    const std::vector<std::string> fields = statFields(pid);
    if (fields.size() < 13)
        return -1;
    // utime and stime: fields 14 and 15 of the whole line.
    const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool processRuns(pid_t pid)
{
    const std::vector<std::string> fields = statFields(pid);
    return !fields.empty() && fields[0] != "Z" && fields[0] != "X";
}

std::vector<pid_t> receiverProcesses()
{
    std::vector<pid_t> result;
    const std::string self = std::to_string(getpid());
    DIR* const dir = opendir("/proc");
    if (!dir)
        return result;
    while (const dirent* entry = readdir(dir))
    {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0)
            continue;
        const std::vector<std::string> fields = statFields(pid);
        if (fields.size() < 2 || fields[1] != self || fields[0] == "Z")
            continue;
        char target[4096] = {};
        if (readlink(procPath(pid, "exe").c_str(), target, sizeof(target) - 1) <= 0)
            continue;
        const std::string exe(target);
        if (exe.find("/skyloom-receiver") != std::string::npos)
            result.push_back(pid);
    }
    closedir(dir);
    return result;
}

} // namespace skyloom::testhost
