// What the operator is told of refused and connecting peers: once a minute per address and
// reason, a bounded number of addresses a minute with the rest in one summary, all within the
// engine's budget of lines and events; every note counted.
#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ingress/ingress_policy.h"
#include "ingress/peer_reports.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

/** Reports and summaries as texts, and the reporter under test. */
struct Recorder
{
    Recorder():
        reports(
            [this](const std::string& address, const std::string& reason, int64_t unreported)
            { lines.push_back(address + " " + reason + " " + std::to_string(unreported)); },
            [this](const PeerReports::Summary& summary)
            {
                lines.push_back(std::string("summary ") + (summary.atLeast ? ">=" : "")
                    + std::to_string(summary.addresses) + " addresses "
                    + std::to_string(summary.notes) + " notes "
                    + std::to_string(summary.period.count()) + " s");
            },
            budget, &counted)
    {
    }

    TextBudget budget;
    std::atomic<uint64_t> counted{0};
    std::vector<std::string> lines;
    PeerReports reports;
};

std::string address(int n)
{
    return "10.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
}

TEST(PeerReports, RefusalsAreReportedOncePerMinutePerAddressAndReason)
{
    Recorder recorder;
    const auto start = PeerReports::Clock::now();
    recorder.reports.note("10.0.0.1", kRefusedKey, start);
    recorder.reports.note("10.0.0.1", kRefusedKey, start + 1s);
    recorder.reports.note("10.0.0.1", kRefusedKey, start + 2s);
    recorder.reports.note("10.0.0.1", kRefusedAddress, start + 3s);
    recorder.reports.note("10.0.0.2", kRefusedKey, start + 4s);
    recorder.reports.note("10.0.0.1", kRefusedKey, start + 61s);
    EXPECT_EQ((std::vector<std::string>{"10.0.0.1 unknown key 0",
        "10.0.0.1 address not allowed 0", "10.0.0.2 unknown key 0", "10.0.0.1 unknown key 2"}),
        recorder.lines);
    EXPECT_EQ(6u, recorder.counted.load());
}

// Every new address was reported: 10,000 refused addresses made 10,000 events and lines.
TEST(PeerReports, AddressesBeyondTheCapOfAMinuteWereEachReported)
{
    constexpr int kAddresses = 10'000;
    Recorder recorder;
    const auto start = PeerReports::Clock::now();
    for (int i = 0; i < kAddresses; ++i)
        recorder.reports.note(address(i), kRefusedAddress, start + i * 5ms); //< 50 s.
    ASSERT_EQ(PeerReports::kAddressesPerInterval, recorder.lines.size());
    EXPECT_EQ(address(0) + " address not allowed 0", recorder.lines.front());

    // Nothing more within the minute; the summary once it has ended, at the relay's wake-up.
    recorder.reports.tick(start + 59s);
    EXPECT_EQ(PeerReports::kAddressesPerInterval, recorder.lines.size());
    EXPECT_EQ(1000, recorder.reports.untilDue(start + 59s).count());
    recorder.reports.tick(start + 60s);
    ASSERT_EQ(PeerReports::kAddressesPerInterval + 1, recorder.lines.size());
    EXPECT_EQ("summary >=" + std::to_string(PeerReports::kMaxSummarised) + " addresses "
        + std::to_string(kAddresses - PeerReports::kAddressesPerInterval) + " notes 60 s",
        recorder.lines.back());
    EXPECT_EQ(std::chrono::hours(1), recorder.reports.untilDue(start + 60s));
    EXPECT_EQ(uint64_t(kAddresses), recorder.counted.load());

    // A new minute reports addresses one by one again.
    recorder.reports.note(address(kAddresses), kRefusedAddress, start + 61s);
    EXPECT_EQ(address(kAddresses) + " address not allowed 0", recorder.lines.back());
}

// Reports were not held to the engine's budget: with it spent by the receiver's events, they
// still made an event and a line each.
TEST(PeerReports, ReportsBeyondTheEnginesBudgetWereWrittenAnyway)
{
    Recorder recorder;
    const auto start = PeerReports::Clock::now();
    for (int i = 0; i < TextBudget::kEventsPerWindow - 1; ++i)
        ASSERT_TRUE(recorder.budget.event(start));
    recorder.reports.note("10.0.0.1", kRefusedKey, start);
    recorder.reports.note("10.0.0.2", kRefusedKey, start + 1s);
    recorder.reports.note("10.0.0.3", kRefusedKey, start + 2s);
    EXPECT_EQ(std::vector<std::string>{"10.0.0.1 unknown key 0"}, recorder.lines);
    EXPECT_FALSE(recorder.budget.event(start + 3s));

    // Due at the end of the minute; the budget's window opened at `start` as well.
    recorder.reports.tick(start + 60s);
    ASSERT_EQ(2u, recorder.lines.size());
    EXPECT_EQ("summary 2 addresses 2 notes 60 s", recorder.lines.back());
}

TEST(PeerReports, SummaryHeldBackByTheBudgetIsTriedAgainAndKeepsCounting)
{
    Recorder recorder;
    const auto start = PeerReports::Clock::now();
    for (int i = 0; i <= int(PeerReports::kAddressesPerInterval); ++i)
        recorder.reports.note(address(i), kRefusedKey, start);
    // The budget's next window, used up as the summary falls due.
    for (int i = 0; i < TextBudget::kEventsPerWindow; ++i)
        ASSERT_TRUE(recorder.budget.event(start + 60s));
    recorder.reports.tick(start + 60s);
    EXPECT_EQ(PeerReports::kAddressesPerInterval, recorder.lines.size());
    EXPECT_EQ(1000, recorder.reports.untilDue(start + 60s).count());
    recorder.reports.note("10.9.9.9", kRefusedKey, start + 61s); //< No budget: summarised.
    recorder.reports.tick(start + 119s);
    EXPECT_EQ(PeerReports::kAddressesPerInterval, recorder.lines.size());
    recorder.reports.tick(start + 120s);
    ASSERT_EQ(PeerReports::kAddressesPerInterval + 1, recorder.lines.size());
    EXPECT_EQ("summary 2 addresses 2 notes 120 s", recorder.lines.back());
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
