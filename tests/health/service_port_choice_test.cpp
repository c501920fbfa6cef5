// Where the service port listens as the engine's settings arrive: without settings, with only
// refused values, and once a value was taken (a later refusal changes nothing).
#include <vector>

#include <gtest/gtest.h>

#include "relay/relay_settings.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

TEST(ServicePortChoice, PortFollowsWhatTheSettingsGave)
{
    enum Step { refuse, accept9922, accept9933 };
    const struct
    {
        const char* name;
        std::vector<Step> steps;
        int port;
    } cases[] = {
        {"no settings", {}, 9011},
        {"only refused values", {refuse, refuse}, 9911},
        {"taken", {accept9922}, 9922},
        {"refused after taken", {accept9922, refuse}, 9922},
        {"refused, then taken", {refuse, accept9933}, 9933},
        {"taken twice", {accept9922, accept9933, refuse}, 9933},
    };
    for (const auto& c: cases)
    {
        SCOPED_TRACE(c.name);
        ServicePortChoice choice;
        for (const Step step: c.steps)
        {
            if (step == refuse)
                choice.refuse();
            else
                choice.accept(step == accept9922 ? 9922 : 9933);
        }
        EXPECT_EQ(c.port, choice.port());
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
