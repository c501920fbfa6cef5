#include <skyloom/testhost/test_ports.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace skyloom::testhost {

namespace {

// Below 32768, where Linux's ephemeral range begins by default; above the ports that the
// plugin and its tools know by number (688, 9911).
constexpr int kFirstPort = 20000;
constexpr int kBlocks = (32000 - kFirstPort) / kPortsPerProcess;
constexpr const char* kLockDirectory = "/tmp/skyloom-test-ports";

bool canListenOn(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // As libzmq binds: a connection of an earlier test in TIME_WAIT does not make it busy.
    const int on = 1;
    (void) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0
        && listen(fd, 1) == 0;
    close(fd);
    return bound;
}

/** The descriptor that holds the lock of block `block`; -1 if another process holds it. */
int lockBlock(int block)
{
    const std::string path = std::string(kLockDirectory) + "/" + std::to_string(block);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

bool blockIsFree(int firstPort)
{
    for (int i = 0; i < kPortsPerProcess; ++i)
    {
        if (!canListenOn(firstPort + i))
            return false;
    }
    return true;
}

void makeLockDirectory()
{
    // Lock files of other users' test runs stay usable: the directory is everyone's.
    const mode_t oldMask = umask(0);
    (void) mkdir(kLockDirectory, 01777);
    umask(oldMask);
}

int takeBlock()
{
    makeLockDirectory();
    // Start where this process's id points, so that processes started together rarely try the
    // same blocks.
    const int start = static_cast<int>(getpid()) % kBlocks;
    for (int i = 0; i < kBlocks; ++i)
    {
        const int block = (start + i) % kBlocks;
        const int firstPort = kFirstPort + block * kPortsPerProcess;
        const int lock = lockBlock(block);
        if (lock < 0)
            continue;
        if (blockIsFree(firstPort))
            return firstPort; //< The lock stays held: it ends with the process.
        close(lock); //< Something else listens there.
    }
    std::fprintf(stderr, "testPort(): no free block of %d ports in %d..%d\n", kPortsPerProcess,
        kFirstPort, kFirstPort + kBlocks * kPortsPerProcess - 1);
    std::abort();
}

} // namespace

int testPort(int index)
{
    if (index < 0 || index >= kPortsPerProcess)
    {
        std::fprintf(stderr, "testPort(%d): the index is outside 0..%d\n", index,
            kPortsPerProcess - 1);
        std::abort();
    }
    static const int firstPort = takeBlock();
    return firstPort + index;
}

std::string testPortText(int index)
{
    return std::to_string(testPort(index));
}

void holdFixedPorts(std::initializer_list<int> ports)
{
    static std::mutex mutex;
    static std::set<int> held;
    const std::lock_guard<std::mutex> lock(mutex);
    makeLockDirectory();
    for (const int port: std::set<int>(ports))
    {
        if (held.count(port) != 0)
            continue;
        const std::string path = std::string(kLockDirectory) + "/fixed-" + std::to_string(port);
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0 || flock(fd, LOCK_EX) != 0)
        {
            std::perror(("holdFixedPorts(): " + path).c_str());
            std::abort();
        }
        held.insert(port); //< The descriptor stays open: the lock ends with the process.
    }
}

} // namespace skyloom::testhost
