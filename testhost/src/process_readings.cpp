#include <skyloom/testhost/process_readings.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <set>
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

namespace skyloom::testhost {

namespace {

/** The inodes of the sockets that the process holds open. */
std::set<std::string> socketInodes(pid_t pid)
{
    std::set<std::string> inodes;
    const std::string directory = procPath(pid, "fd");
    DIR* const dir = opendir(directory.c_str());
    if (!dir)
        return inodes;
    while (const dirent* entry = readdir(dir))
    {
        char target[256] = {};
        const std::string link = directory + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof(target) - 1) <= 0)
            continue;
        const std::string text(target); //< "socket:[12345]"
        if (text.rfind("socket:[", 0) == 0 && text.back() == ']')
            inodes.insert(text.substr(8, text.size() - 9));
    }
    closedir(dir);
    return inodes;
}

} // namespace

std::vector<int> listeningTcpPorts(pid_t pid)
{
    constexpr char kListen[] = "0A";
    const std::set<std::string> inodes = socketInodes(pid);
    std::set<int> ports;
    for (const char* table: {"net/tcp", "net/tcp6"})
    {
        std::ifstream file(procPath(pid, table));
        std::string line;
        std::getline(file, line); //< The header.
        while (std::getline(file, line))
        {
            // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout,
                inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid
                >> timeout >> inode;
            const size_t colon = local.rfind(':');
            if (state != kListen || colon == std::string::npos || !inodes.count(inode))
                continue;
            ports.insert(static_cast<int>(std::strtol(local.c_str() + colon + 1, nullptr, 16)));
        }
    }
    return {ports.begin(), ports.end()};
}

} // namespace skyloom::testhost
