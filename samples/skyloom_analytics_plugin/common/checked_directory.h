// Directories that hold what another local user must not redirect: the diagnostic copy's socket
// and the metrics file. A directory is opened once, never through a symbolic link as its last
// component, its owner and mode are checked on the open descriptor, and everything in it is
// then done relative to that descriptor (the *at() calls, or pathThrough() for the calls that
// take only a path, such as bind and connect). A rename of the directory or of any directory
// above it, or a link put in its place after the checks, cannot lead a socket or a file
// anywhere else.
//
// Also compiled into skyloom-capture, which checks the copy the same way before it connects:
// depends on the C library only. Pure functions of the file system and the user database; any
// thread.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>

namespace nx::vms_server_plugins::analytics::sample {

/** An open directory (O_PATH: it reads nothing by itself). Owns the descriptor; movable. */
class DirectoryDescriptor
{
public:
    DirectoryDescriptor() = default;
    explicit DirectoryDescriptor(int fd): m_fd(fd) {}
    ~DirectoryDescriptor() { reset(); }
    DirectoryDescriptor(DirectoryDescriptor&& other) noexcept;
    DirectoryDescriptor& operator=(DirectoryDescriptor&& other) noexcept;
    DirectoryDescriptor(const DirectoryDescriptor&) = delete;
    DirectoryDescriptor& operator=(const DirectoryDescriptor&) = delete;

    [[nodiscard]] int get() const { return m_fd; }
    [[nodiscard]] bool valid() const { return m_fd >= 0; }
    void reset();

private:
    int m_fd = -1;
};

struct OpenedDirectory
{
    DirectoryDescriptor directory; //< Valid when there is no refusal.
    struct stat status{}; //< Of the opened directory.
    /** Why it was not opened ("is a symbolic link", "cannot be opened: ..."); empty if it was. */
    std::string refusal;
    int error = 0; //< The errno value of a failed open; 0 otherwise.
    bool symbolicLink = false; //< Not opened: a symbolic link is in its place.
};

/**
 * Opens `path` (relative to `at`: AT_FDCWD or an open directory) as a directory. A symbolic link
 * as its last component is refused, not followed; links before it are followed.
 */
[[nodiscard]] OpenedDirectory openDirectory(int at, const std::string& path);

/**
 * Why a user other than `user` and root may add, rename or remove entries of the directory;
 * nothing if none may. Its owner may (it can change the mode); so may everyone when it is
 * writable by others, and its group's members when it is writable by its group, unless the
 * sticky bit keeps them to their own entries. A group named after `user` that lists no other
 * member (a user's private group) counts as `user`'s own. The reason reads after the directory's
 * path: "belongs to user 1001", "is writable by every user (mode 0777) without the sticky bit".
 */
[[nodiscard]] std::optional<std::string> othersMayWrite(const struct stat& status, uid_t user);

/**
 * "/proc/self/fd/<fd>/<name>": the path by which a call that takes only a path (bind, connect,
 * chmod) reaches `name` in the open directory, wherever the directory has been moved since.
 * Empty, with *error set, when /proc does not lead to the directory (not mounted). The
 * descriptor must stay open as long as the path is used.
 */
[[nodiscard]] std::string pathThrough(
    const DirectoryDescriptor& directory, const std::string& name, std::string* error);

/** Mode bits as "0755". */
[[nodiscard]] std::string octalMode(mode_t mode);

} // namespace nx::vms_server_plugins::analytics::sample
