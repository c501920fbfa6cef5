// What the handling of one message left out or shortened, as values: the camera's log lines, its
// counters and "Messages dropped" event, the offline check's report and the tests all read these,
// and nothing else. A drop names its reason (the counters' table), how many elements it covers,
// the element (a path into the message, e.g. "annotations[3]"; empty for the whole message or
// one of its members) and the detail that says why, as the log line and the event give it.
//
// Threads: plain values, made and read by one thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ingest_counters.h"

namespace nx::vms_server_plugins::analytics::sample {

struct Drop
{
    /** Unset: left out by a documented rule of the format, told to tools but not counted. */
    std::optional<DropReason> reason;
    uint64_t count = 1;
    /** The step of the handling that met it; the first word of its log line. */
    const char* operation = "";
    /** What its own log line says happened (log_texts); null: no line of its own. */
    const char* line = nullptr;
    std::string element;
    /** The text of the log line after `line`, and of the event; names the element if any. */
    std::string detail;
};

/** What one message had cut, told in the message's one "cut" line. */
struct Cuts
{
    size_t texts = 0; //< Texts shortened to the longest the server gets.
    size_t elements = 0; //< List elements beyond the most converted from one list.
    size_t objects = 0; //< Objects beyond the message's bound of attribute text.
    size_t attributeBound = 0; //< That bound, in bytes.

    [[nodiscard]] bool any() const { return texts > 0 || elements > 0 || objects > 0; }
};

/** Everything one message lost, in the order met. */
struct MessageDrops
{
    std::vector<Drop> drops;
    /** Counted drops whose values could not be kept (no memory): counted, told without detail. */
    DropCounts untold{};
    Cuts cuts;

    /** Elements left out (or texts cut) for `reason`, the untold ones included. */
    [[nodiscard]] uint64_t count(DropReason reason) const
    {
        uint64_t result = untold[static_cast<size_t>(reason)];
        for (const Drop& drop: drops)
        {
            if (drop.reason == reason)
                result += drop.count;
        }
        return result;
    }
};

} // namespace nx::vms_server_plugins::analytics::sample
