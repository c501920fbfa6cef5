// The engine's diagnostic copy through the loaded plugin library: by default a private local
// socket in <working directory>/skyloom_diagnostic_copy/ (mode 0700) that a watcher of the
// server's user reads and another user cannot even connect to; a directory that cannot be
// trusted is refused (also one whose parent another user may write), a wider mode narrowed; a
// rename race on the directory while the copy opens never puts the socket anywhere but in the
// directory that was checked; "LoopbackRelayEndpoint" moves the copy (e.g. to the
// old port 688) without touching the service port; and hostile watchers (many connections, one
// huge topic, a flood of topics) are cut off, on the private socket and on a TCP endpoint alike,
// what they cost the server measured.
//
// The tests share one engine and run in the order written. The other user is "nobody", in a
// child forked from this process with only system calls after the fork (the parent has threads).
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;

const int kServicePort = testhost::testPort(0);
/** "LoopbackRelayEndpoint" of the hostile watchers' TCP round. */
const std::string kTcpCopyEndpoint = "tcp://127.0.0.1:" + testhost::testPortText(1);
constexpr char kEngineId[] = "{9a9a9a9a-0000-4000-8000-000000000009}";
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;
constexpr char kUnavailable[] = "Loopback relay unavailable";

/** What a crowd of watchers, a huge topic or a flood of topics may leave the server holding. */
constexpr int64_t kAllowedGrowthKiB = 8 * 1024;

std::string copyDirectory()
{
    return fs::current_path().string() + "/skyloom_diagnostic_copy";
}

std::string copyPath()
{
    return copyDirectory() + "/9a9a9a9a.ipc";
}

sockaddr_un unixAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    return address;
}

/**
 * A watcher written by hand: ZMTP 3.0 as a SUB over a local socket ("ipc://PATH") or TCP
 * ("tcp://IPv4:PORT"), for what libzmq would not send (a topic of 16 MiB, thousands of topics as
 * fast as the socket takes them). Use from one thread; failures read as false.
 */
class RawWatcher
{
public:
    explicit RawWatcher(const std::string& endpoint)
    {
        sockaddr_storage address{};
        socklen_t size = 0;
        if (endpoint.rfind("ipc://", 0) == 0)
        {
            const sockaddr_un local = unixAddress(endpoint.substr(6));
            std::memcpy(&address, &local, sizeof(local));
            size = sizeof(local);
        }
        else if (const size_t colon = endpoint.rfind(':'); endpoint.rfind("tcp://", 0) == 0)
        {
            sockaddr_in remote{};
            remote.sin_family = AF_INET;
            remote.sin_port = htons(static_cast<uint16_t>(std::stoi(endpoint.substr(colon + 1))));
            if (::inet_pton(AF_INET, endpoint.substr(6, colon - 6).c_str(), &remote.sin_addr) == 1)
                size = sizeof(remote);
            std::memcpy(&address, &remote, sizeof(remote));
        }
        if (size == 0)
            return;
        m_fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (m_fd >= 0 && ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), size) != 0)
            ::close(std::exchange(m_fd, -1));
    }

    ~RawWatcher()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    RawWatcher(const RawWatcher&) = delete;
    RawWatcher& operator=(const RawWatcher&) = delete;

    /** The greeting (NULL mechanism) and READY as a SUB, and the server's answer to them. */
    bool handshake()
    {
        return sendHandshake() && readExactly(64 + 2) && readExactly(m_last[65]);
    }

    /** The greeting and READY, without waiting for the server. */
    bool sendHandshake()
    {
        std::string greeting(64, '\0');
        greeting[0] = '\xff';
        greeting[9] = '\x7f';
        greeting[10] = 3;
        greeting.replace(12, 4, "NULL");
        const std::string body = std::string("\x05READY\x0bSocket-Type", 18)
            + std::string("\0\0\0\x03SUB", 7);
        return write(greeting + '\x04' + static_cast<char>(body.size()) + body);
    }

    /**
     * `count` distinct topics of about `size` bytes, in writes of many at a time; false once
     * the server cuts the connection.
     */
    bool subscribe(int count, size_t size)
    {
        std::string batch;
        for (int i = 0; i < count; ++i)
        {
            // The number first: topics that part at once cost a publisher the most.
            const std::string number = std::to_string(i);
            batch += frameHeader(size + 1) + '\x01' + number
                + std::string(size - number.size(), 't');
            if (batch.size() >= 64 * 1024 && !write(std::exchange(batch, {})))
                return false;
        }
        return write(batch);
    }

    /** A subscription that announces `size` bytes; sends its body until the server cuts. */
    int64_t subscribeHuge(uint64_t size)
    {
        if (!write(frameHeader(size) + '\x01'))
            return 0;
        const std::string chunk(1024 * 1024, 'h');
        int64_t sent = 0;
        while (static_cast<uint64_t>(sent) + chunk.size() < size && write(chunk))
            sent += static_cast<int64_t>(chunk.size());
        return sent;
    }

    /** Whether the server closed the connection within the timeout. */
    /** Whether the server has hung up, looking once, without waiting. */
    bool closedNow()
    {
        char buffer[4096];
        for (;;)
        {
            const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return true;
            if (got < 0)
                return false;
        }
    }

    bool closedWithin(milliseconds timeout)
    {
        const auto deadline = steady_clock::now() + timeout;
        char buffer[4096];
        while (steady_clock::now() < deadline)
        {
            pollfd item{m_fd, POLLIN, 0};
            if (::poll(&item, 1, 50) <= 0)
                continue;
            const ssize_t got = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return true;
        }
        return false;
    }

    bool connected() const { return m_fd >= 0; }

private:
    static std::string frameHeader(uint64_t size)
    {
        if (size <= 255)
            return std::string(1, '\0') + static_cast<char>(size);
        std::string header(1, '\x02');
        for (int shift = 56; shift >= 0; shift -= 8)
            header += static_cast<char>((size >> shift) & 0xff);
        return header;
    }

    /** Reads `size` bytes into m_last within two seconds. */
    bool readExactly(size_t size)
    {
        m_last.clear();
        char buffer[256];
        while (m_last.size() < size)
        {
            pollfd item{m_fd, POLLIN, 0};
            if (::poll(&item, 1, 2000) <= 0)
                return false;
            const ssize_t got =
                ::recv(m_fd, buffer, std::min(sizeof(buffer), size - m_last.size()), 0);
            if (got <= 0)
                return false;
            m_last.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }

    bool write(const std::string& bytes)
    {
        size_t done = 0;
        while (done < bytes.size())
        {
            pollfd item{m_fd, POLLOUT, 0};
            if (::poll(&item, 1, 2000) <= 0)
                return false;
            const ssize_t wrote =
                ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (wrote <= 0)
                return false;
            done += static_cast<size_t>(wrote);
        }
        return true;
    }

    int m_fd = -1;
    std::string m_last;
};

/**
 * What user "nobody" gets from the socket at `path`: 0 when it could connect and read nothing in
 * a second, the byte count when it read something, or minus the errno of the connect.
 */
int nobodyConnects(const std::string& path)
{
    int report[2];
    if (::pipe(report) != 0)
        return -1000;
    const sockaddr_un address = unixAddress(path);
    const pid_t child = ::fork();
    if (child == 0)
    {
        ::close(report[0]);
        int result = 0;
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0)
        {
            result = -2000;
        }
        else
        {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            {
                result = -errno;
            }
            else
            {
                pollfd item{fd, POLLIN, 0};
                char buffer[256];
                if (::poll(&item, 1, 1000) > 0)
                    result = static_cast<int>(::read(fd, buffer, sizeof(buffer)));
            }
        }
        (void) !::write(report[1], &result, sizeof(result));
        ::_exit(0);
    }
    ::close(report[1]);
    int result = -3000;
    if (child < 0 || ::read(report[0], &result, sizeof(result)) != sizeof(result))
        result = -3000;
    ::close(report[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return result;
}

/** Makes the peak resident size the current one (the kernel's "VmHWM"). */
void resetPeakResident()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}

int64_t peakResidentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stoll(line.substr(6));
    }
    return -1;
}

/** The resident size once it is at most `bound`, or as it is at the timeout. */
int64_t residentWithin(int64_t boundKiB, milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    int64_t resident = residentKiB();
    while (resident > boundKiB && steady_clock::now() < deadline)
    {
        std::this_thread::sleep_for(100ms);
        resident = residentKiB();
    }
    return resident;
}

void reportGrowth(const std::string& what, int64_t beforeKiB, int64_t afterKiB)
{
    std::cout << "[ MEASURED ] " << what << ": resident " << beforeKiB << " KiB before, "
        << afterKiB << " KiB after (" << (afterKiB - beforeKiB) << " KiB)" << std::endl;
    ::testing::Test::RecordProperty(what, std::to_string(afterKiB - beforeKiB));
}

/** Swaps two names at once (renameat2's RENAME_EXCHANGE): each is always there. */
void exchange(const fs::path& first, const fs::path& second)
{
    (void) ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
}

bool isSocket(const fs::path& path)
{
    struct stat status{};
    return ::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
}

bool holdsASocket(const fs::path& directory)
{
    std::error_code error;
    for (const auto& entry: fs::directory_iterator(directory, error))
    {
        if (isSocket(entry.path()))
            return true;
    }
    return false;
}

/** Puts a directory's owner and mode back as they were when made, and when destroyed. */
class OwnerAndModeKept
{
public:
    explicit OwnerAndModeKept(std::string path): m_path(std::move(path))
    {
        EXPECT_EQ(0, ::stat(m_path.c_str(), &m_status));
    }
    ~OwnerAndModeKept() { restore(); }
    OwnerAndModeKept(const OwnerAndModeKept&) = delete;
    OwnerAndModeKept& operator=(const OwnerAndModeKept&) = delete;

    void restore() const
    {
        (void) !::chown(m_path.c_str(), m_status.st_uid, m_status.st_gid);
        ::chmod(m_path.c_str(), m_status.st_mode & 07777);
    }

private:
    const std::string m_path;
    struct stat m_status{};
};

/**
 * Swaps a directory with each of the others in turn, again and again, on a thread of its own,
 * as another user who may rename entries beside it would. The swaps come in pairs; pause()
 * holds them off between pairs, when every name is back in its place.
 */
class DirectorySwapper
{
public:
    DirectorySwapper(fs::path directory, std::vector<fs::path> others):
        m_directory(std::move(directory)), m_others(std::move(others))
    {
        m_thread = std::thread([this]() { run(); });
    }

    ~DirectorySwapper()
    {
        m_stop = true;
        m_thread.join();
    }

    DirectorySwapper(const DirectorySwapper&) = delete;
    DirectorySwapper& operator=(const DirectorySwapper&) = delete;

    [[nodiscard]] std::unique_lock<std::mutex> pause() { return std::unique_lock(m_pairs); }

private:
    void run()
    {
        for (size_t round = 0; !m_stop; ++round)
        {
            {
                const std::lock_guard<std::mutex> lock(m_pairs);
                const fs::path& other = m_others[round % m_others.size()];
                exchange(m_directory, other);
                std::this_thread::yield();
                exchange(m_directory, other);
            }
            std::this_thread::yield();
        }
    }

    const fs::path m_directory;
    const std::vector<fs::path> m_others;
    std::mutex m_pairs;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

/** How a start of the private copy ended, as its log line says. */
enum class CopyStart { unknown, opened, refused, bindFailed };

class DiagnosticCopyTest: public SharedEngineSuite<DiagnosticCopyTest>
{
protected:
    static void SetUpTestSuite()
    {
        fs::remove_all(copyDirectory());
        startSharedEngine(kServicePort, kEngineId);
    }

    /** New copy settings (the service port as it was); waits for the line that they lead to. */
    static bool applyCopySettings(const std::string& relay, const std::string& endpoint,
        const std::string& expectedLine)
    {
        testhost::LogFile log;
        log.mark();
        (void) testhost::doSetSettings(s_engine.engine.get(), testhost::Settings{
            {"ServicePort", std::to_string(kServicePort)}, {"LoopbackRelay", relay},
            {"LoopbackRelayEndpoint", endpoint}});
        return log.waitForLine(s_engine.printPrefix + "threadFuncZeromqLoop " + expectedLine,
            kDeliveryTimeout);
    }

    /** Asks for the private copy (closed now) and waits for how its start ends. */
    static CopyStart startCopy()
    {
        testhost::LogFile log;
        log.mark();
        (void) testhost::doSetSettings(s_engine.engine.get(), testhost::Settings{
            {"ServicePort", std::to_string(kServicePort)}, {"LoopbackRelay", "true"},
            {"LoopbackRelayEndpoint", ""}});
        const std::string relay = s_engine.printPrefix + "threadFuncZeromqLoop ";
        const std::pair<std::string, CopyStart> endings[] = {
            {relay + "loopback relay ipc://" + copyPath() + " open", CopyStart::opened},
            {relay + "loopback relay directory " + copyDirectory() + " refused: ",
                CopyStart::refused},
            {relay + "bind ipc://" + copyPath() + " failed", CopyStart::bindFailed},
        };
        CopyStart start = CopyStart::unknown;
        (void) waitUntil([&]()
            {
                for (const auto& [line, ending]: endings)
                {
                    if (log.countLinesContaining(line) > 0)
                        start = ending;
                }
                return start != CopyStart::unknown;
            });
        return start;
    }

    /**
     * Many watchers at once, one huge topic, a flood of topics at the copy's `endpoint`: each
     * cut off, the server left holding little (measured as `name`'s), an honest watcher served
     * again.
     */
    static void hostileWatchersAreCutOff(const std::string& name, const std::string& endpoint)
    {
        const int64_t before = residentKiB();

        // Many watchers at once: those beyond the bound are hung up.
        std::vector<std::unique_ptr<RawWatcher>> crowd;
        for (int i = 0; i < 40; ++i)
        {
            crowd.push_back(std::make_unique<RawWatcher>(endpoint));
            (void) crowd.back()->sendHandshake(); //< Fails where the server has already hung up.
        }
        // The server hangs up on each one beyond the bound as it connects: once 32 are gone, the
        // other eight are the ones it serves.
        std::vector<bool> closed(crowd.size(), false);
        int hungUp = 0;
        (void) waitUntil([&]()
            {
                for (size_t i = 0; i < crowd.size(); ++i)
                {
                    if (!closed[i] && crowd[i]->closedNow())
                    {
                        closed[i] = true;
                        ++hungUp;
                    }
                }
                return hungUp >= 40 - 8;
            }, 5s);
        EXPECT_EQ(40 - 8, hungUp);
        crowd.clear();
        std::this_thread::sleep_for(300ms); //< The server sees them gone.

        // One topic of 16 MiB, and more watchers than the bound: the server keeps little of
        // either.
        RawWatcher huge(endpoint);
        ASSERT_TRUE(huge.handshake());
        const int64_t hugeSent = huge.subscribeHuge(16 * 1024 * 1024);
        EXPECT_TRUE(huge.closedWithin(5s));
        EXPECT_LT(hugeSent, 4 * 1024 * 1024) << "the server read on";

        // Whatever the server still does with them, it ends within moments.
        const int64_t afterBounded = residentWithin(before + kAllowedGrowthKiB, 10s);
        reportGrowth(name + ": server growth from 40 watchers and a 16 MiB topic", before,
            afterBounded);
        EXPECT_LT(afterBounded - before, kAllowedGrowthKiB);

        // Thousands of distinct topics (2.4 MiB), each within the size bound. The socket takes
        // them in ahead of the relay's reading, so how far a flood gets varies from run to run
        // (its peak is reported); what it leaves the server holding once cut off is bounded.
        resetPeakResident();
        RawWatcher flooder(endpoint);
        ASSERT_TRUE(flooder.connected());
        ASSERT_TRUE(flooder.handshake());
        (void) flooder.subscribe(40000, 60); //< Fails once the server hangs up.
        EXPECT_TRUE(flooder.closedWithin(5s)) << "the watcher was not cut off";
        reportGrowth(name + ": server's peak during 40000 topics of 60 bytes", before,
            peakResidentKiB());
        // The connections end and the heap is trimmed.
        const int64_t settled = residentWithin(before + kAllowedGrowthKiB, 10s);
        reportGrowth(name + ": server growth from 40000 topics of 60 bytes as well", before,
            settled);
        EXPECT_LT(settled - before, kAllowedGrowthKiB);

        // An honest watcher is served again once the hostile ones are gone.
        testhost::LoopbackSubscriber watcher(endpoint);
        EXPECT_TRUE(reaches(watcher));
    }

    /** Sends to the service port until the watcher receives it. */
    static bool reaches(testhost::LoopbackSubscriber& watcher)
    {
        const std::string probe = alarmMessage(cameraId(1), "Probe");
        testhost::AiEnginePublisher publisher(kServicePort);
        return publisher.sendUntil(probe,
            [&]() { return watcher.receive(100ms) == std::optional<std::string>(probe); },
            kDeliveryTimeout);
    }
};

TEST_F(DiagnosticCopyTest, PrivateCopyReachesTheServersUserOnly)
{
    struct stat directory{};
    ASSERT_EQ(0, ::lstat(copyDirectory().c_str(), &directory));
    EXPECT_TRUE(S_ISDIR(directory.st_mode));
    EXPECT_EQ(0700U, directory.st_mode & 07777);
    EXPECT_EQ(::geteuid(), directory.st_uid);
    struct stat socketFile{};
    ASSERT_EQ(0, ::stat(copyPath().c_str(), &socketFile));
    EXPECT_TRUE(S_ISSOCK(socketFile.st_mode));

    // Where it is: in the log, and beside the service port in the "listening" event.
    const testhost::LogFile log;
    EXPECT_EQ(1, log.countLinesContaining(s_engine.printPrefix
        + "threadFuncZeromqLoop loopback relay ipc://" + copyPath() + " open"));
    EXPECT_TRUE(hasEvent(s_engine.handler->events(), IPluginDiagnosticEvent::Level::info,
        "Listening for the AI engine", "; diagnostic copy on ipc://" + copyPath()));
    EXPECT_EQ(0, countEvents(*s_engine.handler, kUnavailable));

    testhost::LoopbackSubscriber watcher("ipc://" + copyPath());
    EXPECT_TRUE(reaches(watcher));

    if (::geteuid() != 0)
        GTEST_SKIP() << "another user's connection needs root to become that user";
    EXPECT_EQ(-EACCES, nobodyConnects(copyPath()));
}

TEST_F(DiagnosticCopyTest, UntrustedDirectoryIsRefusedAndAWiderModeNarrowed)
{
    const std::string directory = copyDirectory();
    const std::string elsewhere = fs::current_path().string() + "/elsewhere";
    const std::string parent = fs::current_path().string();
    fs::create_directories(elsewhere);
    const OwnerAndModeKept parentKept(parent);
    const struct
    {
        const char* name;
        std::function<void()> arrange;
        const char* refusal; //< Empty: the copy opens.
        bool needsRoot = false; //< Gives a directory to another user.
        bool narrowed = false; //< The copy opens once its directory's mode is made 0700.
    } cases[] = {
        {"mode 0755", [&]() { fs::create_directory(directory); ::chmod(directory.c_str(), 0755); },
            "", false, true},
        {"symbolic link", [&]() { fs::create_directory_symlink(elsewhere, directory); },
            "is a symbolic link"},
        {"another user's",
            [&]()
            {
                fs::create_directory(directory);
                (void) !::chown(directory.c_str(), kNobody, kNoGroup);
            },
            "belongs to user 65534, not to the server's user 0", true},
        // Another user who may rename entries of the working directory could move the copy's
        // directory away and put one of theirs in its place.
        {"parent writable by every user",
            [&]()
            {
                fs::create_directory(directory);
                ::chmod(parent.c_str(), 0777);
            },
            "its parent directory is writable by every user (mode 0777) without the sticky bit: "
            "another user could put a directory of theirs in its place"},
        {"parent writable by every user, with the sticky bit",
            [&]() { ::chmod(parent.c_str(), 01777); }, ""},
        {"parent of another user",
            [&]() { (void) !::chown(parent.c_str(), kNobody, kNoGroup); },
            "its parent directory belongs to user 65534: another user could put a directory of "
            "theirs in its place", true},
    };
    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0)
            continue;
        ASSERT_TRUE(applyCopySettings("false", "", "loopback relay ipc://" + copyPath()
            + " closed"));
        fs::remove_all(directory);
        c.arrange();
        s_engine.handler->clear();
        testhost::LogFile log;
        log.mark();
        const std::string opened = "loopback relay ipc://" + copyPath() + " open";
        if (std::string(c.refusal).empty())
        {
            ASSERT_TRUE(applyCopySettings("true", "", opened));
            parentKept.restore();
            struct stat status{};
            ASSERT_EQ(0, ::lstat(directory.c_str(), &status));
            EXPECT_EQ(0700U, status.st_mode & 07777);
            EXPECT_EQ(c.narrowed ? 1 : 0, log.countLinesContaining(s_engine.printPrefix
                + "threadFuncZeromqLoop loopback relay directory " + directory
                + ": mode 0755 made 0700"));
            continue;
        }
        ASSERT_TRUE(applyCopySettings("true", "", "loopback relay directory " + directory
            + " refused: " + c.refusal + " (warning: no loopback copy for outside watchers; "
            "the cameras still receive)"));
        EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
            kUnavailable, directory + ": " + c.refusal, kDeliveryTimeout, Match::whole));
        EXPECT_TRUE(fs::is_empty(elsewhere)) << "the socket went where the link points";
        // Tried again with the next settings, once the directory is sound: the copy is back.
        parentKept.restore();
        fs::remove(directory);
        ASSERT_TRUE(applyCopySettings("true", "", opened));
    }
    fs::remove_all(elsewhere);
}

// Another user who may rename entries of the working directory swaps the copy's directory, again
// and again, with a symbolic link to a directory of the server's user, or with such a directory,
// while the copy opens. Each time the socket is in the directory that was checked, wherever that
// is by then, never where the link leads; without the checked directory's descriptor it went
// there in 5 of 20 starts.
TEST_F(DiagnosticCopyTest, RenameRaceNeverPutsTheSocketOutsideTheCheckedDirectory)
{
    const fs::path directory = copyDirectory();
    const fs::path work = fs::current_path() / "rename_race";
    const fs::path linkTarget = work / "link_target";
    const fs::path plantedLink = work / "planted_link";
    const fs::path decoy = work / "decoy";
    const std::string name = fs::path(copyPath()).filename().string();
    fs::remove_all(work);
    fs::create_directories(linkTarget);
    fs::create_directory(decoy);
    for (const fs::path& own: {linkTarget, decoy})
        fs::permissions(own, fs::perms::owner_all);
    fs::create_directory_symlink(linkTarget, plantedLink);
    ASSERT_TRUE(applyCopySettings("false", "", "loopback relay ipc://" + copyPath()
        + " closed"));

    int opened = 0;
    int refused = 0;
    {
        DirectorySwapper swapper(directory, {plantedLink, decoy});
        for (int i = 0; i < 100 && !HasFailure(); ++i)
        {
            SCOPED_TRACE("start " + std::to_string(i + 1));
            const CopyStart start = startCopy();
            ASSERT_NE(CopyStart::unknown, start);
            const auto paused = swapper.pause();
            EXPECT_FALSE(holdsASocket(linkTarget)) << "the socket went where the link leads";
            if (start != CopyStart::opened)
            {
                ++refused;
                continue;
            }
            ++opened;
            EXPECT_TRUE(isSocket(directory / name) || isSocket(decoy / name));
            ASSERT_TRUE(applyCopySettings("false", "", "loopback relay ipc://" + copyPath()
                + " closed"));
            EXPECT_FALSE(holdsASocket(directory) || holdsASocket(decoy)) << "left behind";
        }
    }
    std::cout << "[ MEASURED ] " << opened << " starts opened the copy, " << refused
        << " were refused or failed" << std::endl;

    fs::remove_all(work);
    ASSERT_TRUE(applyCopySettings("true", "", "loopback relay ipc://" + copyPath() + " open"));
}

// "LoopbackRelayEndpoint" moves the copy alone: the service port is not opened again, and the
// old watchers' port 688 carries the copy as before.
TEST_F(DiagnosticCopyTest, NamedEndpointMovesOnlyTheCopy)
{
    testhost::holdFixedPorts({688});
    s_engine.handler->clear();
    testhost::LogFile log;
    log.mark();
    ASSERT_TRUE(applyCopySettings("true", "tcp://127.0.0.1:688",
        "loopback relay tcp://127.0.0.1:688 open"));
    EXPECT_EQ(1, log.countLinesContaining(s_engine.printPrefix
        + "threadFuncZeromqLoop loopback relay ipc://" + copyPath() + " closed"));
    EXPECT_EQ(0, log.countLinesContaining(s_engine.printPrefix
        + "threadFuncZeromqLoop bind " + serviceEndpoint(kServicePort)));
    testhost::LoopbackSubscriber oldPort;
    EXPECT_TRUE(reaches(oldPort));

    ASSERT_TRUE(applyCopySettings("true", "", "loopback relay ipc://" + copyPath() + " open"));
    testhost::LoopbackSubscriber privateOne("ipc://" + copyPath());
    EXPECT_TRUE(reaches(privateOne));
    EXPECT_EQ(0, countEvents(*s_engine.handler, kUnavailable));
}

// Without these bounds a local watcher that subscribed to 19.7 MiB of 1 KiB topics grew the
// server by 632 MiB, one 16 MiB topic by 1.5 GB; the plain publisher at the end shows the cost of
// topics without them. The bounds hold whatever the endpoint: a local socket's watchers are cut
// off by making the socket afresh, a TCP endpoint's by hanging up their connections.
TEST_F(DiagnosticCopyTest, HostileWatchersAreCutOffAndWhatTheyCostIsMeasured)
{
    if (builtWithAddressSanitizer() || builtWithThreadSanitizer())
        GTEST_SKIP() << "resident memory means little under a sanitizer";
    const struct
    {
        const char* name;
        std::string endpoint; //< "LoopbackRelayEndpoint"
        std::string watched;
    } rounds[] = {
        {"TCP", kTcpCopyEndpoint, kTcpCopyEndpoint},
        {"private local socket", "", "ipc://" + copyPath()}, //< Also where the next test wants it.
    };
    testhost::LogFile log;
    log.mark();
    for (const auto& round: rounds)
    {
        SCOPED_TRACE(round.name);
        ASSERT_TRUE(applyCopySettings("true", round.endpoint,
            "loopback relay " + round.watched + " open"));
        hostileWatchersAreCutOff(round.name, round.watched);
    }
    // Logged; the line is held to the log's rate, which the first round's flood may use up.
    EXPECT_LE(1, log.countLinesContaining(s_engine.printPrefix
        + "threadFuncZeromqLoop loopback relay watchers cut off, too many topics: "));

    // For comparison, a plain publisher as the copy was (measured last: the memory that it
    // frees would otherwise make the copy's growth look smaller).
    const std::string plainEndpoint = "ipc://" + fs::current_path().string() + "/plain.ipc";
    void* const context = zmq_ctx_new();
    void* const plain = zmq_socket(context, ZMQ_PUB);
    const int linger = 0;
    zmq_setsockopt(plain, ZMQ_LINGER, &linger, sizeof(linger));
    ASSERT_EQ(0, zmq_bind(plain, plainEndpoint.c_str()));
    const int64_t plainBefore = residentKiB();
    {
        // A publisher takes in subscriptions whenever its thread asks it for its state.
        std::atomic<bool> stop{false};
        std::thread pump([&]()
            {
                while (!stop)
                {
                    int events = 0;
                    size_t size = sizeof(events);
                    zmq_getsockopt(plain, ZMQ_EVENTS, &events, &size);
                    std::this_thread::sleep_for(1ms);
                }
            });
        RawWatcher unbounded(plainEndpoint);
        EXPECT_TRUE(unbounded.handshake());
        EXPECT_TRUE(unbounded.subscribe(2000, 120)) << "a plain publisher takes every topic";
        std::this_thread::sleep_for(1s);
        stop = true;
        pump.join();
        reportGrowth("plain publisher's growth from 2000 topics of 120 bytes (240 KB)",
            plainBefore, residentKiB());
    }
    zmq_close(plain);
    zmq_ctx_term(context);
}

/** The inode of the file at `path`; 0 if there is none. */
ino_t inodeOf(const std::string& path)
{
    struct stat status{};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}

// Regression: a second server in the same working directory bound the same name, which ZeroMQ
// takes over by removing the file first, so that every watcher that connected from then on
// reached the second server instead of the first.
TEST_F(DiagnosticCopyTest, LiveCopyOfAnotherServerIsNeverTakenOver)
{
    const std::string taken = copyDirectory() + "/9a9a9a9a-2.ipc";
    ASSERT_TRUE(applyCopySettings("false", "", "loopback relay ipc://" + copyPath() + " closed"));
    // The other server's copy: live on the engine's own name.
    void* const context = zmq_ctx_new();
    void* const other = zmq_socket(context, ZMQ_XPUB);
    const int linger = 0;
    zmq_setsockopt(other, ZMQ_LINGER, &linger, sizeof(linger));
    ASSERT_EQ(0, zmq_bind(other, ("ipc://" + copyPath()).c_str()));
    const ino_t othersFile = inodeOf(copyPath());

    testhost::LogFile log;
    log.mark();
    ASSERT_TRUE(applyCopySettings("true", "", "loopback relay ipc://" + taken + " open"));
    EXPECT_EQ(1, log.countLinesContaining(s_engine.printPrefix + "threadFuncZeromqLoop loopback"
        " relay " + copyPath() + " is in use (by another engine or server in this working"
        " directory): the copy takes 9a9a9a9a-2.ipc"));
    EXPECT_EQ(othersFile, inodeOf(copyPath())) << "the other server's socket was replaced";
    RawWatcher toOther("ipc://" + copyPath());
    EXPECT_TRUE(toOther.connected());
    testhost::LoopbackSubscriber watcher("ipc://" + taken);
    EXPECT_TRUE(reaches(watcher));
    zmq_close(other);
    zmq_ctx_term(context);

    // A file that nobody listens on (a server that crashed) is the engine's to take again.
    const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr_un address = unixAddress(copyPath());
    (void) ::unlink(copyPath().c_str());
    ASSERT_EQ(0, ::bind(stale, reinterpret_cast<const sockaddr*>(&address), sizeof(address)));
    ::close(stale);
    ASSERT_TRUE(applyCopySettings("false", "", "loopback relay ipc://" + taken + " closed"));
    EXPECT_FALSE(fs::exists(taken));
    ASSERT_TRUE(applyCopySettings("true", "", "loopback relay ipc://" + copyPath() + " open"));
    testhost::LoopbackSubscriber again("ipc://" + copyPath());
    EXPECT_TRUE(reaches(again));
    EXPECT_EQ(0, countEvents(*s_engine.handler, kUnavailable));
}

TEST_F(DiagnosticCopyTest, ReleasedEngineRemovesItsSocket)
{
    s_engine = {};
    // A file left behind would look like a running copy to skyloom-capture.
    EXPECT_FALSE(fs::exists(copyPath()));
    EXPECT_TRUE(fs::exists(copyDirectory()));
}

} // namespace
} // namespace skyloom::hardening
