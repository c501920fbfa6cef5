// The directory of a private local socket: it must keep every other user away from what the
// socket carries, and no other user may lead the socket anywhere else. preparePrivateDirectory
// refuses a parent in which another user may rename entries, makes the directory with mode 0700
// when it is missing, opens it once (a symbolic link is refused, not followed), takes it only if
// it is owned by this process's user, and narrows a wider mode back to 0700. The checks, the
// repair and then the socket's bind (through pathThrough(), see common/checked_directory.h) all
// go through the opened descriptor, so that what was checked is what is used. Pure function of
// the file system; any thread.
#pragma once

#include <optional>
#include <string>

#include "common/checked_directory.h"

namespace nx::vms_server_plugins::analytics::sample {

struct PrivateDirectory
{
    /** The directory, open while it can be used; the caller owns it from here on. */
    DirectoryDescriptor directory;
    /** Why the directory cannot be used ("is a symbolic link", ...); empty when it can. */
    std::string refusal;
    /** What was put right (e.g. "mode 0755 made 0700"), if anything. */
    std::optional<std::string> repair;
};

/**
 * `name` in the directory `parent` ("." for the working directory, taken as it is whatever the
 * path to it has become).
 */
[[nodiscard]] PrivateDirectory preparePrivateDirectory(
    const std::string& parent, const std::string& name);

} // namespace nx::vms_server_plugins::analytics::sample
