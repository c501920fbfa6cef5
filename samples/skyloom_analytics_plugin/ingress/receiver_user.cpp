#include "receiver_user.h"

#include <linux/capability.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** The group and user database's answer fits; grown for an entry that does not. */
constexpr size_t kInitialEntryBytes = 1024;
constexpr size_t kMaxEntryBytes = 1024 * 1024;

bool holdsEffective(int capability)
{
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

/** "nobody (65534:65534)". */
std::string describe(const char* name, const UserIds& ids)
{
    return std::string(name) + " (" + std::to_string(ids.uid) + ":" + std::to_string(ids.gid)
        + ")";
}

static_assert(sizeof(uid_t) == sizeof(uint32_t) && sizeof(gid_t) == sizeof(uint32_t));

/** One id of "UID:GID"; none unless the whole text is a number below -1. */
template<class Id>
std::optional<Id> parseId(std::string_view text)
{
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()
        || value == static_cast<uint32_t>(-1))
    {
        return std::nullopt;
    }
    return static_cast<Id>(value);
}

} // namespace

ServerPrivileges serverPrivileges()
{
    return {geteuid() == 0, holdsEffective(CAP_KILL)};
}

std::optional<UserIds> lookUpUser(const char* name)
{
    std::vector<char> buffer(kInitialEntryBytes);
    for (;;)
    {
        passwd entry{};
        passwd* found = nullptr;
        const int rc = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < kMaxEntryBytes)
        {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !found)
            return std::nullopt;
        return UserIds{found->pw_uid, found->pw_gid};
    }
}

ReceiverUser chooseReceiverUser(const ServerPrivileges& privileges, const UserLookup& lookUp)
{
    if (!privileges.root)
        return {};
    if (!privileges.canSignalOtherUsers)
    {
        return {std::nullopt, "the server cannot signal a process of another user (no CAP_KILL):"
            " the receiver runs as root, without capabilities"};
    }
    if (const std::optional<UserIds> own = lookUp(kReceiverUserName))
        return {own, ""};
    const UserIds fallback =
        lookUp(kFallbackUserName).value_or(UserIds{kOverflowId, kOverflowId});
    return {fallback, std::string("no user ") + kReceiverUserName + ": the receiver runs as "
        + describe(kFallbackUserName, fallback) + "; add the user with 'adduser --system"
        " --group --no-create-home " + kReceiverUserName + "' (the package does)"};
}

std::string userOption(const UserIds& ids)
{
    return kUserOption + std::to_string(ids.uid) + ":" + std::to_string(ids.gid);
}

std::optional<UserIds> parseUserIds(std::string_view text)
{
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return std::nullopt;
    const std::optional<uid_t> uid = parseId<uid_t>(text.substr(0, colon));
    const std::optional<gid_t> gid = parseId<gid_t>(text.substr(colon + 1));
    if (!uid || !gid)
        return std::nullopt;
    return UserIds{*uid, *gid};
}

} // namespace nx::vms_server_plugins::analytics::sample
