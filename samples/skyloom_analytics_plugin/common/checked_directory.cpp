#include "checked_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** Room for getpwuid_r and getgrgid_r: what the system suggests, grown while it is too little. */
std::vector<char> entryBuffer(int which)
{
    const long suggested = ::sysconf(which);
    return std::vector<char>(suggested > 0 ? static_cast<size_t>(suggested) : 16384);
}

std::optional<std::string> userName(uid_t uid)
{
    std::vector<char> buffer = entryBuffer(_SC_GETPW_R_SIZE_MAX);
    passwd entry{};
    passwd* found = nullptr;
    int status = 0;
    while ((status = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (status != 0 || found == nullptr)
        return std::nullopt;
    return std::string(entry.pw_name);
}

/** Whether the group is `user`'s private one: named after it, no other member listed. */
bool isPrivateGroupOf(gid_t gid, uid_t user)
{
    const std::optional<std::string> name = userName(user);
    if (!name)
        return false;
    std::vector<char> buffer = entryBuffer(_SC_GETGR_R_SIZE_MAX);
    group entry{};
    group* found = nullptr;
    int status = 0;
    while ((status = ::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found)) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (status != 0 || found == nullptr || *name != entry.gr_name)
        return false;
    for (char** member = entry.gr_mem; member && *member; ++member)
    {
        if (*name != *member)
            return false;
    }
    return true;
}

std::string failure(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

} // namespace

DirectoryDescriptor::DirectoryDescriptor(DirectoryDescriptor&& other) noexcept:
    m_fd(std::exchange(other.m_fd, -1))
{
}

DirectoryDescriptor& DirectoryDescriptor::operator=(DirectoryDescriptor&& other) noexcept
{
    if (this != &other)
    {
        reset();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

void DirectoryDescriptor::reset()
{
    if (m_fd >= 0)
        ::close(std::exchange(m_fd, -1));
}

OpenedDirectory openDirectory(int at, const std::string& path)
{
    OpenedDirectory result;
    const int fd = ::openat(at, path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
    {
        result.error = errno;
        struct stat link{};
        result.symbolicLink =
            ::fstatat(at, path.c_str(), &link, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(link.st_mode);
        if (result.symbolicLink)
            result.refusal = "is a symbolic link";
        else if (result.error == ENOTDIR)
            result.refusal = "is not a directory";
        else
            result.refusal = failure("cannot be opened", result.error);
        return result;
    }
    result.directory = DirectoryDescriptor(fd);
    if (::fstat(fd, &result.status) != 0)
    {
        result.error = errno;
        result.refusal = failure("cannot be examined", result.error);
        result.directory.reset();
    }
    return result;
}

std::optional<std::string> othersMayWrite(const struct stat& status, uid_t user)
{
    if (status.st_uid != user && status.st_uid != 0)
        return "belongs to user " + std::to_string(status.st_uid);
    if ((status.st_mode & S_ISVTX) != 0)
        return std::nullopt;
    const std::string mode = " (mode " + octalMode(status.st_mode) + ") without the sticky bit";
    if ((status.st_mode & S_IWOTH) != 0)
        return "is writable by every user" + mode;
    if ((status.st_mode & S_IWGRP) != 0 && !isPrivateGroupOf(status.st_gid, user))
        return "is writable by group " + std::to_string(status.st_gid) + mode;
    return std::nullopt;
}

std::string pathThrough(
    const DirectoryDescriptor& directory, const std::string& name, std::string* error)
{
    const std::string through = "/proc/self/fd/" + std::to_string(directory.get());
    struct stat viaProc{};
    struct stat opened{};
    if (::stat(through.c_str(), &viaProc) != 0 || ::fstat(directory.get(), &opened) != 0)
    {
        const int errorNumber = errno;
        *error = failure(("cannot be reached through " + through).c_str(), errorNumber);
        return {};
    }
    if (viaProc.st_dev != opened.st_dev || viaProc.st_ino != opened.st_ino)
    {
        *error = "cannot be reached through " + through + ": it leads elsewhere";
        return {};
    }
    return through + "/" + name;
}

std::string octalMode(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace nx::vms_server_plugins::analytics::sample
