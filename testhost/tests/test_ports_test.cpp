// Ports of test processes that run at the same time: never the same block, and a fixed port held
// by one is waited for by the other.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include <skyloom/testhost/test_ports.h>

namespace skyloom::testhost {
namespace {

/** A forked child's end of two pipes: it says something, then waits to be let go. */
struct Child
{
    pid_t pid = -1;
    int said = -1; //< Read end: what the child says.
    int letGo = -1; //< Write end: a byte (or closing it) lets the child end.

    std::string readSaid()
    {
        char buffer[32] = {};
        const ssize_t got = read(said, buffer, sizeof(buffer) - 1);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : "";
    }

    void end()
    {
        close(letGo);
        waitpid(pid, nullptr, 0);
        close(said);
    }
};

/** Forks a child that runs `body`, writes what it returns, waits to be let go and writes "G". */
template<class Body>
Child startChild(Body body)
{
    int said[2];
    int letGo[2];
    if (pipe(said) != 0 || pipe(letGo) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0)
    {
        close(said[0]);
        close(letGo[1]);
        const std::string text = body();
        (void) !write(said[1], text.data(), text.size());
        char ignored;
        (void) !read(letGo[0], &ignored, 1);
        (void) !write(said[1], "G", 1); //< Going: its locks end with it.
        _exit(0);
    }
    close(said[1]);
    close(letGo[0]);
    return {pid, said[0], letGo[1]};
}

// Each ctest test is a process of its own: testPort() is first called here.
TEST(TestPorts, ProcessesAliveAtTheSameTimeGetBlocksOfTheirOwn)
{
    Child child = startChild([]() { return std::to_string(testPort(0)); });
    ASSERT_GT(child.pid, 0);
    const std::string theirs = child.readSaid();
    ASSERT_FALSE(theirs.empty());
    const int mine = testPort(0);
    EXPECT_EQ(mine + kPortsPerProcess - 1, testPort(kPortsPerProcess - 1));
    const int other = std::stoi(theirs);
    EXPECT_TRUE(other >= mine + kPortsPerProcess || other + kPortsPerProcess <= mine)
        << mine << " and " << other;
    child.end();
}

TEST(TestPorts, FixedPortHeldByAnotherProcessIsWaitedFor)
{
    constexpr int kPort = 19999;
    Child holder = startChild([]()
        {
            holdFixedPorts({kPort});
            return std::string("H");
        });
    ASSERT_GT(holder.pid, 0);
    ASSERT_EQ("H", holder.readSaid());
    // Let go at once: the holder says it is going, then ends, and only its end frees the port.
    ASSERT_EQ(1, write(holder.letGo, "x", 1));
    holdFixedPorts({kPort});
    // The going is already there to read: the wait did not return before the holder's end.
    pollfd said{holder.said, POLLIN, 0};
    ASSERT_EQ(1, poll(&said, 1, 0)) << "the port was held while its holder still ran";
    EXPECT_EQ("G", holder.readSaid());
    holder.end();
    holdFixedPorts({kPort}); //< Held already: returns at once.
}

} // namespace
} // namespace skyloom::testhost
