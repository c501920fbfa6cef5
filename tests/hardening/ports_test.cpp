// The loaded plugin library when its ports are not its own: the diagnostic copy's port 688 (as
// "LoopbackRelayEndpoint" may name it) held by another process that publishes forged alarms
// there, the service port held by another program (also while a new listener takes over: a new
// receiver, the port moving between the processes), and two engines in one process (as two
// servers on one machine). The cameras must hear only their own engine, the process must live
// on, say what is wrong, and clean up after itself. The same tests run with the service port in
// this process (hardening.PortsInProcess).
//
// Every test makes its own engine (and waits the relay's five seconds). The test with the other
// process runs first, while this process has no other thread: the child may then use ZeroMQ.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <zmq.h>

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
 * Another process that binds a ZeroMQ publisher on the loopback port before the engine exists
 * and publishes a forged alarm there every 10 ms, as a local attacker would. Each connection
 * that it accepts is reported to the parent with one byte. The child ends when the parent
 * closes its end of the control pipe.
 */
class ForgingPublisher
{
public:
    ForgingPublisher(int port, std::string forgedMessage)
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
            _exit(runChild(port, forgedMessage, control[0], report[1]));
        }
        close(control[0]);
        close(report[1]);
        m_control = control[1];
        m_report = report[0];
        char ready = 0;
        m_listening = m_pid > 0 && read(m_report, &ready, 1) == 1 && ready == 'L';
    }

    ~ForgingPublisher() { stop(); }

    bool listening() const { return m_listening; }

    /** Ends the child; the number of connections that it accepted. */
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
    /** Runs in the forked child of a process that had no other thread. */
    static int runChild(int port, const std::string& message, int control, int report)
    {
        void* const context = zmq_ctx_new();
        void* const publisher = zmq_socket(context, ZMQ_PUB);
        const std::string endpoint = "tcp://127.0.0.1:" + std::to_string(port);
        if (zmq_socket_monitor(publisher, "inproc://forger", ZMQ_EVENT_ACCEPTED) != 0
            || zmq_bind(publisher, endpoint.c_str()) != 0 || write(report, "L", 1) != 1)
        {
            return 1;
        }
        void* const monitor = zmq_socket(context, ZMQ_PAIR);
        zmq_connect(monitor, "inproc://forger");
        for (;;)
        {
            zmq_pollitem_t items[] = {
                {monitor, 0, ZMQ_POLLIN, 0}, {nullptr, control, ZMQ_POLLIN, 0}};
            if (zmq_poll(items, 2, 10) < 0)
                return 1;
            if (items[1].revents != 0)
                break;
            if (items[0].revents != 0)
            {
                zmq_msg_t part;
                zmq_msg_init(&part);
                zmq_msg_recv(&part, monitor, 0); //< The event, then the address.
                zmq_msg_recv(&part, monitor, 0);
                zmq_msg_close(&part);
                (void) !write(report, "C", 1);
            }
            zmq_send(publisher, message.data(), message.size(), ZMQ_DONTWAIT);
        }
        const int linger = 0;
        zmq_setsockopt(publisher, ZMQ_LINGER, &linger, sizeof(linger));
        zmq_close(monitor);
        zmq_close(publisher);
        zmq_ctx_term(context);
        return 0;
    }

    pid_t m_pid = -1;
    int m_control = -1;
    int m_report = -1;
    bool m_listening = false;
    int m_connections = 0;
};

/** A listening TCP socket on a port of every interface, held by a child process until destroyed. */
class PortHolder
{
public:
    explicit PortHolder(int port)
    {
        int ready[2];
        int control[2];
        if (pipe(ready) != 0 || pipe(control) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0)
        {
            // Only async-signal-safe calls: the parent has threads.
            close(control[1]);
            const int fd = listenOn(port, /*loopbackOnly*/ false);
            const char byte = fd >= 0 ? 'L' : 'F';
            (void) !write(ready[1], &byte, 1);
            char ignored;
            (void) !read(control[0], &ignored, 1); //< Until the parent closes it.
            _exit(0);
        }
        close(ready[1]);
        close(control[0]);
        m_control = control[1];
        char byte = 0;
        m_listening = m_pid > 0 && read(ready[0], &byte, 1) == 1 && byte == 'L';
        close(ready[0]);
    }

    ~PortHolder()
    {
        if (m_pid <= 0)
            return;
        close(m_control);
        waitpid(m_pid, nullptr, 0);
    }

    bool listening() const { return m_listening; }

private:
    pid_t m_pid = -1;
    int m_control = -1;
    bool m_listening = false;
};

bool hasCaption(const testhost::DeviceAgentHandler& handler, const std::string& caption)
{
    for (const auto& packet: handler.packets())
    {
        for (const auto& item: packet.items)
        {
            if (item.caption == caption)
                return true;
        }
    }
    return false;
}

constexpr char kCannotListen[] = "Cannot listen for the AI engine";
constexpr char kListening[] = "Listening for the AI engine";

/** Waits until the engine has had `count` events of the caption; false if it has not (now). */
bool waitForCount(const EngineUnderTest& engine, const char* caption, int count)
{
    const auto deadline = steady_clock::now() + kRelayStartTimeout;
    while (countEvents(*engine.handler, caption) < count && steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return countEvents(*engine.handler, caption) == count;
}

/** The service port's endpoint in the latest "Listening" event, without the diagnostic copy's. */
std::string lastListening(const EngineUnderTest& engine)
{
    std::string endpoint;
    for (const auto& event: engine.handler->events())
        endpoint = event.caption == kListening ? event.description : endpoint;
    return endpoint.substr(0, endpoint.find("; diagnostic copy on "));
}

double millisecondsSince(steady_clock::time_point start)
{
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

class HardeningPorts: public ::testing::Test
{
protected:
    virtual void SetUp() override
    {
        // Two of the tests are about the fixed ports: no other test process may hold them.
        testhost::holdFixedPorts({kRelayPort, 9911});
        std::string errorText;
        ASSERT_TRUE(m_plugin.load(&errorText)) << errorText;
    }

    PluginUnderTest m_plugin;
};

//-------------------------------------------------------------------------------------------------

TEST_F(HardeningPorts, ProcessHoldingPort688BeforeTheEngineCannotInjectIntoACamera)
{
    const int kServicePort = testhost::testPort(0);
    Camera camera(cameraId(41));
    ForgingPublisher forger(kRelayPort, alarmMessage(camera.id, "Forged"));
    ASSERT_TRUE(forger.listening()) << "cannot hold port " << kRelayPort << " in a child";

    EngineUnderTest engine = startEngine(m_plugin.plugin(),
        "{3c3c3c3c-0000-4000-8000-000000000003}", kServicePort,
        {{"LoopbackRelayEndpoint", "tcp://127.0.0.1:" + std::to_string(kRelayPort)}});
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<testhost::DeviceAgentHandler>();
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));

    // The loopback copy is only a warning; the camera hears the AI engine all the same.
    EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::info,
        "Loopback relay unavailable", "tcp://127.0.0.1:688: Address already in use",
        kRelayStartTimeout, Match::whole));
    const std::string relayError = waitForRelay(engine, kServicePort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "Real"),
        [&]() { return hasCaption(*handler, "Real"); }));
    std::this_thread::sleep_for(1s); //< A hundred more forged alarms.
    EXPECT_FALSE(hasCaption(*handler, "Forged"));

    auto start = steady_clock::now();
    camera.agent.reset();
    const double agentReleaseMs = millisecondsSince(start);
    start = steady_clock::now();
    engine = {};
    const double engineReleaseMs = millisecondsSince(start);
    std::cout << "[ MEASURED ] release of an agent: " << agentReleaseMs
        << " ms; of its engine: " << engineReleaseMs << " ms" << std::endl;
    EXPECT_LT(agentReleaseMs, 1000);
    EXPECT_LT(engineReleaseMs, 1000);

    // Nobody in this process even connected to the other one.
    EXPECT_EQ(0, forger.stop());
    m_plugin.releaseExpectingNothingLeft();
}

TEST_F(HardeningPorts, ServicePortHeldByAnotherProgramThenAFreePortIsSet)
{
    const int kTakenPort = testhost::testPort(1);
    const int kFreePort = testhost::testPort(2);
    const int taken = listenOn(kTakenPort, /*loopbackOnly*/ false);
    ASSERT_GE(taken, 0);

    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{4d4d4d4d-0000-4000-8000-000000000004}", kTakenPort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<CountingHandler>();
    Camera camera(cameraId(42));
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));

    EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::error,
        "Cannot listen for the AI engine",
        serviceEndpoint(kTakenPort) + ": Address already in use", kRelayStartTimeout,
        Match::whole));

    // The administrator picks another port; the relay takes it up while running.
    ASSERT_TRUE(testhost::doSetSettings(engine.engine.get(),
        withReceiverChoice({{"ServicePort", std::to_string(kFreePort)}})).isOk());
    const std::string relayError = waitForRelay(engine, kFreePort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EXPECT_TRUE(deliverUntil(kFreePort, alarmMessage(camera.id, "Delivered"),
        [&]() { return handler->packets() > 0; }));

    close(taken);
    camera.agent.reset();
    engine = {};
    m_plugin.releaseExpectingNothingLeft();
}

// A refused "ServicePort" that arrived while the relay opened its sockets, before any port was
// accepted, made the service socket bind port 0: a random port that no AI engine knows.
TEST_F(HardeningPorts, RefusedPortDuringTheRelayStartBoundARandomPort)
{
    constexpr int kDefaultPort = 9911;
    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{7e7e7e7e-0000-4000-8000-000000000007}", /*refused*/ 0);
    ASSERT_TRUE(engine.engine);
    const auto listening = [&]()
        {
            return countEvents(*engine.handler, "Listening for the AI engine") > 0;
        };
    // Refused values, one after another, all through the relay's start.
    const char* const refused[] = {"0", "-1", "99999", "9911x", ""};
    int delivered = 0;
    for (const auto deadline = steady_clock::now() + kRelayStartTimeout;
        !listening() && steady_clock::now() < deadline; ++delivered)
    {
        (void) testhost::doSetSettings(engine.engine.get(),
            withReceiverChoice({{"ServicePort", refused[delivered % 5]}}));
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(listening());
    std::cout << "[ MEASURED ] refused ports delivered during the start: " << delivered
        << std::endl;

    // The endpoint of the service port, and where this engine's private copy is.
    EXPECT_TRUE(hasEvent(engine.handler->events(), IPluginDiagnosticEvent::Level::info,
        "Listening for the AI engine", "tcp://0.0.0.0:9911; diagnostic copy on ipc://"
            + std::filesystem::current_path().string() + "/skyloom_diagnostic_copy/7e7e7e7e.ipc",
        Match::whole));
    EXPECT_EQ(1, countEvents(*engine.handler, "Listening for the AI engine"));
    const std::vector<int> ports = testhost::listeningTcpPorts(servicePortProcess());
    EXPECT_TRUE(std::find(ports.begin(), ports.end(), kDefaultPort) != ports.end());
    for (const int port: ports)
        EXPECT_TRUE(port == kDefaultPort || port == kRelayPort) << "also listens on " << port;

    engine = {};
    m_plugin.releaseExpectingNothingLeft();
}

// Asking again for the port that listened, after another port failed to bind, bound it a second
// time: "Address already in use" and the error event while it listened; and a later address
// change listened on the port that had failed.
TEST_F(HardeningPorts, PortThatListensAskedAgainAfterAFailedOneGaveAFalseError)
{
    const int kPort = testhost::testPort(5);
    const int kTakenPort = testhost::testPort(6);
    PortHolder taken(kTakenPort);
    ASSERT_TRUE(taken.listening());
    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{8f8f8f8f-0000-4000-8000-000000000008}", kPort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<testhost::DeviceAgentHandler>();
    Camera camera(cameraId(45));
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));
    const std::string relayError = waitForRelay(engine, kPort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    ASSERT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::info, kListening,
        "", kRelayStartTimeout));

    const auto set = [&](int port, const std::string& address)
        {
            return testhost::doSetSettings(engine.engine.get(), withReceiverChoice({
                {"ServicePort", std::to_string(port)}, {"ServiceAddress", address}})).isOk();
        };
    const auto deliversOn = [&](const std::string& caption)
        {
            return deliverUntil(kPort, alarmMessage(camera.id, caption),
                [&]() { return hasCaption(*handler, caption); });
        };
    const testhost::LogFile log;
    const auto binds = [&]()
        {
            return log.countLinesContaining(engine.printPrefix + "threadFuncZeromqLoop bind ");
        };

    ASSERT_TRUE(set(kTakenPort, "*"));
    EXPECT_TRUE(waitForCount(engine, kCannotListen, 1));
    EXPECT_TRUE(hasEvent(engine.handler->events(), IPluginDiagnosticEvent::Level::error,
        kCannotListen, serviceEndpoint(kTakenPort) + ": Address already in use", Match::whole));
    EXPECT_TRUE(deliversOn("Still"));

    // The port that listens, asked for again: nothing to do, nothing to tell.
    int bindsBefore = binds();
    ASSERT_TRUE(set(kPort, "*"));
    testhost::AiEnginePublisher::settle(1s);
    EXPECT_TRUE(deliversOn("Same"));
    EXPECT_EQ(bindsBefore, binds());
    EXPECT_EQ(1, countEvents(*engine.handler, kCannotListen));
    EXPECT_EQ(1, countEvents(*engine.handler, kListening));

    // A failed port, then an address change alone: it listens anew on the working port.
    ASSERT_TRUE(set(kTakenPort, "*"));
    EXPECT_TRUE(waitForCount(engine, kCannotListen, 2));
    ASSERT_TRUE(set(kTakenPort, "127.0.0.1"));
    EXPECT_TRUE(waitForCount(engine, kListening, 2));
    EXPECT_EQ("tcp://127.0.0.1:" + std::to_string(kPort), lastListening(engine));
    EXPECT_TRUE(deliversOn("Moved"));
    EXPECT_EQ(2, countEvents(*engine.handler, kCannotListen));

    // A failed port asked for together with an address change: the working port listens on
    // the new address.
    ASSERT_TRUE(set(kPort, "127.0.0.1"));
    testhost::AiEnginePublisher::settle(1s);
    bindsBefore = binds();
    ASSERT_TRUE(set(kTakenPort, "*"));
    EXPECT_TRUE(waitForCount(engine, kListening, 3));
    EXPECT_EQ("tcp://0.0.0.0:" + std::to_string(kPort), lastListening(engine));
    EXPECT_EQ(3, countEvents(*engine.handler, kCannotListen));
    EXPECT_EQ(bindsBefore + 2, binds()); //< The failed port, then the working one.
    EXPECT_TRUE(deliversOn("Back"));

    camera.agent.reset();
    engine = {};
    m_plugin.releaseExpectingNothingLeft();
}

// A listener made anew (a receiver started again after a kill, the port moving into the server's
// process or out of it) was given only the port asked for: when another program held that one,
// nothing listened any more, although the port before had worked.
TEST_F(HardeningPorts, NewListenerLostTheWorkingPortWhileTheAskedOneWasHeld)
{
    const int kPort = testhost::testPort(5);
    const int kTakenPort = testhost::testPort(6);
    const char* const choice = std::getenv("SKYLOOM_ISOLATE_RECEIVER");
    const bool isolated = !choice || std::string(choice) != "false";
    PortHolder taken(kTakenPort);
    ASSERT_TRUE(taken.listening());
    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{9a9a9a9a-0000-4000-8000-000000000009}", kPort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<testhost::DeviceAgentHandler>();
    Camera camera(cameraId(46));
    ASSERT_TRUE(camera.open(engine.engine.get(), handler.get()));
    const std::string relayError = waitForRelay(engine, kPort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    ASSERT_TRUE(waitForCount(engine, kListening, 1));

    const auto askForTheTakenPort = [&](bool isolate)
        {
            return testhost::doSetSettings(engine.engine.get(), {
                {"ServicePort", std::to_string(kTakenPort)},
                {"IsolateReceiver", isolate ? "true" : "false"}}).isOk();
        };
    const auto deliversOn = [&](const std::string& caption)
        {
            return deliverUntil(kPort, alarmMessage(camera.id, caption),
                [&]() { return hasCaption(*handler, caption); });
        };
    // Each new listener tries the port asked for, then listens on the working one.
    int cannotListen = 1;
    int listening = 1;
    const auto listensAgainOnTheWorkingPort = [&]()
        {
            const bool failed = waitForCount(engine, kCannotListen, ++cannotListen);
            const bool listened = waitForCount(engine, kListening, ++listening);
            return failed && listened
                && lastListening(engine) == "tcp://0.0.0.0:" + std::to_string(kPort);
        };

    ASSERT_TRUE(askForTheTakenPort(isolated));
    ASSERT_TRUE(waitForCount(engine, kCannotListen, cannotListen));
    EXPECT_TRUE(deliversOn("Still"));

    if (isolated)
    {
        const std::vector<pid_t> receivers = testhost::receiverProcesses();
        ASSERT_EQ(1u, receivers.size());
        kill(receivers.front(), SIGKILL);
        EXPECT_TRUE(listensAgainOnTheWorkingPort()) << lastListening(engine);
        EXPECT_TRUE(deliversOn("After the kill"));
    }
    for (const bool isolate: {!isolated, isolated})
    {
        SCOPED_TRACE(isolate ? "into a receiver" : "into the server");
        ASSERT_TRUE(askForTheTakenPort(isolate));
        EXPECT_TRUE(listensAgainOnTheWorkingPort()) << lastListening(engine);
        EXPECT_TRUE(deliversOn(isolate ? "In a receiver" : "In the server"));
    }

    camera.agent.reset();
    engine = {};
    m_plugin.releaseExpectingNothingLeft();
}

TEST_F(HardeningPorts, TwoEnginesInOneProcessEachServesOnlyItsOwnCameras)
{
    const int kFirstPort = testhost::testPort(3);
    const int kSecondPort = testhost::testPort(4);
    EngineUnderTest first = startEngine(
        m_plugin.plugin(), "{5e5e5e5e-0000-4000-8000-000000000005}", kFirstPort);
    ASSERT_TRUE(first.engine);
    std::string relayError = waitForRelay(first, kFirstPort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EngineUnderTest second = startEngine(
        m_plugin.plugin(), "{6f6f6f6f-0000-4000-8000-000000000006}", kSecondPort);
    ASSERT_TRUE(second.engine);

    const auto firstHandler = makePtr<CountingHandler>();
    const auto secondHandler = makePtr<CountingHandler>();
    Camera firstCamera(cameraId(43));
    Camera secondCamera(cameraId(44));
    ASSERT_TRUE(firstCamera.open(first.engine.get(), firstHandler.get()));
    ASSERT_TRUE(secondCamera.open(second.engine.get(), secondHandler.get()));

    // Each engine has a private copy of its own, named after it: nothing is missing.
    relayError = waitForRelay(second, kSecondPort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    const testhost::LogFile log;
    for (const EngineUnderTest* engine: {&first, &second})
    {
        for (const auto& event: engine->handler->events())
        {
            EXPECT_NE(IPluginDiagnosticEvent::Level::error, event.level) << event.caption;
            EXPECT_NE("Loopback relay unavailable", event.caption);
        }
    }
    const std::string copies = std::filesystem::current_path().string()
        + "/skyloom_diagnostic_copy/";
    EXPECT_EQ(1, log.countLinesContaining(first.printPrefix
        + "threadFuncZeromqLoop loopback relay ipc://" + copies + "5e5e5e5e.ipc open"));
    EXPECT_EQ(1, log.countLinesContaining(second.printPrefix
        + "threadFuncZeromqLoop loopback relay ipc://" + copies + "6f6f6f6f.ipc open"));

    EXPECT_TRUE(deliverUntil(kFirstPort, alarmMessage(firstCamera.id, "First"),
        [&]() { return firstHandler->packets() > 0; }));
    EXPECT_TRUE(deliverUntil(kSecondPort, alarmMessage(secondCamera.id, "Second"),
        [&]() { return secondHandler->packets() > 0; }));

    // A message for the second engine's camera sent to the first engine goes nowhere.
    testhost::AiEnginePublisher::settle(500ms);
    const int64_t secondBefore = secondHandler->packets();
    {
        Flooder crossed(
            kFirstPort, [&](int64_t) { return alarmMessage(secondCamera.id, "Crossed"); });
        testhost::AiEnginePublisher::settle(1s);
        EXPECT_GT(crossed.stop(), 0);
    }
    testhost::AiEnginePublisher::settle(500ms);
    EXPECT_EQ(secondBefore, secondHandler->packets());

    // The first engine goes first, its camera stays a while.
    first.engine = nullptr;
    second.engine = nullptr;
    firstCamera.agent.reset();
    secondCamera.agent.reset();
    EXPECT_EQ(0, firstHandler->badPackets());
    EXPECT_EQ(0, secondHandler->badPackets());
    m_plugin.releaseExpectingNothingLeft();
}

} // namespace
} // namespace skyloom::hardening
