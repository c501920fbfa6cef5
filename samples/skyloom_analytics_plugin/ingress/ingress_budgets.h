// What the service port's input may cost the server, for one engine (IngressBudgets):
//
// TextBudget: what it may put into the server's log and events: the receiver process's log
// lines and events, and the reports of AI engines refused, connected and disconnected
// (PeerReports), whichever process reads the port. A peer or a receiver that makes the service
// port say something for every connection must not write the server's log or its operators'
// event list full: kLinesPerWindow lines and kEventsPerWindow events per kWindow; what is beyond
// is left out, and the owners count and tell it. A window opens with the first line or event
// after the previous one has ended.
//
// The agents' CPU time for messages: what a receiver's messages cost beyond the relay's own
// reading, which the relay counts against the receiver's share of a core (IsolatedIngress).
//
// Ownership: one per engine (RelayShared), used by the engine's reports, the relay's ingress
// and the agents.
//
// Threads: any; thread-safe (the relay's thread, the in-process ZAP handler's thread, the
// agents' receive threads).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "common/clock.h"
#include "common/thread_annotations.h"

namespace nx::vms_server_plugins::analytics::sample {

class TextBudget
{
public:
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr int kLinesPerWindow = 600;
    static constexpr int kEventsPerWindow = 120;

    struct Verdict
    {
        bool pass = false;
        /** If it passes: the lines left out since the last one written. */
        uint64_t leftOut = 0;
    };

    /** One log line: whether it may be written, with the lines left out since the last one. */
    [[nodiscard]] Verdict line(Clock::time_point now) EXCLUDES(m_mutex);

    /**
     * The count of lines left out, if there are any and a line may be written now: the caller
     * writes that line, which counts as one. 0: nothing to write.
     */
    [[nodiscard]] uint64_t passLinesLeftOut(Clock::time_point now) EXCLUDES(m_mutex);

    /** One event without a line of its own. */
    [[nodiscard]] bool event(Clock::time_point now) EXCLUDES(m_mutex);

    /**
     * One report: an event and its log line, both or neither. A report left out is not counted
     * here (the lines left out are the receiver's): the reporter tells it in its summary.
     */
    [[nodiscard]] bool report(Clock::time_point now) EXCLUDES(m_mutex);

private:
    /** A new window if the last one has ended. */
    void roll(Clock::time_point now) REQUIRES(m_mutex);
    [[nodiscard]] uint64_t takeLinesLeftOut() REQUIRES(m_mutex);

    Mutex m_mutex;
    bool m_open GUARDED_BY(m_mutex) = false;
    Clock::time_point m_windowStart GUARDED_BY(m_mutex);
    int m_lines GUARDED_BY(m_mutex) = 0; //< In this window.
    int m_events GUARDED_BY(m_mutex) = 0; //< In this window.
    uint64_t m_linesLeftOut GUARDED_BY(m_mutex) = 0; //< Since the last line written.
};

struct IngressBudgets
{
    TextBudget text;
    /** CPU time (ns) that the agents' threads spent on messages, added as they go. */
    std::atomic<int64_t> agentsCpuNs{0};
};

} // namespace nx::vms_server_plugins::analytics::sample
