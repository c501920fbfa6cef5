#include "copy_discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
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
using sample::DirectoryDescriptor;

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

DiscoveredCopy failed(std::string error)
{
    DiscoveredCopy result;
    result.error = std::move(error);
    return result;
}

DiscoveredCopy refusal(const std::string& what, const std::string& why)
{
    DiscoveredCopy result = failed("refusing " + what + ": " + why);
    result.refused = true;
    return result;
}

std::string linkTarget(int at, const std::string& name)
{
    char target[PATH_MAX];
    const ssize_t size = ::readlinkat(at, name.c_str(), target, sizeof(target) - 1);
    return size < 0 ? std::string("?") : std::string(target, static_cast<size_t>(size));
}

/**
 * Whether a process listens on the socket: one that a server left behind when it ended without
 * closing its copy refuses connections, and a watcher would wait there for ever.
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

/** The copy's directory, open and trusted; otherwise the failure or the refusal. */
DiscoveredCopy openCopyDirectory(const fs::path& server, const std::string& directory)
{
    // The server directory as the user names it: links on the way are the user's own choice.
    const DirectoryDescriptor serverDirectory(
        ::open(server.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat serverStatus{};
    if (!serverDirectory.valid() || ::fstat(serverDirectory.get(), &serverStatus) != 0)
    {
        if (errno == ENOENT)
        {
            return failed("no diagnostic copy: " + directory + " does not exist ("
                + notRunningHint(server.string()) + ")");
        }
        return failed("cannot open " + server.string() + ": " + std::strerror(errno));
    }
    sample::OpenedDirectory copy =
        sample::openDirectory(serverDirectory.get(), sample::diagnostic_copy_path::kDirectory);
    if (copy.symbolicLink)
    {
        return refusal(directory, "it is a symbolic link (to "
            + linkTarget(serverDirectory.get(), sample::diagnostic_copy_path::kDirectory)
            + "), not the directory that the plugin makes; another user may have put it there");
    }
    if (copy.error == ENOENT)
    {
        return failed("no diagnostic copy: " + directory + " does not exist ("
            + notRunningHint(server.string()) + ")");
    }
    if (!copy.refusal.empty())
        return failed(directory + " " + copy.refusal);
    const uid_t self = ::geteuid();
    if (copy.status.st_uid != self)
    {
        const std::string owner = userName(copy.status.st_uid);
        return refusal(directory, "it belongs to " + owner + ", not to " + userName(self)
            + ", who runs skyloom-capture; only the server's user may read the copy: if "
            + owner + " is the server's user, run skyloom-capture as that user (e.g. sudo -u "
            + owner + "); if not, another user may have put it there");
    }
    if (const std::optional<std::string> why = sample::othersMayWrite(copy.status, self))
    {
        return refusal(directory, "it " + *why
            + ", where the plugin keeps it 0700; another user may have put something there");
    }
    if (const std::optional<std::string> why = sample::othersMayWrite(serverStatus, self))
    {
        return refusal(directory, server.string() + " " + *why
            + ", so another user may have put it there (the plugin makes no copy in such a "
              "directory)");
    }
    DiscoveredCopy result;
    result.directory = std::move(copy.directory);
    return result;
}

/** The live sockets among the entries; a refusal for an entry that no plugin made. */
DiscoveredCopy findSockets(DiscoveredCopy found, const std::string& directory,
    const std::string& socketName, std::vector<std::string>* live, int* stale)
{
    // The descriptor is O_PATH, which reads nothing: the same directory opened for reading.
    const int readable =
        ::openat(found.directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const entries = readable < 0 ? nullptr : ::fdopendir(readable);
    if (entries == nullptr)
    {
        const int error = errno;
        if (readable >= 0)
            ::close(readable);
        return failed("cannot read " + directory + ": " + std::strerror(error));
    }
    DiscoveredCopy result = std::move(found);
    while (const dirent* entry = ::readdir(entries))
    {
        const std::string name = entry->d_name;
        if (fs::path(name).extension() != sample::diagnostic_copy_path::kSuffix
            || (!socketName.empty() && name != socketName))
        {
            continue;
        }
        struct stat status{};
        if (::fstatat(result.directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            continue; //< Gone meanwhile.
        const std::string path = directory + "/" + name;
        if (S_ISLNK(status.st_mode))
        {
            result = refusal(path, "it is a symbolic link (to "
                + linkTarget(result.directory.get(), name) + "), not a socket that the plugin made");
            break;
        }
        if (!S_ISSOCK(status.st_mode))
            continue;
        if (status.st_uid != ::geteuid())
        {
            result = refusal(path, "it belongs to " + userName(status.st_uid) + ", not to "
                + userName(::geteuid()) + " as its directory does");
            break;
        }
        std::string error;
        const std::string through = sample::pathThrough(result.directory, name, &error);
        if (through.empty())
        {
            result = failed(directory + " " + error);
            break;
        }
        if (listens(through))
            live->push_back(name);
        else
            ++*stale;
    }
    ::closedir(entries);
    return result;
}

} // namespace

DiscoveredCopy findDiagnosticCopy(
    const std::string& serverDirectory, const std::string& socketName)
{
    std::error_code error;
    const fs::path server = fs::absolute(serverDirectory, error);
    const std::string directory = (server / sample::diagnostic_copy_path::kDirectory).string();
    DiscoveredCopy copy = openCopyDirectory(server, directory);
    if (!copy.error.empty())
        return copy;
    std::vector<std::string> sockets;
    int stale = 0;
    copy = findSockets(std::move(copy), directory, socketName, &sockets, &stale);
    if (!copy.error.empty())
        return copy;
    if (sockets.empty())
    {
        const std::string leftOver = stale == 0 ? std::string()
            : "; " + std::to_string(stale) + " left behind by a server that has ended";
        const std::string what = socketName.empty() ? "no diagnostic copy in " + directory
            : "no diagnostic copy " + directory + "/" + socketName;
        return failed(what + " (" + notRunningHint(server.string()) + ")" + leftOver);
    }
    if (sockets.size() > 1)
    {
        std::sort(sockets.begin(), sockets.end());
        std::string list;
        for (const std::string& name: sockets)
            list += (list.empty() ? "" : ", ") + ("ipc://" + directory + "/" + name);
        return failed("several engines' copies in " + directory + ": " + list
            + "; choose one with --connect");
    }
    std::string unused;
    copy.endpoint = "ipc://" + sample::pathThrough(copy.directory, sockets.front(), &unused);
    copy.shown = "ipc://" + directory + "/" + sockets.front();
    return copy;
}

std::optional<std::pair<std::string, std::string>> privateCopyOf(const std::string& endpoint)
{
    const std::string scheme = "ipc://";
    if (endpoint.rfind(scheme, 0) != 0)
        return std::nullopt;
    const fs::path path = endpoint.substr(scheme.size());
    const fs::path directory = path.parent_path();
    if (directory.filename() != sample::diagnostic_copy_path::kDirectory
        || path.extension() != sample::diagnostic_copy_path::kSuffix)
    {
        return std::nullopt;
    }
    const fs::path server = directory.parent_path();
    return std::make_pair(server.empty() ? std::string(".") : server.string(),
        path.filename().string());
}

} // namespace skyloom::capture
