// What the operator is told of the AI engines' peers for one kind of report (refused, connected,
// disconnected): a log line and an event per report, at most one a minute for each address and
// reason (the next one says how many were left out), at most kAddressesPerInterval addresses
// one by one per kInterval, and each report within the engine's TextBudget. A peer that appears
// under many addresses (an IPv6 range), or a receiver that makes them up, is told in one summary
// when the interval ends: how many more addresses, how many reports in all. Every note is
// counted, reported or not.
//
// Threads: any; thread-safe (the relay's thread, the in-process ZAP handler's thread). The
// callbacks run outside the lock, on the calling thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "common/clock.h"
#include "common/thread_annotations.h"
#include "health/rate_limiter.h"
#include "ingress_budgets.h"

namespace nx::vms_server_plugins::analytics::sample {

class PeerReports
{
public:
    using Clock = sample::Clock;
    static constexpr std::chrono::seconds kInterval{60};
    /** Addresses reported one by one within an interval; the rest go into its summary. */
    static constexpr size_t kAddressesPerInterval = 16;
    /** Addresses told apart in a summary; beyond, it says "at least". */
    static constexpr size_t kMaxSummarised = 4096;
    /** How soon a summary that the budget held back is tried again. */
    static constexpr std::chrono::seconds kRetry{1};

    /** Called with the address and reason, and how many notes of theirs were not reported. */
    using Report = std::function<void(
        const std::string& address, const std::string& reason, int64_t unreported)>;

    /** The notes of an interval (or more) that were not reported one by one. */
    struct Summary
    {
        uint64_t addresses = 0;
        bool atLeast = false; //< More addresses than kMaxSummarised were told apart.
        uint64_t notes = 0;
        std::chrono::seconds period{0}; //< From the interval's start to the summary.
    };
    using Summarise = std::function<void(const Summary& summary)>;

    /** `counted`, if given, is bumped for every note, reported or not. */
    PeerReports(Report report, Summarise summarise, TextBudget& budget,
        std::atomic<uint64_t>* counted = nullptr);

    /** One refusal (connection, ...) of the address: reported, left out or summarised. */
    void note(const std::string& address, const std::string& reason, Clock::time_point now)
        EXCLUDES(m_mutex);

    /** Writes the summary of an interval that has ended, if there is one and it may be now. */
    void tick(Clock::time_point now) EXCLUDES(m_mutex);

    /** How long until tick() has work. */
    [[nodiscard]] std::chrono::milliseconds untilDue(Clock::time_point now) const
        EXCLUDES(m_mutex);

private:
    /** The notes not reported one by one since `since` (an interval's start). */
    struct Pending
    {
        Clock::time_point since;
        std::set<std::string> addresses; //< At most kMaxSummarised.
        bool atLeast = false;
        uint64_t notes = 0;
    };

    /** What note() decided, to be acted upon outside the lock. */
    struct Decision
    {
        std::optional<Summary> summary; //< Of the interval that ended before this note.
        bool report = false;
        uint64_t unreported = 0;
    };

    [[nodiscard]] Decision decide(
        const std::string& address, const std::string& reason, Clock::time_point now)
        REQUIRES(m_mutex);
    /** Puts the notes into the summary of the interval that is open. */
    void summarise(const std::string& address, uint64_t notes) REQUIRES(m_mutex);
    /** The summary, once its interval has ended and if the budget allows it now. */
    [[nodiscard]] std::optional<Summary> takeSummary(Clock::time_point now) REQUIRES(m_mutex);
    /** Opens an interval if none is open or the last has ended. */
    void openInterval(Clock::time_point now) REQUIRES(m_mutex);

    const Report m_report;
    const Summarise m_summarise;
    TextBudget& m_budget;
    std::atomic<uint64_t>* const m_counted;

    mutable Mutex m_mutex;
    /** By address and reason. */
    RateLimiter<std::pair<std::string, std::string>> m_rate GUARDED_BY(m_mutex){
        1, kInterval, kMaxSummarised};
    /** The start of the interval that is open; none before the first note. */
    std::optional<Clock::time_point> m_intervalStart GUARDED_BY(m_mutex);
    /** Addresses reported one by one in this interval. */
    std::set<std::string> m_reported GUARDED_BY(m_mutex);
    Pending m_pending GUARDED_BY(m_mutex);
    /** When the summary is tried again, once the budget held it back. */
    std::optional<Clock::time_point> m_retryAt GUARDED_BY(m_mutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
