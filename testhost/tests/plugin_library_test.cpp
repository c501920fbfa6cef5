#include <chrono>

#include <gtest/gtest.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/plugin_library.h>

namespace skyloom::testhost {
namespace {

using namespace std::chrono_literals;

TEST(PluginLibrary, LoadFailuresSayWhy)
{
    PluginLibrary missing;
    EXPECT_FALSE(missing.load("/nonexistent/libnothing.so"));
    EXPECT_NE(missing.errorText().find("/nonexistent/libnothing.so"), std::string::npos);
    EXPECT_FALSE(missing.isLoaded());
    EXPECT_FALSE(missing.createPlugin());

    PluginLibrary notAPlugin;
    EXPECT_FALSE(notAPlugin.load(TESTHOST_NOT_A_PLUGIN_PATH));
    EXPECT_NE(notAPlugin.errorText().find("createNxPlugin"), std::string::npos)
        << notAPlugin.errorText();
}

TEST(PluginLibrary, SetsUpTheContextOnceAndCountsThePluginsObjects)
{
    PluginLibrary first;
    ASSERT_TRUE(first.load(TESTHOST_FAKE_PLUGIN_PATH, "first_name")) << first.errorText();
    EXPECT_EQ(first.sdkVersion(), "4.1.0 R9");
    const auto stats = first.registryStats();
    ASSERT_TRUE(stats);

    PluginLibrary second; //< The same library again: dlopen hands back the same copy.
    ASSERT_TRUE(second.load(TESTHOST_FAKE_PLUGIN_PATH, "second_name")) << second.errorText();
    EXPECT_FALSE(second.setUpByThisLoader());
    EXPECT_EQ(second.registryStats(), stats);
    const int64_t createdBefore = stats->created(); //< The process may have loaded it before.

    {
        const auto plugin = second.createPlugin();
        ASSERT_TRUE(plugin) << second.errorText();
        // Named and given a registry once, by whichever loader came first.
        EXPECT_EQ(getManifest(plugin.get()).manifest,
            "name=first_name;setNameCalls=1;registry=yes");

        const auto engine = obtainEngine(plugin.get());
        EXPECT_FALSE(engine.object);
        EXPECT_EQ(engine.errorCode, nx::sdk::ErrorCode::otherError);
        EXPECT_EQ(engine.errorMessage, "no engine here");
        EXPECT_GE(stats->alive(), 1);
    }
    EXPECT_TRUE(stats->waitUntilBalanced(0ms));
    // The plugin, its manifest text, the error message.
    EXPECT_EQ(stats->created() - createdBefore, 3);
    EXPECT_EQ(stats->anomalies(), 0);
}

} // namespace
} // namespace skyloom::testhost
