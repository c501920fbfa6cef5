// How skyloom-capture finds the private diagnostic copy of a server run from a directory: the
// one socket that a live engine listens on, not a file of another kind nor one that a server
// which has ended left behind; several live engines make the user choose.
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

struct Case
{
    const char* name;
    std::vector<std::pair<const char*, Entry>> entries;
    const char* endpointFile; //< The socket found; null when the result is an error.
    const char* errorPart; //< A part of the error when there is one.
};

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
    };
    const fs::path work = fs::current_path() / "copy_discovery";
    for (const Case& c: cases)
    {
        SCOPED_TRACE(c.name);
        fs::remove_all(work);
        const fs::path directory = work / "skyloom_diagnostic_copy";
        fs::create_directories(directory);
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

        const DiscoveredCopy found = findDiagnosticCopy(work.string());

        if (c.endpointFile)
        {
            EXPECT_EQ("ipc://" + (directory / c.endpointFile).string(), found.endpoint);
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

TEST(CopyDiscovery, MissingDirectoryIsAnError)
{
    const DiscoveredCopy found = findDiagnosticCopy("/nonexistent-server-directory");
    EXPECT_EQ("", found.endpoint);
    EXPECT_NE(std::string::npos, found.error.find("does not exist")) << found.error;
}

} // namespace
} // namespace skyloom::capture
