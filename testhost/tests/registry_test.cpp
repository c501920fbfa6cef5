#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include <skyloom/testhost/registry.h>

namespace skyloom::testhost {
namespace {

using namespace std::chrono_literals;

// Only addresses are recorded, so any distinct addresses stand in for objects.
nx::sdk::IRefCountable* fakeObject(int i)
{
    static char storage[8];
    return reinterpret_cast<nx::sdk::IRefCountable*>(&storage[i]);
}

TEST(Registry, StatsOutliveTheRegistry)
{
    const auto stats = std::make_shared<RegistryStats>();
    nx::sdk::IRefCountableRegistry* registry = new Registry(stats);
    registry->notifyCreated(fakeObject(0), 1);
    registry->notifyCreated(fakeObject(1), 1);
    registry->notifyDestroyed(fakeObject(0), 0);
    EXPECT_FALSE(stats->registryDeleted());

    delete registry; //< As the plugin's library context does at unload.

    EXPECT_TRUE(stats->registryDeleted());
    EXPECT_EQ(stats->created(), 2);
    EXPECT_EQ(stats->destroyed(), 1);
    EXPECT_EQ(stats->alive(), 1);
    EXPECT_EQ(stats->anomalies(), 0);
    EXPECT_EQ(stats.use_count(), 1);
}

TEST(Registry, ContractBreachesCountAsAnomalies)
{
    struct Case
    {
        const char* name;
        void (*run)(nx::sdk::IRefCountableRegistry*);
        int64_t alive;
    };
    const Case cases[] = {
        {"destroyed unknown", [](auto* r) { r->notifyDestroyed(fakeObject(0), 0); }, 0},
        {"created with count 2", [](auto* r) { r->notifyCreated(fakeObject(0), 2); }, 1},
        {"destroyed with count 1",
            [](auto* r)
            {
                r->notifyCreated(fakeObject(0), 1);
                r->notifyDestroyed(fakeObject(0), 1);
            },
            0},
        {"created twice",
            [](auto* r)
            {
                r->notifyCreated(fakeObject(0), 1);
                r->notifyCreated(fakeObject(0), 1);
            },
            1},
    };
    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.name);
        const auto stats = std::make_shared<RegistryStats>();
        Registry registry(stats);
        c.run(&registry);
        EXPECT_EQ(stats->anomalies(), 1);
        EXPECT_EQ(stats->alive(), c.alive);
    }
}

TEST(Registry, WaitUntilBalanced)
{
    const auto stats = std::make_shared<RegistryStats>();
    Registry registry(stats);
    EXPECT_TRUE(stats->waitUntilBalanced(0ms));

    registry.notifyCreated(fakeObject(0), 1);
    registry.notifyCreated(fakeObject(1), 1);
    EXPECT_FALSE(stats->waitUntilBalanced(30ms));

    std::thread releaser(
        [&registry]()
        {
            registry.notifyDestroyed(fakeObject(1), 0);
            std::this_thread::sleep_for(20ms);
            registry.notifyDestroyed(fakeObject(0), 0);
        });
    EXPECT_TRUE(stats->waitUntilBalanced(10s));
    releaser.join();
    EXPECT_EQ(stats->alive(), 0);
}

} // namespace
} // namespace skyloom::testhost
