// The loaded plugin library when the process runs out of descriptors under the usual limit of
// 1024: 520 cameras made before the relay starts, a relay that cannot open its sockets, a
// receiver that cannot be started, and releases in the middle of all that. The process must
// live through every one, say why nothing is received, and receive again once descriptors are
// free. Its own executable: it lowers the process's descriptor limit. It runs the library that
// servers load, whose relay binds five seconds after its engine is made: the cameras are made
// and the descriptors taken before that.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;
using nx::sdk::makePtr;

constexpr rlim_t kDescriptorLimit = 1024;
constexpr int kCameras = 520;
constexpr char kRelayEndpointCaption[] = "Cannot open the internal relay endpoint";
constexpr char kServicePortCaption[] = "Cannot listen for the AI engine";
constexpr char kListeningCaption[] = "Listening for the AI engine";

/** Holds every descriptor that is still free, until freed. */
class DescriptorHog
{
public:
    ~DescriptorHog() { free(); }

    /** True if the process was left without a free descriptor. */
    bool takeAll()
    {
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            m_fds.push_back(fd);
        return errno == EMFILE;
    }

    void free()
    {
        for (const int fd: m_fds)
            close(fd);
        m_fds.clear();
    }

private:
    std::vector<int> m_fds;
};

double millisecondsSince(steady_clock::time_point start)
{
    return duration<double, std::milli>(steady_clock::now() - start).count();
}

class HardeningExhaustion: public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(kDescriptorLimit, limit.rlim_max);
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
    }

    virtual void SetUp() override
    {
        if (builtWithAddressSanitizer())
        {
            // Its checks open a pipe per virtual call and report every call as bad when no
            // descriptor is left.
            GTEST_SKIP() << "the sanitizer runtime needs descriptors itself";
        }
        std::string errorText;
        ASSERT_TRUE(m_plugin.load(&errorText)) << errorText;
    }

    /** `count` cameras of the engine, opened at once (before its relay starts). */
    std::vector<Camera> openCameras(
        const EngineUnderTest& engine, CountingHandler* handler, int first, int count)
    {
        std::vector<Camera> cameras;
        cameras.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i)
        {
            cameras.emplace_back(cameraId(first + i));
            // An agent without descriptors is still made; it gets its socket later.
            EXPECT_TRUE(cameras.back().open(engine.engine.get(), handler)) << i;
        }
        return cameras;
    }

    /**
     * Releases the engine, then the cameras, the last one (which ends the engine's ZeroMQ
     * context) without a free descriptor.
     */
    void releaseAll(EngineUnderTest* engine, std::vector<Camera>* cameras, DescriptorHog* hog)
    {
        const auto start = steady_clock::now();
        *engine = {};
        const double engineMs = millisecondsSince(start);
        std::cout << "[ MEASURED ] release of the engine: " << engineMs << " ms" << std::endl;
        EXPECT_LT(engineMs, 1000);
        cameras->erase(cameras->begin() + 1, cameras->end());
        std::this_thread::sleep_for(300ms); //< Their sockets are closed by ZeroMQ meanwhile.
        (void) hog->takeAll(); //< What the released cameras gave back, too.
        cameras->clear();
        hog->free();
    }

    /**
     * An engine with 64 cameras waiting for its relay, then no descriptor left: released while
     * its relay retries (after its error event) or before the relay started.
     */
    void releaseWaitingCamerasWithoutDescriptors(
        const char* engineId, int servicePort, int firstCamera, bool relayRetries)
    {
        EngineUnderTest engine = startEngine(m_plugin.plugin(), engineId, servicePort);
        ASSERT_TRUE(engine.engine);
        const auto handler = makePtr<CountingHandler>();
        std::vector<Camera> cameras = openCameras(engine, handler.get(), firstCamera, 64);
        if (!relayRetries)
            std::this_thread::sleep_for(500ms); //< The cameras' threads have their sockets.
        DescriptorHog hog;
        ASSERT_TRUE(hog.takeAll());
        if (relayRetries)
        {
            EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::error,
                kRelayEndpointCaption, "Too many open files", kRelayStartTimeout));
        }
        releaseAll(&engine, &cameras, &hog);
        m_plugin.releaseExpectingNothingLeft();
    }

    PluginUnderTest m_plugin;
};

//-------------------------------------------------------------------------------------------------

// 520 cameras under a limit of 1024: the relay thread could not open its socket, never tried
// again and told nobody; releasing the engine then aborted the process in libzmq, which
// completed the cameras' pending connects to the never-bound endpoint with a socket it could
// not make.
TEST_F(HardeningExhaustion, RelayWithoutDescriptorsNeverListenedAndAbortedTheServerAtRelease)
{
    const int kServicePort = testhost::testPort(0);
    EngineUnderTest engine = startEngine(
        m_plugin.plugin(), "{7a7a7a7a-0000-4000-8000-000000000007}", kServicePort);
    ASSERT_TRUE(engine.engine);
    const auto handler = makePtr<CountingHandler>();
    std::vector<Camera> cameras = openCameras(engine, handler.get(), 1000, kCameras);
    DescriptorHog hog;
    ASSERT_TRUE(hog.takeAll());

    EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::error,
        kRelayEndpointCaption, "Too many open files", kRelayStartTimeout));
    EXPECT_TRUE(hasEvent(engine.handler->events(), IPluginDiagnosticEvent::Level::error,
        kRelayEndpointCaption, "of 1024 descriptors in use"));
    std::this_thread::sleep_for(1500ms); //< A retry or two, each failing.
    EXPECT_EQ(1, countEvents(*engine.handler, kRelayEndpointCaption)) << "told once";

    // Descriptors free again: the relay opens, listens and delivers without being asked.
    hog.free();
    cameras.erase(cameras.begin(), cameras.begin() + 300);
    const std::string relayError = waitForRelay(engine, kServicePort);
    ASSERT_TRUE(relayError.empty()) << relayError;
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(cameras.back().id, "After"),
        [&]() { return handler->packets() > 0; }));

    // A receiver that dies while no descriptor is left is not replaced by the service port in
    // this process: it is started again as soon as it can be.
    const pid_t receiver = servicePortProcess();
    if (receiver != getpid())
    {
        ASSERT_TRUE(hog.takeAll());
        ASSERT_EQ(0, kill(receiver, SIGKILL));
        EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::error,
            kServicePortCaption, "the receiver cannot be started", kRelayStartTimeout));
        hog.free();
        const int64_t before = handler->packets();
        EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(cameras.back().id, "Again"),
            [&]() { return handler->packets() > before; }));
        EXPECT_NE(receiver, servicePortProcess());
        EXPECT_EQ(0, countEvents(*engine.handler, "AI engine receiver runs inside the server"));
    }

    // The service port in this process cannot be made without a descriptor: it is tried every
    // second, and the operator is told once, not every second.
    const int toldBefore = countEvents(*engine.handler, kServicePortCaption);
    ASSERT_TRUE(hog.takeAll());
    ASSERT_TRUE(testhost::doSetSettings(engine.engine.get(),
        {{"ServicePort", std::to_string(kServicePort)}, {"IsolateReceiver", "false"}}).isOk());
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(1, countEvents(*engine.handler, kServicePortCaption) - toldBefore);
    hog.free();
    const int64_t beforeInProcess = handler->packets();
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(cameras.back().id, "In process"),
        [&]() { return handler->packets() > beforeInProcess; }));

    releaseAll(&engine, &cameras, &hog);
    m_plugin.releaseExpectingNothingLeft();
}

// Released while its relay retries and the cameras wait for it, the last camera without a free
// descriptor: the context ends with no connect pending (libzmq would need a socket to complete
// one, and asserts when it cannot make it).
TEST_F(HardeningExhaustion, ReleaseWhileTheRelayRetriesWithoutDescriptors)
{
    releaseWaitingCamerasWithoutDescriptors(
        "{8b8b8b8b-0000-4000-8000-000000000008}", testhost::testPort(1), 2000,
        /*relayRetries*/ true);
}

// Released within the relay's start-up delay, before it ever tried, with cameras waiting; the
// last camera without a free descriptor.
TEST_F(HardeningExhaustion, ReleaseBeforeTheRelayStartedWithoutDescriptors)
{
    releaseWaitingCamerasWithoutDescriptors(
        "{9c9c9c9c-0000-4000-8000-000000000009}", testhost::testPort(2), 3000,
        /*relayRetries*/ false);
}

// Released half started: its agents' endpoint bound, its service port gone and not to be opened
// again for lack of descriptors (tried every second), whether its receiver died or the port
// was to move into this process. The release is quick and leaves nothing behind.
TEST_F(HardeningExhaustion, ReleaseWhileTheServicePortRetriesWithoutDescriptors)
{
    enum class Loss { receiverKilled, intoThisProcess };
    const struct
    {
        Loss loss;
        const char* engineId;
        int servicePort;
        int firstCamera;
    } cases[] = {
        {Loss::receiverKilled, "{adadadad-0000-4000-8000-00000000000a}",
            testhost::testPort(3), 4000},
        {Loss::intoThisProcess, "{bebebebe-0000-4000-8000-00000000000b}",
            testhost::testPort(4), 5000},
    };
    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.engineId);
        EngineUnderTest engine = startEngine(m_plugin.plugin(), c.engineId, c.servicePort);
        ASSERT_TRUE(engine.engine);
        const auto handler = makePtr<CountingHandler>();
        std::vector<Camera> cameras = openCameras(engine, handler.get(), c.firstCamera, 8);
        ASSERT_EQ("", waitForRelay(engine, c.servicePort));
        ASSERT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::info,
            kListeningCaption, "", kRelayStartTimeout));
        const pid_t receiver = servicePortProcess();
        if (c.loss == Loss::receiverKilled && receiver == getpid())
            continue; //< No receiver process to lose here.

        DescriptorHog hog;
        ASSERT_TRUE(hog.takeAll());
        if (c.loss == Loss::receiverKilled)
        {
            ASSERT_EQ(0, kill(receiver, SIGKILL));
        }
        else
        {
            ASSERT_TRUE(testhost::doSetSettings(engine.engine.get(),
                {{"ServicePort", std::to_string(c.servicePort)}, {"IsolateReceiver", "false"}})
                .isOk());
        }
        EXPECT_TRUE(waitForEvent(*engine.handler, IPluginDiagnosticEvent::Level::error,
            kServicePortCaption, "", kRelayStartTimeout));
        std::this_thread::sleep_for(1500ms); //< A retry or two, each failing.
        (void) hog.takeAll(); //< What the lost service port gave back.
        EXPECT_EQ(1, countEvents(*engine.handler, kListeningCaption)) << "listening again";

        releaseAll(&engine, &cameras, &hog);
    }
    m_plugin.releaseExpectingNothingLeft();
}

} // namespace
} // namespace skyloom::hardening
