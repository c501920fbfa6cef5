#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "health/rate_limiter.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

TEST(RateLimiter, LetsNPerWindowThroughAndTellsTheCountLeftOut)
{
    enum class Op { offer, wouldPass, passLeftOut, takeLeftOut };
    constexpr int64_t kLeftOut = -1;
    struct Step
    {
        Op op;
        const char* key;
        int second;
        /** offer: the count it tells, or kLeftOut; wouldPass: 1 or 0; the others: the count. */
        int64_t expected;
        bool anyLeftOut; //< Afterwards.
    };
    const Step steps[] = {
        {Op::offer, "a", 0, 0, false},
        {Op::offer, "a", 1, 0, false},
        {Op::offer, "a", 2, kLeftOut, true},
        {Op::wouldPass, "a", 9, 0, true},
        {Op::passLeftOut, "a", 9, 0, true}, //< No line of its own in a full window either.
        {Op::wouldPass, "a", 10, 1, true},
        {Op::offer, "a", 10, 1, false}, //< The first of a new window tells the count.
        {Op::offer, "a", 11, 0, false},
        {Op::offer, "a", 12, kLeftOut, true},
        {Op::passLeftOut, "a", 20, 1, false}, //< A line of its own: the first of a new window.
        {Op::offer, "a", 21, 0, false},
        {Op::offer, "a", 22, kLeftOut, true},
        {Op::takeLeftOut, "a", 23, 1, false}, //< Whatever the rate; a new window.
        {Op::offer, "b", 24, 0, false}, //< Kinds are limited apart.
        {Op::offer, "b", 24, 0, false},
        {Op::offer, "b", 24, kLeftOut, true},
        {Op::offer, "c", 25, kLeftOut, true}, //< Two kinds in their window: c is not remembered.
        {Op::wouldPass, "c", 25, 0, true},
        {Op::offer, "c", 34, 0, false}, //< Full: the ended windows are forgotten, b's count too.
        {Op::offer, "b", 34, 0, false},
    };

    RateLimiter<std::string> limiter(2, std::chrono::seconds(10), 2);
    const Clock::time_point start = Clock::now();
    int index = 0;
    for (const Step& step: steps)
    {
        const Clock::time_point now = start + std::chrono::seconds(step.second);
        int64_t result = 0;
        switch (step.op)
        {
            case Op::offer:
            {
                const auto verdict = limiter.offer(step.key, now);
                result = verdict.pass ? static_cast<int64_t>(verdict.leftOut) : kLeftOut;
                break;
            }
            case Op::wouldPass:
                result = limiter.wouldPass(step.key, now) ? 1 : 0;
                break;
            case Op::passLeftOut:
                result = static_cast<int64_t>(limiter.passLeftOut(step.key, now));
                break;
            case Op::takeLeftOut:
                result = static_cast<int64_t>(limiter.takeLeftOut(step.key, now));
                break;
        }
        EXPECT_EQ(step.expected, result) << "step " << index;
        EXPECT_EQ(step.anyLeftOut, limiter.anyLeftOut()) << "step " << index;
        ++index;
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
