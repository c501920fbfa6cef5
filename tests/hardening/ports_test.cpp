// The loaded plugin library when its ports are not its own: the relay's loopback port held by
// another process (which answers every connection with garbage), the service port held by
// another program, and two engines in one process contending for the loopback port. The
// process must live on, say what is wrong, and clean up after itself.
//
// Every test makes its own engine (and waits the relay's five seconds). The test with the other
// process runs first, while this process has no other thread: the child only makes system calls.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;
using nx::sdk::makePtr;

constexpr int kRelayPort = 688;

/** A listening TCP socket on the port of 127.0.0.1 (or of every interface); -1 on failure. */
int listenOn(int port, bool loopbackOnly)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0
        || listen(fd, 16) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

/**
 * Another process that holds the relay's loopback port. Every connection gets the start of a
 * ZeroMQ greeting followed by garbage, then is closed; each one is reported to the parent with
 * one byte. The child ends when the parent closes its end of the control pipe.
 */
class PortSquatter
{
public:
    explicit PortSquatter(int port)
    {
        int control[2];
        int report[2];
        if (pipe(control) != 0 || pipe(report) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0)
        {
            close(control[1]);
            close(report[0]);
            _exit(runChild(port, control[0], report[1]));
        }
        close(control[0]);
        close(report[1]);
        m_control = control[1];
        m_report = report[0];
        char ready = 0;
        m_listening = m_pid > 0 && read(m_report, &ready, 1) == 1 && ready == 'L';
    }

    ~PortSquatter() { stop(); }

    bool listening() const { return m_listening; }

    /** Ends the child; the number of connections that it answered. */
    int stop()
    {
        if (m_pid <= 0)
            return m_connections;
        close(m_control);
        char byte = 0;
        while (read(m_report, &byte, 1) == 1)
            ++m_connections;
        close(m_report);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return m_connections;
    }

private:
    /** Runs in the forked child: system calls only. */
    static int runChild(int port, int control, int report)
    {
        const int listener = listenOn(port, /*loopbackOnly*/ true);
        if (listener < 0 || write(report, "L", 1) != 1)
            return 1;
        static const char kGarbage[] =
            "\xFF\x00\x00\x00\x00\x00\x00\x00\x01\x7F\x03\x00NULL\x00\x00\x00\x00\x00\x00"
            "\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF not a relay {\"src_uuid\":\"\x01\x02";
        for (;;)
        {
            pollfd fds[2] = {{listener, POLLIN, 0}, {control, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0)
                return 1;
            if (fds[1].revents != 0)
                return 0;
            const int connection = accept(listener, nullptr, nullptr);
            if (connection < 0)
                continue;
            (void) !write(connection, kGarbage, sizeof(kGarbage) - 1);
            close(connection);
            (void) !write(report, "C", 1);
        }
    }

    pid_t m_pid = -1;
    int m_control = -1;
    int m_report = -1;
    bool m_listening = false;
    int m_connections = 0;
};

bool hasEvent(const testhost::EngineHandler& handler, const std::string& caption,
    const std::string& description)
{
    for (const auto& event: handler.events())
    {
        if (event.level == IPluginDiagnosticEvent::Level::error && event.caption == caption
            && event.description == description)
        {
            return true;
        }
    }
    return false;
}

bool waitForEvent(const testhost::EngineHandler& handler, const std::string& caption,
    const std::string& description)
{
    const auto deadline = steady_clock::now() + kRelayStartTimeout;
    while (!hasEvent(handler, caption, description))
    {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

class HardeningPorts: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        std::string errorText;
        ASSERT_TRUE(m_plugin.load(&errorText)) << errorText;
    }

    void expectBalanced()
    {
        const auto stats = m_plugin.stats();
        m_plugin.release();
        EXPECT_TRUE(stats->waitUntilBalanced(kBalanceTimeout)) << "alive: " << stats->alive();
        EXPECT_EQ(0, stats->anomalies());
    }

    PluginUnderTest m_plugin;
};

//-------------------------------------------------------------------------------------------------

TEST_F(HardeningPorts, RelayPortHeldByAnotherProcess)
{
    constexpr int kServicePort = 19941;
    PortSquatter squatter(kRelayPort);
    ASSERT_TRUE(squatter.listening()) << "cannot hold port " << kRelayPort << " in a child";

    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{3c3c3c3c-0000-4000-8000-000000000003}", kServicePort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<CountingHandler>();
    Camera camera(cameraId(41));
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));

    EXPECT_TRUE(waitForEvent(*engine.handler, "Cannot open the internal relay endpoint",
        "tcp://127.0.0.1:688: Address already in use"));
    ASSERT_TRUE(waitForServicePortBind(engine, kServicePort, kRelayStartTimeout));

    // The AI engine is still taken in (and its messages dropped); the agent meets only the
    // other process, which it must survive however often it tries.
    {
        Flooder flooder(kServicePort, [&](int64_t) { return alarmMessage(camera.id, "Lost"); });
        std::this_thread::sleep_for(2s);
        EXPECT_GT(flooder.stop(), 0);
    }
    EXPECT_EQ(0, handler->packets());

    camera.agent.reset();
    engine = {};
    EXPECT_GT(squatter.stop(), 0) << "the agent never reached the other process";
    expectBalanced();
}

TEST_F(HardeningPorts, ServicePortHeldByAnotherProgramThenAFreePortIsSet)
{
    constexpr int kTakenPort = 19942;
    constexpr int kFreePort = 19943;
    const int taken = listenOn(kTakenPort, /*loopbackOnly*/ false);
    ASSERT_GE(taken, 0);

    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{4d4d4d4d-0000-4000-8000-000000000004}", kTakenPort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<CountingHandler>();
    Camera camera(cameraId(42));
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));

    EXPECT_TRUE(waitForEvent(*engine.handler, "Cannot listen for the AI engine",
        serviceEndpoint(kTakenPort) + ": Address already in use"));

    // The administrator picks another port; the relay takes it up while running.
    ASSERT_TRUE(testhost::doSetSettings(engine.engine.get(),
        testhost::Settings{{"ServicePort", std::to_string(kFreePort)}}).isOk());
    const std::string relayError = waitForRelay(engine, kFreePort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EXPECT_TRUE(deliverUntil(kFreePort, alarmMessage(camera.id, "Delivered"),
        [&]() { return handler->packets() > 0; }));

    close(taken);
    camera.agent.reset();
    engine = {};
    expectBalanced();
}

TEST_F(HardeningPorts, TwoEnginesInOneProcessBothLiveAndBothEnd)
{
    constexpr int kFirstPort = 19944;
    constexpr int kSecondPort = 19945;
    EngineUnderTest first = startEngine(
        m_plugin.plugin(), "{5e5e5e5e-0000-4000-8000-000000000005}", kFirstPort);
    ASSERT_TRUE(first.engine);
    const std::string relayError = waitForRelay(first, kFirstPort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EngineUnderTest second = startEngine(
        m_plugin.plugin(), "{6f6f6f6f-0000-4000-8000-000000000006}", kSecondPort);
    ASSERT_TRUE(second.engine);

    // Each engine has a camera of its own; the cameras share the one loopback endpoint.
    const auto firstHandler = makePtr<CountingHandler>();
    const auto secondHandler = makePtr<CountingHandler>();
    Camera firstCamera(cameraId(43));
    Camera secondCamera(cameraId(44));
    ASSERT_TRUE(firstCamera.open(first.engine.get(), firstHandler.get()));
    ASSERT_TRUE(secondCamera.open(second.engine.get(), secondHandler.get()));

    // The second relay listens on its own port but cannot publish: the first one holds 688.
    ASSERT_TRUE(waitForServicePortBind(second, kSecondPort, kRelayStartTimeout));
    EXPECT_TRUE(waitForEvent(*second.handler, "Cannot open the internal relay endpoint",
        "tcp://127.0.0.1:688: Address already in use"));
    EXPECT_TRUE(first.handler->events().empty());

    // Messages to the first engine reach both cameras; those to the second are taken in and
    // dropped, flat out, without harm.
    {
        Flooder toSecond(
            kSecondPort, [&](int64_t) { return alarmMessage(secondCamera.id, "Lost"); });
        EXPECT_TRUE(deliverUntil(kFirstPort, alarmMessage(firstCamera.id, "First"),
            [&]() { return firstHandler->packets() > 0; }));
        EXPECT_TRUE(deliverUntil(kFirstPort, alarmMessage(secondCamera.id, "Second"),
            [&]() { return secondHandler->packets() > 0; }));
        EXPECT_GT(toSecond.stop(), 0);
    }

    // The first engine (with the loopback endpoint) goes first, its camera stays a while.
    first.engine = nullptr;
    second.engine = nullptr;
    firstCamera.agent.reset();
    secondCamera.agent.reset();
    EXPECT_EQ(0, firstHandler->badPackets());
    EXPECT_EQ(0, secondHandler->badPackets());
    expectBalanced();
}

} // namespace
} // namespace skyloom::hardening
