#include "user_switch.h"

#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

std::optional<std::string> failure(const char* what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

/** Both failures, if any, in the order given. */
std::optional<std::string> both(
    const std::optional<std::string>& first, const std::optional<std::string>& second)
{
    if (first && second)
        return *first + "; " + *second;
    return first ? first : second;
}

/** Real, effective and saved ids, of the user and of the group. */
bool runsAs(const UserIds& ids)
{
    uid_t users[3] = {};
    gid_t groups[3] = {};
    if (getresuid(&users[0], &users[1], &users[2]) != 0
        || getresgid(&groups[0], &groups[1], &groups[2]) != 0)
    {
        return false;
    }
    for (int i = 0; i < 3; ++i)
    {
        if (users[i] != ids.uid || groups[i] != ids.gid)
            return false;
    }
    return true;
}

/** The group first: once the user is not root, the process may change no id. */
std::optional<std::string> switchIds(const UserIds& ids)
{
    if (setgroups(0, nullptr) != 0)
        return failure("setgroups", errno);
    if (setresgid(ids.gid, ids.gid, ids.gid) != 0)
        return failure("setresgid", errno);
    if (setresuid(ids.uid, ids.uid, ids.uid) != 0)
        return failure("setresuid", errno);
    if (!runsAs(ids))
        return std::string("the user and group did not change");
    // The kernel made it so for a change of user already, unless told to keep core dumps.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0)
        return failure("PR_SET_DUMPABLE", errno);
    return std::nullopt;
}

} // namespace

std::optional<std::string> dropBoundingSet()
{
    for (int capability = 0;; ++capability)
    {
        const int held = prctl(PR_CAPBSET_READ, capability, 0, 0, 0);
        if (held < 0)
            return std::nullopt; //< Past the kernel's last capability.
        if (held == 1 && prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0)
            return errno == EPERM ? std::nullopt : failure("PR_CAPBSET_DROP", errno);
    }
}

std::optional<std::string> leaveServerPlace(const std::optional<UserIds>& user)
{
    const std::optional<std::string> directory =
        chdir("/") == 0 ? std::nullopt : failure("chdir /", errno);
    if (!user)
        return directory;
    // While it is root: the bounding set needs CAP_SETPCAP, which the new user has not.
    const std::optional<std::string> bounding = dropBoundingSet();
    return both(both(directory, bounding), switchIds(*user));
}

} // namespace nx::vms_server_plugins::analytics::sample
