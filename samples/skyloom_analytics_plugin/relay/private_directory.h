// The directory of a private local socket: it must keep every other user away from what the
// socket carries. preparePrivateDirectory makes it with mode 0700 when it is missing, takes an
// existing one only if it is a real directory (no symbolic link) owned by this process's user,
// and narrows a wider mode back to 0700. The checks and the repair are made on the opened
// directory, so that what was checked is what is changed. Pure function of the file system; any
// thread.
#pragma once

#include <optional>
#include <string>

namespace nx::vms_server_plugins::analytics::sample {

struct PrivateDirectory
{
    /** Why the directory cannot be used ("is a symbolic link", ...); empty when it can. */
    std::string refusal;
    /** What was put right (e.g. "mode 0755 made 0700"), if anything. */
    std::optional<std::string> repair;
};

[[nodiscard]] PrivateDirectory preparePrivateDirectory(const std::string& path);

} // namespace nx::vms_server_plugins::analytics::sample
