// Whom the receiver process runs as: the server's choice (its own system user, the fallback when
// that user is missing, the server's user when it cannot or need not start another) and the
// option that carries the choice to the receiver, which must read back exactly what was written
// and nothing that would leave the receiver's ids unchanged.
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "ingress/receiver_user.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using Users = std::map<std::string, UserIds>;

UserLookup lookUpIn(const Users& users)
{
    return [users](const char* name) -> std::optional<UserIds>
        {
            const auto found = users.find(name);
            if (found == users.end())
                return std::nullopt;
            return found->second;
        };
}

TEST(ReceiverUser, ChoiceByTheServersPrivilegesAndTheUsersThatExist)
{
    const UserIds own{998, 997};
    const UserIds nobody{65534, 65533};
    const struct
    {
        const char* what;
        ServerPrivileges server;
        Users users;
        std::optional<UserIds> ids;
        const char* warning; //< Part of it; empty: none.
    } rows[] = {
        {"a server of another user keeps it", {false, false}, {{kReceiverUserName, own}},
            std::nullopt, ""},
        {"root that cannot signal it keeps it root", {true, false}, {{kReceiverUserName, own}},
            std::nullopt, "(no CAP_KILL): the receiver runs as root, without capabilities"},
        {"root: its own user", {true, true}, {{kReceiverUserName, own}, {"nobody", nobody}},
            own, ""},
        {"root, its user missing: nobody's ids", {true, true}, {{"nobody", nobody}}, nobody,
            "no user skyloom-receiver: the receiver runs as nobody (65534:65533); add the user"
            " with 'adduser --system --group --no-create-home skyloom-receiver'"},
        {"root, nobody missing too: the overflow ids", {true, true}, {},
            UserIds{kOverflowId, kOverflowId}, "runs as nobody (65534:65534)"},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.what);
        const ReceiverUser user = chooseReceiverUser(row.server, lookUpIn(row.users));
        EXPECT_EQ(row.ids.has_value(), user.ids.has_value());
        if (row.ids && user.ids)
        {
            EXPECT_EQ(row.ids->uid, user.ids->uid);
            EXPECT_EQ(row.ids->gid, user.ids->gid);
        }
        if (*row.warning == '\0')
            EXPECT_EQ("", user.warning);
        else
            EXPECT_NE(std::string::npos, user.warning.find(row.warning)) << user.warning;
    }
}

TEST(ReceiverUser, SystemDatabaseLookUp)
{
    const std::optional<UserIds> root = lookUpUser("root");
    ASSERT_TRUE(root);
    EXPECT_EQ(0u, root->uid);
    EXPECT_EQ(0u, root->gid);
    EXPECT_FALSE(lookUpUser("skyloom-no-such-user"));
}

TEST(ReceiverUser, OptionReadsBackWhatWasWrittenAndNothingElse)
{
    for (const UserIds ids: {UserIds{0, 0}, UserIds{998, 997}, UserIds{4294967294u, 65534}})
    {
        const std::string option = userOption(ids);
        ASSERT_EQ(0u, option.rfind(kUserOption, 0)) << option;
        const std::optional<UserIds> read = parseUserIds(option.substr(std::strlen(kUserOption)));
        ASSERT_TRUE(read) << option;
        EXPECT_TRUE(*read == ids) << option;
    }
    const char* const malformed[] = {
        "", ":", "998", "998:", ":997", "998:997:1", " 998:997", "998:997 ", "+998:997",
        "-1:997", "998:-1",
        "4294967295:997", //< -1: "unchanged" to setresuid, which would leave the receiver root.
        "998:4294967295", "4294967296:997", "99a:997", "0x10:997",
    };
    for (const char* text: malformed)
        EXPECT_FALSE(parseUserIds(text)) << '"' << text << '"';
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
