// Resident size of a device agent over a million messages that name 100,000 distinct tracks:
// licence-plate alarms whose object list teaches the caption, plate and group caches, each
// followed by a detection of the same track that reads them. Everything goes through
// handleMessage() on this thread, without sockets. The caches keep at most 128 tracks per kind,
// so nothing should grow. Options:
//   --messages=N  (default 1000000)   --tracks=N  (default 100000)   --results=FILE
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "agent_settings.h"
#include "direct_agent.h"
#include "messages.h"
#include "results.h"
#include "stats.h"

namespace {

using namespace skyloom::bench;

constexpr int64_t kTargetGrowthBytes = 1024 * 1024;
constexpr int kWarmUpMessages = 2000;

struct Options
{
    long long messages = 1000000;
    int tracks = 100000;
    std::string resultsPath;
};

Options parseOptions(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        const auto value = [&arg](const char* name) -> const char*
        {
            const size_t length = std::strlen(name);
            return arg.compare(0, length, name) == 0 ? arg.c_str() + length : nullptr;
        };
        if (const char* v = value("--messages="))
            options.messages = std::atoll(v);
        else if (const char* v = value("--tracks="))
            options.tracks = std::atoi(v);
        else if (const char* v = value("--results="))
            options.resultsPath = v;
        else
            throw std::invalid_argument("unknown option " + arg);
    }
    if (options.messages <= 0 || options.tracks <= 0)
        throw std::invalid_argument("--messages and --tracks must be positive");
    return options;
}

/** Alarms and detections in turn; both name track (index / 2) % tracks. */
class MessageStream
{
public:
    explicit MessageStream(int tracks):
        m_tracks(tracks),
        m_alarm(readSampleMessage("04_lpr_alarm_1.json"), {"tid", "lp_text"}),
        m_detection(readSampleMessage("01_meta_face.json"), {"track_id"})
    {
    }

    const std::string& message(long long index)
    {
        const int track = static_cast<int>((index / 2) % m_tracks);
        if (index % 2 == 0)
        {
            char plate[16];
            std::snprintf(plate, sizeof(plate), "%02dGA%04d", track / 10000, track % 10000);
            m_text = m_alarm.make({std::to_string(track), jsonString(plate)});
        }
        else
        {
            m_detection.makeInto(&m_text, std::to_string(track));
        }
        return m_text;
    }

    /** Packets the agent pushes for a pair: the event and its plate object; the detection. */
    static constexpr int kPacketsPerPair = 3;

private:
    const int m_tracks;
    const MessageTemplate m_alarm;
    const MessageTemplate m_detection;
    std::string m_text;
};

} // namespace

int main(int argc, char** argv)
{
    try
    {
        const Options options = parseOptions(argc, argv);

        // Every detection is gated by the caption cache, as with the plugin's default settings.
        auto settings = DirectAgent::defaultSettings();
        settings[setting::kEnableMetadata.name] = setting::kEnableMetadata.defaultValue.text;
        DirectAgent agent(settings);
        MessageStream stream(options.tracks);

        const int64_t coldBytes = residentBytes();
        for (long long i = 0; i < kWarmUpMessages; ++i)
            agent.handle(stream.message(i));
        const int64_t warmBytes = residentBytes();

        const double startCpu = processCpuSeconds();
        for (long long i = 0; i < options.messages; ++i)
            agent.handle(stream.message(kWarmUpMessages + i));
        const double cpuSeconds = processCpuSeconds() - startCpu;
        const int64_t afterBytes = residentBytes();

        const long long handled = kWarmUpMessages + options.messages;
        const long long expectedPackets = handled / 2 * MessageStream::kPacketsPerPair
            + (handled % 2) * 2;
        if (agent.packets() != expectedPackets)
        {
            std::cerr << "skyloom-bench-memory: the agent pushed " << agent.packets()
                << " packets, expected " << expectedPackets << std::endl;
            return 1;
        }

        const int64_t growth = afterBytes - warmBytes;
        const auto kib = [](int64_t bytes) { return fixed(bytes / 1024.0, 0) + " KiB"; };
        const std::string group = "memory, " + std::to_string(options.messages)
            + " messages, " + std::to_string(options.tracks) + " tracks";
        const std::vector<ResultRow> rows{
            {group, "RSS after " + std::to_string(kWarmUpMessages) + "-message warm-up",
                kib(warmBytes), "", "", "", ""},
            {group, "RSS after the run", kib(afterBytes), "", "", "", ""},
            {group, "RSS growth over the run", kib(growth), "", "",
                "<= " + kib(kTargetGrowthBytes), verdict(growth <= kTargetGrowthBytes)},
            {group, "RSS growth from a fresh agent", kib(afterBytes - coldBytes), "", "", "",
                ""},
            {group, "CPU per message (mixed)",
                fixed(cpuSeconds * 1e6 / static_cast<double>(options.messages), 2) + " us",
                "", "", "", ""},
        };
        std::cout << formatTable(rows) << std::flush;
        if (!options.resultsPath.empty() && !appendResults(options.resultsPath, rows))
        {
            std::cerr << "skyloom-bench-memory: cannot write " << options.resultsPath << std::endl;
            return 1;
        }
        return 0;
    }
    catch (const std::exception& e)
    {
        std::cerr << "skyloom-bench-memory: " << e.what() << std::endl;
        return 1;
    }
}
