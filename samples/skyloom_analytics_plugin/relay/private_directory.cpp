#include "private_directory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr mode_t kPrivateMode = 0700;

/**
 * The parent, open, if no other user may rename or replace what it holds: such a user could
 * move the directory away and put one of theirs in its place between two starts.
 */
DirectoryDescriptor trustedParent(const std::string& parent, std::string* refusal)
{
    OpenedDirectory opened = openDirectory(AT_FDCWD, parent);
    if (!opened.refusal.empty())
    {
        *refusal = "its parent directory " + opened.refusal;
        return {};
    }
    if (const std::optional<std::string> why = othersMayWrite(opened.status, ::geteuid()))
    {
        *refusal = "its parent directory " + *why
            + ": another user could put a directory of theirs in its place";
        return {};
    }
    return std::move(opened.directory);
}

/** Makes the directory if it is missing and opens it. */
OpenedDirectory makeAndOpen(const DirectoryDescriptor& parent, const std::string& name)
{
    if (::mkdirat(parent.get(), name.c_str(), kPrivateMode) != 0 && errno != EEXIST)
    {
        OpenedDirectory failed;
        failed.error = errno;
        failed.refusal = std::string("cannot be made: ") + std::strerror(failed.error);
        return failed;
    }
    return openDirectory(parent.get(), name);
}

/** Another user's directory is theirs to read, whatever its mode says now. */
std::string ownerRefusal(const struct stat& status)
{
    if (status.st_uid == ::geteuid())
        return {};
    return "belongs to user " + std::to_string(status.st_uid) + ", not to the server's user "
        + std::to_string(::geteuid());
}

/** Narrows a wider mode to kPrivateMode; the repair made, or the refusal if it cannot be. */
std::string narrowMode(const PrivateDirectory& prepared, const struct stat& status,
    std::optional<std::string>* repair)
{
    if ((status.st_mode & 07777) == kPrivateMode)
        return {};
    const std::string wrongMode = "has mode " + octalMode(status.st_mode) + " that cannot be made "
        + octalMode(kPrivateMode);
    // The descriptor opens nothing for writing (O_PATH): the mode is set through it by path.
    std::string error;
    const std::string self = pathThrough(prepared.directory, ".", &error);
    if (self.empty())
        return wrongMode + ": " + error;
    if (::chmod(self.c_str(), kPrivateMode) != 0)
        return wrongMode + ": " + std::strerror(errno);
    *repair = "mode " + octalMode(status.st_mode) + " made " + octalMode(kPrivateMode);
    return {};
}

} // namespace

PrivateDirectory preparePrivateDirectory(const std::string& parent, const std::string& name)
{
    PrivateDirectory result;
    const DirectoryDescriptor parentDirectory = trustedParent(parent, &result.refusal);
    if (!parentDirectory.valid())
        return result;
    OpenedDirectory opened = makeAndOpen(parentDirectory, name);
    if (!opened.refusal.empty())
    {
        result.refusal = std::move(opened.refusal);
        return result;
    }
    result.directory = std::move(opened.directory);
    result.refusal = ownerRefusal(opened.status);
    if (result.refusal.empty())
        result.refusal = narrowMode(result, opened.status, &result.repair);
    if (!result.refusal.empty())
        result.directory.reset();
    return result;
}

} // namespace nx::vms_server_plugins::analytics::sample
