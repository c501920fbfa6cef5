// Who the receiver process runs as. A server run as root starts it as a system user of its own,
// kReceiverUserName (the package makes it): a user that owns no file and runs nothing else, so
// that the receiver, stripped of root, can reach nothing of the server's and nothing of anyone
// else's. Where that user does not exist, the receiver runs as "nobody" (the kernel's overflow
// ids, 65534, where even that name is missing): it owns nothing either, but shares its user with
// whatever else runs as nobody, which may then signal the receiver (never trace it or read its
// memory: it is not dumpable). A server of root that cannot signal a process of another user (no
// CAP_KILL) could not stop such a receiver: it starts it as root, and the receiver drops every
// capability. A server of any other user starts the receiver as itself (it could not start it as
// anyone else).
//
// The server chooses (chooseReceiverUser) and names the ids on the receiver's command line
// (userOption); the receiver switches to them before anything else (receiver/user_switch.h).
//
// Threads: plain functions; any thread.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample {

inline constexpr const char* kReceiverUserName = "skyloom-receiver";
inline constexpr const char* kFallbackUserName = "nobody";
/** The kernel's overflow user and group: nobody's and nogroup's where those names are missing. */
inline constexpr uid_t kOverflowId = 65534;

struct UserIds
{
    uid_t uid = 0;
    gid_t gid = 0;

    bool operator==(const UserIds& other) const { return uid == other.uid && gid == other.gid; }
};

/** What the server process may do, as far as the receiver's user goes. */
struct ServerPrivileges
{
    bool root = false; //< Effective user id 0.
    bool canSignalOtherUsers = false; //< CAP_KILL in effect.
};

[[nodiscard]] ServerPrivileges serverPrivileges();

/** A user's ids by name; none if there is no such user. */
using UserLookup = std::function<std::optional<UserIds>(const char* name)>;

/** Through the system's user database (getpwnam_r). */
[[nodiscard]] std::optional<UserIds> lookUpUser(const char* name);

struct ReceiverUser
{
    /** None: the server's own user. */
    std::optional<UserIds> ids;
    /** Why a server of root runs the receiver as another user than kReceiverUserName. */
    std::string warning;
};

[[nodiscard]] ReceiverUser chooseReceiverUser(
    const ServerPrivileges& privileges, const UserLookup& lookUp = &lookUpUser);

/** The receiver's option that names the ids to run as: kUserOption, then "UID:GID". */
inline constexpr char kUserOption[] = "--user=";

[[nodiscard]] std::string userOption(const UserIds& ids);

/**
 * The ids of "UID:GID" (what follows kUserOption); none if that is malformed, or names -1, which
 * the system calls read as "unchanged".
 */
[[nodiscard]] std::optional<UserIds> parseUserIds(std::string_view text);

} // namespace nx::vms_server_plugins::analytics::sample
