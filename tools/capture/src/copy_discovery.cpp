#include "copy_discovery.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "relay/diagnostic_copy_path.h"
#include "settings/settings_table.h"

namespace skyloom::capture {

namespace {

namespace fs = std::filesystem;
namespace sample = nx::vms_server_plugins::analytics::sample;

std::string userName(uid_t uid)
{
    if (const passwd* entry = getpwuid(uid))
        return entry->pw_name;
    return "uid " + std::to_string(uid);
}

std::string notRunningHint(const std::string& serverDirectory)
{
    return "is the plugin running in " + serverDirectory + " with "
        + sample::setting::kLoopbackRelay.name + " on and "
        + sample::setting::kLoopbackRelayEndpoint.name + " empty?";
}

/**
 * Whether a process listens on the socket file: one that a server left behind when it ended
 * without closing its copy refuses connections, and a watcher would wait there for ever. A path
 * too long for a local socket's address is taken as listening.
 */
bool listens(const std::string& path)
{
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path))
        return true;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    const bool refused =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        && errno == ECONNREFUSED;
    ::close(fd);
    return !refused;
}

} // namespace

DiscoveredCopy findDiagnosticCopy(const std::string& serverDirectory)
{
    std::error_code error;
    const fs::path server = fs::absolute(serverDirectory, error);
    const fs::path directory = server / sample::diagnostic_copy_path::kDirectory;
    struct stat status{};
    if (::stat(directory.c_str(), &status) != 0)
    {
        return {{}, "no diagnostic copy: " + directory.string() + " does not exist ("
            + notRunningHint(server.string()) + ")"};
    }
    if (::access(directory.c_str(), R_OK | X_OK) != 0)
    {
        return {{}, "cannot open " + directory.string() + ": it belongs to "
            + userName(status.st_uid) + " and only that user may read the copy; run "
            "skyloom-capture as the server's user (e.g. sudo -u " + userName(status.st_uid)
            + ")"};
    }
    std::vector<std::string> sockets;
    int stale = 0;
    for (const fs::directory_entry& entry: fs::directory_iterator(directory, error))
    {
        if (entry.path().extension() != sample::diagnostic_copy_path::kSuffix
            || !entry.is_socket(error))
        {
            continue;
        }
        if (listens(entry.path().string()))
            sockets.push_back(entry.path().string());
        else
            ++stale;
    }
    if (error)
        return {{}, "cannot read " + directory.string() + ": " + error.message()};
    if (sockets.empty())
    {
        const std::string leftOver = stale == 0 ? std::string()
            : "; " + std::to_string(stale) + " left behind by a server that has ended";
        return {{}, "no diagnostic copy in " + directory.string() + " ("
            + notRunningHint(server.string()) + ")" + leftOver};
    }
    if (sockets.size() > 1)
    {
        std::sort(sockets.begin(), sockets.end());
        std::string list;
        for (const std::string& path: sockets)
            list += (list.empty() ? "" : ", ") + ("ipc://" + path);
        return {{}, "several engines' copies in " + directory.string() + ": " + list
            + "; choose one with --connect"};
    }
    if (sockets.front().size() < sizeof(sockaddr_un{}.sun_path))
        return {"ipc://" + sockets.front(), {}};
    // Too long for a local socket's address, as the plugin found it too: named from its
    // directory, which becomes the working directory (the output file is open already).
    if (::chdir(directory.c_str()) != 0)
        return {{}, "cannot enter " + directory.string() + ": " + std::strerror(errno)};
    return {"ipc://" + fs::path(sockets.front()).filename().string(), {}};
}

} // namespace skyloom::capture
