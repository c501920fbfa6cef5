// Cost of the device agent's whole handling of one message (strict parse, conversions, packet
// building, push to a handler that only counts) next to the parse alone of the same text, per
// message kind: simdjson's DOM parse with the parser reused (the floor, which the target is held
// to) and nlohmann::json::parse (what the handling used to parse with); prints the ratios. Extra option (before the benchmark's own):
//   --results=FILE   append the result rows to FILE for the combined report.
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <simdjson.h>

#include "direct_agent.h"
#include "messages.h"
#include "results.h"

namespace {

using namespace skyloom::bench;

/** Handling against the simdjson parse of the same text. */
constexpr double kTargetRatio = 3.0;

struct MessageKind
{
    const char* name;
    const char* file;
    int packetsPerMessage; //< What the agent pushes for one such message.
};

// Meta: one object packet. Occupancy: counter packet and event packet (the object list is
// empty). LPR: event packet and the object packet of its plate.
const MessageKind kKinds[] = {
    {"meta_face", "01_meta_face.json", 1},
    {"occupancy_alarm", "02_occupancy_alarm.json", 2},
    {"lpr_alarm", "04_lpr_alarm_1.json", 2},
};

void parseOnly(benchmark::State& state, const std::string& text)
{
    for (auto _: state)
    {
        nlohmann::json message = nlohmann::json::parse(
            text.data(), text.data() + text.size(), nullptr, true, false);
        benchmark::DoNotOptimize(message);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

/** The parser reused and the text padded once, as a hand-written road at the floor would. */
void simdjsonParseOnly(benchmark::State& state, const std::string& text)
{
    simdjson::dom::parser parser;
    const simdjson::padded_string padded(text);
    for (auto _: state)
    {
        simdjson::dom::element message;
        if (parser.parse(padded).get(message) != simdjson::SUCCESS)
        {
            state.SkipWithError("simdjson did not parse the message");
            break;
        }
        benchmark::DoNotOptimize(message);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void handleMessage(benchmark::State& state, const std::string& text, int packetsPerMessage)
{
    DirectAgent agent;
    for (auto _: state)
        agent.handle(text);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));

    // A message that fails to convert is cheap: without this check a broken conversion would
    // look like a fast one.
    if (agent.packets() != static_cast<int64_t>(state.iterations()) * packetsPerMessage)
    {
        state.SkipWithError(("the agent pushed " + std::to_string(agent.packets())
            + " packets, expected " + std::to_string(packetsPerMessage) + " per message")
            .c_str());
    }
}

/** Keeps the CPU time per iteration of each benchmark: the median when repeated. */
class CollectingReporter: public benchmark::ConsoleReporter
{
public:
    virtual void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run: runs)
        {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.function_name;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                m_median[name] = run.GetAdjustedCPUTime();
            else if (run.run_type == Run::RT_Iteration)
                m_single[name] = run.GetAdjustedCPUTime();
        }
    }

    /** Nanoseconds per iteration, or a negative value if the benchmark did not run. */
    double cpuTimeNs(const std::string& name) const
    {
        if (const auto it = m_median.find(name); it != m_median.end())
            return it->second;
        if (const auto it = m_single.find(name); it != m_single.end())
            return it->second;
        return -1;
    }

private:
    std::map<std::string, double> m_median;
    std::map<std::string, double> m_single;
};

std::string takeResultsOption(int* argc, char** argv)
{
    static const char kOption[] = "--results=";
    std::string path;
    int kept = 1;
    for (int i = 1; i < *argc; ++i)
    {
        if (std::strncmp(argv[i], kOption, sizeof(kOption) - 1) == 0)
            path = argv[i] + sizeof(kOption) - 1;
        else
            argv[kept++] = argv[i];
    }
    *argc = kept;
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string resultsPath = takeResultsOption(&argc, argv);

    std::vector<std::string> texts;
    try
    {
        for (const MessageKind& kind: kKinds)
            texts.push_back(readSampleMessage(kind.file));
    }
    catch (const std::exception& e)
    {
        std::cerr << "skyloom-bench-messages: " << e.what() << std::endl;
        return 1;
    }

    for (size_t i = 0; i < std::size(kKinds); ++i)
    {
        const MessageKind& kind = kKinds[i];
        const std::string& text = texts[i];
        benchmark::RegisterBenchmark((std::string("json_parse/") + kind.name).c_str(),
            [text](benchmark::State& state) { parseOnly(state, text); });
        benchmark::RegisterBenchmark((std::string("simdjson_parse/") + kind.name).c_str(),
            [text](benchmark::State& state) { simdjsonParseOnly(state, text); });
        benchmark::RegisterBenchmark((std::string("handleMessage/") + kind.name).c_str(),
            [text, kind](benchmark::State& state)
            {
                handleMessage(state, text, kind.packetsPerMessage);
            });
    }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 2;
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::vector<ResultRow> rows;
    for (size_t i = 0; i < std::size(kKinds); ++i)
    {
        const MessageKind& kind = kKinds[i];
        const double parseNs = reporter.cpuTimeNs(std::string("simdjson_parse/") + kind.name);
        const double nlohmannNs = reporter.cpuTimeNs(std::string("json_parse/") + kind.name);
        const double handleNs = reporter.cpuTimeNs(std::string("handleMessage/") + kind.name);
        if (parseNs <= 0 || handleNs <= 0 || nlohmannNs <= 0)
            continue; //< Filtered out or failed; the console shows which.
        const std::string metric =
            std::string(kind.name) + ", " + std::to_string(texts[i].size()) + " B";
        const double ratio = handleNs / parseNs;
        rows.push_back({"message handling (CPU per message) vs simdjson parse", metric,
            fixed(handleNs / 1000, 2) + " us", fixed(parseNs / 1000, 2) + " us",
            fixed(ratio, 2) + "x", "<= " + fixed(kTargetRatio, 2) + "x",
            verdict(ratio <= kTargetRatio)});
        rows.push_back({"message handling (CPU per message) vs nlohmann::json::parse", metric,
            fixed(handleNs / 1000, 2) + " us", fixed(nlohmannNs / 1000, 2) + " us",
            fixed(handleNs / nlohmannNs, 2) + "x", "", ""});
    }

    std::cout << "\nhandleMessage (plugin) next to the simdjson parse and nlohmann::json::parse "
        "alone (baselines):\n"
        << formatTable(rows) << std::flush;
    if (!resultsPath.empty() && !appendResults(resultsPath, rows))
    {
        std::cerr << "skyloom-bench-messages: cannot write " << resultsPath << std::endl;
        return 1;
    }
    return rows.size() == 2 * std::size(kKinds) ? 0 : 1;
}
