#include "private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr mode_t kPrivateMode = 0700;

std::string octal(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string failure(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

/** Closes the descriptor on every way out. */
class Descriptor
{
public:
    explicit Descriptor(int fd): m_fd(fd) {}
    ~Descriptor() { if (m_fd >= 0) ::close(m_fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    const int m_fd;
};

} // namespace

PrivateDirectory preparePrivateDirectory(const std::string& path)
{
    PrivateDirectory result;
    if (::mkdir(path.c_str(), kPrivateMode) != 0 && errno != EEXIST)
    {
        result.refusal = failure("cannot be made");
        return result;
    }
    // O_NOFOLLOW: a symbolic link put in its place (by whoever may write the working
    // directory) could lead the socket, and the messages, anywhere.
    const Descriptor directory(
        ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (directory.get() < 0)
    {
        struct stat link{};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
            result.refusal = "is a symbolic link";
        else if (errno == ENOTDIR)
            result.refusal = "is not a directory";
        else
            result.refusal = failure("cannot be opened");
        return result;
    }
    struct stat status{};
    if (::fstat(directory.get(), &status) != 0)
    {
        result.refusal = failure("cannot be examined");
        return result;
    }
    // Another user's directory is theirs to read, whatever its mode says now.
    if (status.st_uid != ::geteuid())
    {
        result.refusal = "belongs to user " + std::to_string(status.st_uid)
            + ", not to the server's user " + std::to_string(::geteuid());
        return result;
    }
    if ((status.st_mode & 07777) != kPrivateMode)
    {
        if (::fchmod(directory.get(), kPrivateMode) != 0)
        {
            result.refusal = failure(("has mode " + octal(status.st_mode)
                + " that cannot be made " + octal(kPrivateMode)).c_str());
            return result;
        }
        result.repair = "mode " + octal(status.st_mode) + " made " + octal(kPrivateMode);
    }
    return result;
}

} // namespace nx::vms_server_plugins::analytics::sample
