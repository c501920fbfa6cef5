// How skyloom-capture finds the private diagnostic copy of a server run from a directory: the
// one socket that a live engine listens on, not a file of another kind nor one that a server
// which has ended left behind; several live engines make the user choose; and what another
// local user may have planted there (a symbolic link for the directory or the socket, another
// user's directory or socket, a directory that others may write) is refused before anything
// connects, however live the socket behind it.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "copy_discovery.h"

namespace skyloom::capture {
namespace {

namespace fs = std::filesystem;

enum class Entry { live, stale, regularFile, otherSuffix };

/** A socket that listens at `path` while it lives; closed early, it leaves its file behind. */
class ListeningSocket
{
public:
    explicit ListeningSocket(const fs::path& path)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
            || ::listen(m_fd, 4) != 0)
        {
            ADD_FAILURE() << "cannot listen on " << path;
        }
    }
    ~ListeningSocket() { close(); }
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;

    void close()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
};

constexpr uid_t kNobody = 65534;

/** Puts right what the entries made: the server directory `work`, the copy's in it. */
using Arrange = void (*)(const fs::path& work, const fs::path& directory);

struct Case
{
    const char* name;
    std::vector<std::pair<const char*, Entry>> entries;
    const char* endpointFile; //< The socket found; null when the result is an error.
    const char* errorPart; //< A part of the error when there is one.
    bool refused = false; //< The error is a refusal: something is there, not to be trusted.
    Arrange arrange = nullptr;
    bool needsRoot = false; //< Makes files of another user.
};

/** Whether the endpoint leads to the very socket file at `path`. */
bool leadsTo(const std::string& endpoint, const fs::path& path)
{
    struct stat reached{};
    struct stat expected{};
    return endpoint.rfind("ipc://", 0) == 0 && ::stat(endpoint.c_str() + 6, &reached) == 0
        && ::lstat(path.c_str(), &expected) == 0 && reached.st_dev == expected.st_dev
        && reached.st_ino == expected.st_ino;
}

TEST(CopyDiscovery, FindsTheOneLiveSocketAndTellsWhyNotOtherwise)
{
    const Case cases[] = {
        {"one live copy", {{"a.ipc", Entry::live}}, "a.ipc", nullptr},
        {"a stale file beside a live copy", {{"a.ipc", Entry::stale}, {"b.ipc", Entry::live}},
            "b.ipc", nullptr},
        {"only a stale file", {{"a.ipc", Entry::stale}}, nullptr, "1 left behind"},
        {"no socket of the copy's kind",
            {{"a.ipc", Entry::regularFile}, {"b.sock", Entry::otherSuffix}}, nullptr,
            "no diagnostic copy in"},
        {"two live copies", {{"a.ipc", Entry::live}, {"b.ipc", Entry::live}}, nullptr,
            "choose one with --connect"},
        {"a server directory with the sticky bit", {{"a.ipc", Entry::live}}, "a.ipc", nullptr,
            false, [](const fs::path& work, const fs::path&) { ::chmod(work.c_str(), 01777); }},
        {"the directory a symbolic link to a live copy", {{"a.ipc", Entry::live}}, nullptr,
            "is a symbolic link (to ", true,
            [](const fs::path& work, const fs::path& directory)
            {
                fs::rename(directory, work / "elsewhere");
                fs::create_directory_symlink(work / "elsewhere", directory);
            }},
        {"the socket a symbolic link to a live one", {{"b.sock", Entry::otherSuffix}}, nullptr,
            "a.ipc: it is a symbolic link", true,
            [](const fs::path&, const fs::path& directory)
            { fs::create_symlink(directory / "b.sock", directory / "a.ipc"); }},
        {"the directory writable by every user", {{"a.ipc", Entry::live}}, nullptr,
            "it is writable by every user (mode 0777) without the sticky bit", true,
            [](const fs::path&, const fs::path& directory) { ::chmod(directory.c_str(), 0777); }},
        {"the server directory writable by every user", {{"a.ipc", Entry::live}}, nullptr,
            "copy_discovery is writable by every user (mode 0777)", true,
            [](const fs::path& work, const fs::path&) { ::chmod(work.c_str(), 0777); }},
        {"another user's directory", {{"a.ipc", Entry::live}}, nullptr,
            "skyloom_diagnostic_copy: it belongs to nobody, not to root", true,
            [](const fs::path&, const fs::path& directory)
            { (void) !::chown(directory.c_str(), kNobody, kNobody); },
            true},
        {"another user's socket", {{"a.ipc", Entry::live}}, nullptr,
            "a.ipc: it belongs to nobody", true,
            [](const fs::path&, const fs::path& directory)
            { (void) !::lchown((directory / "a.ipc").c_str(), kNobody, kNobody); },
            true},
    };
    const fs::path work = fs::current_path() / "copy_discovery";
    for (const Case& c: cases)
    {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0)
            continue; //< Only root makes files of another user.
        fs::remove_all(work);
        const fs::path directory = work / "skyloom_diagnostic_copy";
        fs::create_directories(directory);
        ::chmod(directory.c_str(), 0700);
        std::vector<std::unique_ptr<ListeningSocket>> sockets;
        for (const auto& [file, kind]: c.entries)
        {
            if (kind == Entry::regularFile)
            {
                std::ofstream(directory / file) << "not a socket";
                continue;
            }
            sockets.push_back(std::make_unique<ListeningSocket>(directory / file));
            if (kind == Entry::stale)
                sockets.back()->close();
        }
        if (c.arrange)
            c.arrange(work, directory);

        const DiscoveredCopy found = findDiagnosticCopy(work.string());

        EXPECT_EQ(c.refused, found.refused);
        if (c.endpointFile)
        {
            EXPECT_EQ("ipc://" + (directory / c.endpointFile).string(), found.shown);
            EXPECT_TRUE(leadsTo(found.endpoint, directory / c.endpointFile)) << found.endpoint;
            EXPECT_EQ("", found.error);
        }
        else
        {
            EXPECT_EQ("", found.endpoint);
            EXPECT_NE(std::string::npos, found.error.find(c.errorPart)) << found.error;
        }
    }
    fs::remove_all(work);
}

// The endpoint leads through the directory that was checked: moved away after the look and
// replaced with a link to another live socket, it is still the checked one that is reached.
TEST(CopyDiscovery, EndpointLeadsIntoTheCheckedDirectoryWhereverItIsMoved)
{
    const fs::path work = fs::current_path() / "copy_moved";
    fs::remove_all(work);
    const fs::path directory = work / "skyloom_diagnostic_copy";
    fs::create_directories(directory);
    fs::create_directories(work / "planted");
    ::chmod(directory.c_str(), 0700);
    const ListeningSocket checked(directory / "a.ipc");
    const ListeningSocket planted(work / "planted" / "a.ipc");

    const DiscoveredCopy found = findDiagnosticCopy(work.string());
    ASSERT_EQ("", found.error);
    fs::rename(directory, work / "moved");
    fs::create_directory_symlink(work / "planted", directory);

    EXPECT_TRUE(leadsTo(found.endpoint, work / "moved" / "a.ipc")) << found.endpoint;
    EXPECT_FALSE(leadsTo(found.endpoint, work / "planted" / "a.ipc")) << found.endpoint;
    fs::remove_all(work);
}

TEST(CopyDiscovery, MissingDirectoryIsAnError)
{
    const DiscoveredCopy found = findDiagnosticCopy("/nonexistent-server-directory");
    EXPECT_EQ("", found.endpoint);
    EXPECT_NE(std::string::npos, found.error.find("does not exist")) << found.error;
}

} // namespace
} // namespace skyloom::capture
