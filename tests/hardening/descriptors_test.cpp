// Descriptors through the loaded plugin library under the usual limit of 1024 per process: what
// each camera costs, and what happens when the process runs out. Its own executable: it lowers
// the process's descriptor limit before the engine starts.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <vector>

#include <gtest/gtest.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

using nx::sdk::makePtr;

const int kServicePort = testhost::testPort(0);
constexpr char kEngineId[] = "{1a1a1a1a-0000-4000-8000-000000000003}";
constexpr rlim_t kDescriptorLimit = 1024;

class HardeningDescriptors: public SharedEngineSuite<HardeningDescriptors>
{
protected:
    static void SetUpTestSuite()
    {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min(kDescriptorLimit, limit.rlim_max);
        ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &limit));
        s_beforeEngine = openDescriptorCount();
        startSharedEngine(kServicePort, kEngineId);
    }

    static int s_beforeEngine;
};

int HardeningDescriptors::s_beforeEngine = 0;

// Every camera had a ZeroMQ context of its own (8 descriptors, 3 threads): at 140 cameras the
// process aborted inside libzmq with "Too many open files".
TEST_F(HardeningDescriptors, ManyCamerasAbortedTheProcess)
{
    constexpr int kCameras = 256;
    const auto handler = makePtr<CountingHandler>();
    std::vector<Camera> cameras;
    for (int i = 0; i < kCameras; ++i)
    {
        cameras.emplace_back(cameraId(100 + i));
        ASSERT_TRUE(cameras.back().open(s_engine.engine.get(), handler.get())) << i;
    }
    // The last camera receives: every receive thread has its socket by then or soon after.
    ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(cameras.back().id, "Probe"),
        [&]() { return handler->packets() > 0; }));
    const int used = openDescriptorCount() - s_beforeEngine;
    std::cout << "[ MEASURED ] engine + " << kCameras << " cameras: " << used
        << " descriptors" << std::endl;
    EXPECT_LE(used, 2 * kCameras + 32);
    cameras.clear();
    expectOnlyEngineLeft();
}

// With no descriptor left, a camera says so and tries again; nothing aborts, and the camera
// works once descriptors are free again.
TEST_F(HardeningDescriptors, CameraWithoutDescriptorsRetriesAndRecovers)
{
#if defined(__has_feature)
    #if __has_feature(address_sanitizer)
    // The undefined-behaviour checks that come with it open a pipe to check each virtual call,
    // and report every call as bad when there is no descriptor for it.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors itself";
    #endif
#endif
    std::vector<int> hog;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        hog.push_back(fd);
    ASSERT_EQ(EMFILE, errno);

    const auto handler = makePtr<CountingHandler>();
    Camera camera(cameraId(90));
    const testhost::LogFile log;
    const bool opened = camera.open(s_engine.engine.get(), handler.get());
    std::this_thread::sleep_for(1500ms); //< A retry or two.

    for (const int fd: hog)
        close(fd);
    if (!opened)
    {
        // Refused to the server, with the reason; the server asks again.
        ASSERT_TRUE(camera.open(s_engine.engine.get(), handler.get()));
    }
    else
    {
        bool said = false;
        for (const std::string& line: log.lines())
        {
            said = said || (line.find("threadFuncZeromqProcess cannot create") != std::string::npos
                && line.find("Too many open files") != std::string::npos);
        }
        EXPECT_TRUE(said) << "no line says why the camera does not receive";
    }
    EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.id, "After"),
        [&]() { return handler->packets() > 0; }));
    camera.agent.reset();
    expectOnlyEngineLeft();
}

} // namespace
} // namespace skyloom::hardening
