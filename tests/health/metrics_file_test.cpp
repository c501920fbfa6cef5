// The metrics file: its text read back by prometheus_client's parser, with camera ids that need
// every escape of the format; what it may replace (a new file or the engine's own, nothing
// else, and only in a directory that no other user may write); its replacement, which leaves
// either the old file or the new one and never a temporary file; and that a rename race on its
// directory never leads a write outside the directory that was checked.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "health/metrics_file.h"
#include "health/relay_health.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

namespace fs = std::filesystem;

/** A fresh directory under the temporary directory, removed with everything in it. */
class TemporaryDirectory
{
public:
    TemporaryDirectory()
    {
        std::string pattern = (fs::temp_directory_path() / "skyloom-health-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::set<std::string> entries(const fs::path& directory)
{
    std::set<std::string> names;
    for (const auto& entry: fs::directory_iterator(directory))
        names.insert(entry.path().filename().string());
    return names;
}

/** What prometheus_client's parser makes of the file: the families as JSON. */
nlohmann::json parsedByPrometheusClient(const fs::path& file)
{
#ifdef SKYLOOM_SYSTEM_PYTHON
    const std::string command = std::string(SKYLOOM_SYSTEM_PYTHON) + " " + SKYLOOM_PARSE_METRICS
        + " '" + file.string() + "'";
    FILE* const pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr)
        return {};
    std::string output;
    char buffer[4096];
    while (const size_t n = std::fread(buffer, 1, sizeof(buffer), pipe))
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << "the parser refused the text (is python3-prometheus-client there?)";
    return nlohmann::json::parse(output, nullptr, /*allow_exceptions*/ false);
#else
    (void) file;
    return {};
#endif
}

TEST(MetricsFile, TextParsesBackToTheCountersWithAwkwardCameraIds)
{
#ifndef SKYLOOM_SYSTEM_PYTHON
    GTEST_SKIP() << "no /usr/bin/python3";
#endif
    EngineSnapshot engine;
    engine.received = 101;
    engine.receivedBytes = 111;
    engine.relayed = 102;
    engine.noCamera = 103;
    engine.enginesConnected = 2;
    engine.connections = 105;
    engine.disconnects = 106;
    engine.refusedPeers = 107;
    engine.receiverRestarts = 108;
    engine.receiverLost = 109;
    engine.tooLarge = 110;
    engine.refusedByReason = {1, 2, 3, 4, 5, 6};
    engine.refusedAddresses = 3;
    const MetricsSource source{"{5a4d2e1c-\"7b3f\"}", "1.2.3", 1700000000456};
    EngineState state;
    state.servicePort = 9981;
    state.listening = true;
    state.receiverMode = EngineState::ReceiverMode::inServer;
    state.encryption = true;
    state.diagnosticCopyOpen = true;
    state.diagnosticCopyWatchers = 2;
    state.engineQueueBudgetBytes = 256;
    state.cameraQueueBudgetBytes = 32;

    const std::vector<std::string> ids = {"quote\"d", "back\\slash", "line\nfeed",
        "literal\\n", "ends with\\", "камера-東京-Ü", "{a}=b,c=\"d\"}"};
    std::vector<CameraSnapshot> cameras;
    for (size_t i = 0; i < ids.size(); ++i)
    {
        CameraSnapshot camera;
        camera.cameraId = ids[i];
        camera.received = 10 * i + 1;
        camera.converted = 10 * i + 2;
        camera.objectPackets = 10 * i + 3;
        camera.eventPackets = 10 * i + 4;
        camera.queuedBytes = 10 * static_cast<int64_t>(i) + 5;
        camera.lastMessageUnixMs = i == 0 ? 0 : 1700000000123 + static_cast<int64_t>(i);
        camera.withoutEngineTime = 10 * i + 6;
        camera.outsideFrameHistory = 10 * i + 7;
        // The first camera has no delay yet, the second an engine time ahead of the video.
        if (i > 0)
        {
            camera.engineDelayMedianUs = i == 1 ? -1500 : 200000 + static_cast<int64_t>(i);
            camera.engineDelayP95Us = 3600000000 + static_cast<int64_t>(i);
            camera.engineDelayState = DelayState::measured;
        }
        else
        {
            camera.engineDelayState = DelayState::otherClock;
        }
        // Delays since the start: one ahead of the video (as 0), one on a bound, one between
        // bounds, one at the end of the range.
        for (const int64_t delayUs: {-1500, 250000, 250001, 600000000})
        {
            for (size_t n = 0; n < i; ++n)
                camera.engineDelayHistogram.observe(delayUs);
        }
        for (size_t r = 0; r < kDropReasonCount; ++r)
        {
            camera.drops[r] = 100 * i + r; //< The first camera's first reason stays 0.
            camera.cuts[r] = 1000 * i + r;
        }
        cameras.push_back(camera);
    }

    // Sample name and labels → value, as the families are named in the documentation; every
    // sample names the engine, without the braces of its id, as the cameras are named.
    using Labels = std::map<std::string, std::string>;
    using Key = std::pair<std::string, Labels>;
    const std::string engineId = "5a4d2e1c-\"7b3f\"";
    const Labels engineLabel = {{"engine", engineId}};
    const auto with = [&](const char* name, const char* value)
        {
            Labels labels = engineLabel;
            labels[name] = value;
            return labels;
        };
    std::map<Key, double> expected = {
        {{"skyloom_build_info", with("version", "1.2.3")}, 1},
        {{"skyloom_engine_metrics_written_timestamp_seconds", engineLabel}, 1700000000.456},
        {{"skyloom_engine_running", engineLabel}, 1},
        {{"skyloom_engine_listening", with("port", "9981")}, 1},
        {{"skyloom_engine_receiver_mode", with("mode", "isolated")}, 0},
        {{"skyloom_engine_receiver_mode", with("mode", "in_server")}, 1},
        {{"skyloom_engine_receiver_mode", with("mode", "restarting")}, 0},
        {{"skyloom_engine_encryption_enabled", engineLabel}, 1},
        {{"skyloom_engine_allow_list_enabled", engineLabel}, 0},
        {{"skyloom_engine_diagnostic_copy_open", engineLabel}, 1},
        {{"skyloom_engine_diagnostic_copy_watchers", engineLabel}, 2},
        {{"skyloom_engine_queue_budget_bytes", engineLabel}, 256},
        {{"skyloom_engine_refused_peers_total", with("reason", "address_not_allowed")}, 1},
        {{"skyloom_engine_refused_peers_total", with("reason", "unknown_key")}, 2},
        {{"skyloom_engine_refused_peers_total", with("reason", "handshake_failed")}, 3},
        {{"skyloom_engine_refused_peers_total", with("reason", "camera_not_authorised")}, 4},
        {{"skyloom_engine_refused_peers_total", with("reason", "too_many_connections")}, 5},
        {{"skyloom_engine_refused_peers_total", with("reason", "other")}, 6},
        {{"skyloom_engine_refused_addresses", engineLabel}, 3},
        {{"skyloom_engine_messages_received_total", engineLabel}, 101},
        {{"skyloom_engine_received_bytes_total", engineLabel}, 111},
        {{"skyloom_engine_messages_relayed_total", engineLabel}, 102},
        {{"skyloom_engine_messages_no_camera_total", engineLabel}, 103},
        {{"skyloom_engine_ai_engines_connected", engineLabel}, 2},
        {{"skyloom_engine_ai_engine_connections_total", engineLabel}, 105},
        {{"skyloom_engine_ai_engine_disconnects_total", engineLabel}, 106},
        {{"skyloom_engine_receiver_restarts_total", engineLabel}, 108},
        {{"skyloom_engine_receiver_messages_lost_total", engineLabel}, 109},
        {{"skyloom_engine_messages_too_large_total", engineLabel}, 110},
    };
    // The two families of losses: text_cut and list_cut are no drops, before_video no cut.
    const std::set<std::string> dropReasons = {"before_video", "not_json", "too_deep",
        "malformed", "number_out_of_range", "other_camera", "box_outside_frame", "queue_full",
        "not_authorised"};
    const std::set<std::string> cutReasons = {"malformed", "number_out_of_range",
        "box_outside_frame", "list_cut", "text_cut"};
    for (const CameraSnapshot& camera: cameras)
    {
        const Labels label = {{"engine", engineId}, {"camera", metricsLabelId(camera.cameraId)}};
        expected[{"skyloom_camera_messages_received_total", label}] = camera.received;
        expected[{"skyloom_camera_messages_converted_total", label}] = camera.converted;
        auto withKind = label;
        withKind["kind"] = "object";
        expected[{"skyloom_camera_packets_pushed_total", withKind}] = camera.objectPackets;
        withKind["kind"] = "event";
        expected[{"skyloom_camera_packets_pushed_total", withKind}] = camera.eventPackets;
        // Also 0 for the camera that never heard anything: an age alert fires for it too.
        expected[{"skyloom_camera_last_message_timestamp_seconds", label}] =
            camera.lastMessageUnixMs / 1000.0;
        expected[{"skyloom_camera_queued_bytes", label}] = camera.queuedBytes;
        expected[{"skyloom_camera_queue_budget_bytes", label}] = 32;
        expected[{"skyloom_camera_messages_without_engine_time_total", label}] =
            camera.withoutEngineTime;
        expected[{"skyloom_camera_engine_time_outside_frame_history_total", label}] =
            camera.outsideFrameHistory;
        // No sample while the delay is unknown: a 0 would read as a punctual engine.
        if (camera.engineDelayMedianUs)
        {
            expected[{"skyloom_camera_engine_delay_median_seconds", label}] =
                *camera.engineDelayMedianUs / 1e6;
            expected[{"skyloom_camera_engine_delay_p95_seconds", label}] =
                *camera.engineDelayP95Us / 1e6;
        }
        for (const char* state: {"measured", "other_clock", "no_engine_time", "no_recent_message"})
        {
            auto withState = label;
            withState["state"] = state;
            expected[{"skyloom_camera_engine_delay_state", withState}] =
                state == std::string(camera.engineDelayMedianUs ? "measured" : "other_clock");
        }
        // Cumulative buckets; each of the camera's delays was observed `n` times.
        const double n = static_cast<double>(camera.engineDelayHistogram.count) / 4;
        const std::map<std::string, double> buckets = {{"0.01", n}, {"0.025", n}, {"0.05", n},
            {"0.1", n}, {"0.25", 2 * n}, {"0.5", 3 * n}, {"1", 3 * n}, {"2.5", 3 * n},
            {"5", 3 * n}, {"10", 3 * n}, {"30", 3 * n}, {"60", 3 * n}, {"120", 3 * n},
            {"300", 3 * n}, {"600", 4 * n}, {"+Inf", 4 * n}};
        for (const auto& [bound, count]: buckets)
        {
            auto withBound = label;
            withBound["le"] = bound;
            expected[{"skyloom_camera_engine_delay_seconds_bucket", withBound}] = count;
        }
        expected[{"skyloom_camera_engine_delay_seconds_count", label}] = 4 * n;
        // 0 + 0.25 + 0.250001 + 600 s each time.
        EXPECT_EQ(static_cast<uint64_t>(n) * 600500001, camera.engineDelayHistogram.sumUs);
        expected[{"skyloom_camera_engine_delay_seconds_sum", label}] =
            static_cast<double>(camera.engineDelayHistogram.sumUs) / 1e6;
        for (const DropReasonInfo& reason: kDropReasons)
        {
            auto withReason = label;
            withReason["reason"] = reason.name;
            const auto index = static_cast<size_t>(reason.reason);
            if (dropReasons.count(reason.name) > 0)
            {
                expected[{"skyloom_camera_messages_dropped_total", withReason}] =
                    camera.drops[index];
            }
            if (cutReasons.count(reason.name) > 0)
                expected[{"skyloom_camera_elements_cut_total", withReason}] = camera.cuts[index];
        }
    }
    const std::map<std::string, std::string> expectedTypes = {
        {"skyloom_build_info", "gauge"},
        {"skyloom_engine_metrics_written_timestamp_seconds", "gauge"},
        {"skyloom_engine_running", "gauge"},
        {"skyloom_engine_listening", "gauge"},
        {"skyloom_engine_receiver_mode", "gauge"},
        {"skyloom_engine_encryption_enabled", "gauge"},
        {"skyloom_engine_allow_list_enabled", "gauge"},
        {"skyloom_engine_diagnostic_copy_open", "gauge"},
        {"skyloom_engine_diagnostic_copy_watchers", "gauge"},
        {"skyloom_engine_queue_budget_bytes", "gauge"},
        {"skyloom_engine_refused_addresses", "gauge"},
        {"skyloom_camera_queue_budget_bytes", "gauge"},
        {"skyloom_engine_messages_received", "counter"},
        {"skyloom_engine_received_bytes", "counter"},
        {"skyloom_engine_messages_relayed", "counter"},
        {"skyloom_engine_messages_no_camera", "counter"},
        {"skyloom_engine_ai_engines_connected", "gauge"},
        {"skyloom_engine_ai_engine_connections", "counter"},
        {"skyloom_engine_ai_engine_disconnects", "counter"},
        {"skyloom_engine_refused_peers", "counter"},
        {"skyloom_engine_receiver_restarts", "counter"},
        {"skyloom_engine_receiver_messages_lost", "counter"},
        {"skyloom_engine_messages_too_large", "counter"},
        {"skyloom_camera_messages_received", "counter"},
        {"skyloom_camera_messages_converted", "counter"},
        {"skyloom_camera_packets_pushed", "counter"},
        {"skyloom_camera_last_message_timestamp_seconds", "gauge"},
        {"skyloom_camera_queued_bytes", "gauge"},
        {"skyloom_camera_messages_without_engine_time", "counter"},
        {"skyloom_camera_engine_time_outside_frame_history", "counter"},
        {"skyloom_camera_engine_delay_seconds", "histogram"},
        {"skyloom_camera_engine_delay_median_seconds", "gauge"},
        {"skyloom_camera_engine_delay_p95_seconds", "gauge"},
        {"skyloom_camera_engine_delay_state", "gauge"},
        {"skyloom_camera_messages_dropped", "counter"},
        {"skyloom_camera_elements_cut", "counter"},
    };

    const std::string text = metricsText(source, engine, state, cameras);
    EXPECT_EQ(text.substr(0, text.find('\n')), metricsFirstLine(source.engineId));
    // The parser takes a repeated HELP or TYPE line of the current family without a word.
    std::map<std::string, int> commentLines;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
    {
        if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0)
            ++commentLines[line.substr(0, line.find(' ', 7))];
    }
    EXPECT_EQ(commentLines.size(), 2 * expectedTypes.size());
    for (const auto& [comment, count]: commentLines)
        EXPECT_EQ(count, 1) << comment;

    TemporaryDirectory directory;
    const fs::path file = directory.path() / "skyloom.prom";
    writeFile(file, text);
    const nlohmann::json families = parsedByPrometheusClient(file);
    ASSERT_TRUE(families.is_array()) << text;

    // The parser starts a new family whenever a sample does not belong to the current one, so
    // a family split apart, or a sample under a wrong name, shows as a second or untyped family.
    std::map<std::string, std::string> types;
    std::map<Key, double> parsed;
    for (const nlohmann::json& family: families)
    {
        const std::string name = family.at("name");
        EXPECT_TRUE(types.emplace(name, family.at("type")).second) << name << " twice";
        for (const nlohmann::json& sample: family.at("samples"))
        {
            const Key key{sample.at(0), sample.at(1)};
            EXPECT_TRUE(parsed.emplace(key, sample.at(2).get<double>()).second)
                << key.first << " twice with the same labels";
        }
    }
    EXPECT_EQ(types, expectedTypes);
    EXPECT_EQ(parsed, expected);
}

/** The engine's own file at `file`, in a directory of the given mode. */
std::string ownFileInDirectoryOfMode(const fs::path& file, mode_t mode)
{
    writeFile(file, metricsFirstLine("{e1}") + "\nold\n");
    ::chmod(file.parent_path().c_str(), mode);
    return file.string();
}

TEST(MetricsFile, FilesNotItsOwnWereReplaced)
{
    const std::string engineId = "{e1}";
    using Prepare = std::string (*)(const fs::path& file); //< Returns the target's path.
    const struct
    {
        const char* name;
        Prepare prepare;
        const char* refusal; //< Null: replaced.
        bool needsRoot = false; //< Gives a directory to another user or group.
    } rows[] = {
        {"new file", [](const fs::path& file) { return file.string(); }, nullptr},
        {"the engine's own",
            [](const fs::path& file)
            {
                writeFile(file, metricsFirstLine("{e1}") + "\nold\n");
                return file.string();
            },
            nullptr},
        {"an earlier version's",
            [](const fs::path& file)
            {
                writeFile(file, "# HELP skyloom_engine_messages_received_total Messages taken "
                    "from the service port.\nold\n");
                return file.string();
            },
            nullptr},
        {"empty, as after a crash", [](const fs::path& file)
            { writeFile(file, ""); return file.string(); }, nullptr},
        {"operator's private file",
            [](const fs::path& file)
            {
                writeFile(file, "secret: 42\n");
                fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
                return file.string();
            },
            "was not written by this plugin"},
        {"another engine's",
            [](const fs::path& file)
            {
                writeFile(file, metricsFirstLine("{e2}") + "\nold\n");
                return file.string();
            },
            "holds the metrics of another engine"},
        {"character device", [](const fs::path&) { return std::string("/dev/null"); },
            "is a character device"},
        {"FIFO", //< Must not wait for a writer.
            [](const fs::path& file)
            {
                ::mkfifo(file.c_str(), 0644);
                return file.string();
            },
            "is a FIFO"},
        {"symbolic link to the engine's own",
            [](const fs::path& file)
            {
                writeFile(file.string() + ".real", metricsFirstLine("{e1}") + "\n");
                fs::create_symlink(file.string() + ".real", file);
                return file.string();
            },
            "is a symbolic link"},
        {"directory",
            [](const fs::path& file)
            {
                fs::create_directory(file);
                return file.string();
            },
            "is a directory"},
        // Whoever may rename entries of the directory could swap the file (or the directory)
        // for one of theirs while it is written: even the engine's own file is left alone.
        {"the engine's own in a directory writable by every user",
            [](const fs::path& file) { return ownFileInDirectoryOfMode(file, 0777); },
            "is in a directory that another user may write: "},
        {"the engine's own in a directory writable by every user, with the sticky bit",
            [](const fs::path& file) { return ownFileInDirectoryOfMode(file, 01777); }, nullptr},
        {"the engine's own in a directory that is a symbolic link",
            [](const fs::path& file)
            {
                fs::create_directory(file.parent_path() / "real");
                writeFile(file.parent_path() / "real" / "skyloom.prom",
                    metricsFirstLine("{e1}") + "\n");
                fs::create_directory_symlink(file.parent_path() / "real",
                    file.parent_path() / "linked");
                return (file.parent_path() / "linked" / "skyloom.prom").string();
            },
            "is in a directory that is a symbolic link ("},
        {"the engine's own in another user's directory",
            [](const fs::path& file)
            {
                const std::string path = ownFileInDirectoryOfMode(file, 0755);
                (void) !::chown(file.parent_path().c_str(), 65534, 65534);
                return path;
            },
            "belongs to user 65534", true},
        {"the engine's own in a directory writable by a shared group",
            [](const fs::path& file)
            {
                const std::string path = ownFileInDirectoryOfMode(file, 0775);
                (void) !::chown(file.parent_path().c_str(), 0, 100); //< "users"
                ::chmod(file.parent_path().c_str(), 0775);
                return path;
            },
            "is writable by group 100 (mode 0775) without the sticky bit", true},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        if (row.needsRoot && ::geteuid() != 0)
            continue;
        TemporaryDirectory directory;
        const std::string target = row.prepare(directory.path() / "skyloom.prom");
        struct stat before{};
        const bool existed = ::lstat(target.c_str(), &before) == 0;
        const std::string oldContent = existed && S_ISREG(before.st_mode) ? readFile(target) : "";

        const std::optional<std::string> why = foreignMetricsFile(target, engineId);
        std::string error;
        const bool written = writeMetricsFile(target, engineId, "new\n", &error);
        if (!row.refusal)
        {
            EXPECT_FALSE(why) << *why;
            EXPECT_TRUE(written) << error;
            EXPECT_EQ(readFile(target), "new\n");
            continue;
        }
        ASSERT_TRUE(why);
        EXPECT_NE(why->find(row.refusal), std::string::npos) << *why;
        EXPECT_FALSE(written);
        EXPECT_NE(error.find(row.refusal), std::string::npos) << error;
        struct stat after{};
        ASSERT_EQ(::lstat(target.c_str(), &after), 0);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_ino, before.st_ino);
        if (S_ISREG(before.st_mode))
        {
            EXPECT_EQ(readFile(target), oldContent);
        }
    }
}

TEST(MetricsFile, ReplacementLeavesTheNewContentAndNothingBeside)
{
    TemporaryDirectory directory;
    const fs::path file = directory.path() / "skyloom.prom";
    std::string error;

    ASSERT_TRUE(replaceFileAtomically(file.string(), "first\n", &error)) << error;
    const mode_t oldMask = ::umask(0077); //< Not the file's: the collector may be another user.
    const bool replaced = replaceFileAtomically(file.string(), "second\n", &error);
    ::umask(oldMask);
    ASSERT_TRUE(replaced) << error;

    EXPECT_EQ(readFile(file), "second\n");
    struct stat status{};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_EQ(entries(directory.path()), std::set<std::string>{"skyloom.prom"});
}

TEST(MetricsFile, FailedReplacementSaysWhyAndLeavesNoTemporaryFile)
{
    using Target = fs::path (*)(const fs::path& directory);
    const struct
    {
        const char* name;
        Target target; //< Prepares the directory, which holds skyloom.prom, and names the target.
        const char* reason;
    } rows[] = {
        {"missing directory",
            [](const fs::path& directory) { return directory / "missing" / "skyloom.prom"; },
            "No such file or directory"},
        {"target is a directory", //< Fails after the temporary file was written.
            [](const fs::path& directory)
            {
                fs::create_directory(directory / "metrics");
                writeFile(directory / "metrics" / "inside", "");
                return directory / "metrics";
            },
            "Is a directory"},
        {"read-only directory", //< Root writes there all the same: not run as root.
            [](const fs::path& directory)
            {
                fs::permissions(directory, fs::perms::owner_read | fs::perms::owner_exec);
                return directory / "skyloom.prom";
            },
            "Permission denied"},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        if (std::string_view(row.name) == "read-only directory" && ::geteuid() == 0)
            continue;
        TemporaryDirectory directory;
        writeFile(directory.path() / "skyloom.prom", "old\n");
        const fs::path target = row.target(directory.path());
        const std::set<std::string> before = entries(directory.path());

        std::string error;
        EXPECT_FALSE(replaceFileAtomically(target.string(), "new\n", &error));
        EXPECT_NE(error.find(row.reason), std::string::npos) << error;
        EXPECT_EQ(entries(directory.path()), before);
        EXPECT_EQ(readFile(directory.path() / "skyloom.prom"), "old\n");
    }
}

TEST(MetricsFile, FailureToWriteWasLoggedEveryFifteenSeconds)
{
    TemporaryDirectory directory;
    IngestCounters counters;
    counters.setEngineId("{e1}");
    (void) counters.camera("never-heard"); //< An agent started; no message yet.
    std::vector<std::string> lines;
    auto now = Clock::now();
    RelayHealth health(counters, [&](const std::string& line)
        {
            if (line.rfind("metrics file ", 0) == 0)
                lines.push_back(line);
        },
        now, [](const std::string& cameraId) { return cameraId == "never-heard" ? 4096 : 0; });
    const fs::path subdirectory = directory.path() / "later";
    const fs::path file = subdirectory / "skyloom.prom";
    health.setMetricsFile(file.string(), now);
    const auto ticks = [&](int count)
        {
            for (int i = 0; i < count; ++i)
            {
                health.tick(now);
                now += kShippedIntervals.metrics;
            }
        };

    ticks(10); //< No directory: one reason, whose text names no temporary file.
    fs::create_directory(subdirectory);
    writeFile(file, "operator's\n");
    ticks(10); //< Not the plugin's file: another reason.
    ticks(1);
    fs::remove(file);
    ticks(10);

    ASSERT_EQ(lines.size(), 3U);
    EXPECT_NE(lines[0].find("not written: cannot open the directory "), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("not written: not replaced"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("written again"), std::string::npos) << lines[2];
    const std::string text = readFile(file);
    EXPECT_NE(text.find("skyloom_camera_last_message_timestamp_seconds"
        "{engine=\"e1\",camera=\"never-heard\"} 0.000\n"), std::string::npos) << text;
    EXPECT_NE(text.find(
        "skyloom_camera_queued_bytes{engine=\"e1\",camera=\"never-heard\"} 4096\n"),
        std::string::npos) << text;
}

/** Every file under `directory`, with its path relative to it, links not followed. */
std::set<std::string> filesUnder(const fs::path& directory)
{
    std::set<std::string> files;
    for (const auto& entry: fs::recursive_directory_iterator(directory))
    {
        if (entry.is_symlink() || !entry.is_directory())
            files.insert(fs::relative(entry.path(), directory).string());
    }
    return files;
}

/** Swaps two names at once (renameat2's RENAME_EXCHANGE): each is always there. */
void exchange(const fs::path& first, const fs::path& second)
{
    (void) ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE);
}

// A user who may rename entries above the file's directory swaps it, again and again, with a
// symbolic link to another directory or with another directory, while the metrics are written.
// Each write stays in the directory it checked: nothing reaches the link's target, no temporary
// file is left anywhere, and every file there is whole.
TEST(MetricsFile, RenameRaceNeverLeadsAWriteOutsideTheCheckedDirectory)
{
    TemporaryDirectory base;
    const fs::path metrics = base.path() / "metrics";
    const fs::path decoy = base.path() / "decoy";
    const fs::path linkTarget = base.path() / "link_target";
    const fs::path plantedLink = base.path() / "planted_link";
    for (const fs::path& directory: {metrics, decoy, linkTarget})
        fs::create_directory(directory);
    fs::create_directory_symlink(linkTarget, plantedLink);
    const std::string contents = metricsFirstLine("{e1}") + "\n" + std::string(64 * 1024, '#')
        + "\n";

    std::atomic<bool> stop{false};
    std::thread mover([&]()
        {
            for (int round = 0; !stop; ++round)
            {
                const fs::path& other = round % 2 == 0 ? plantedLink : decoy;
                exchange(metrics, other);
                std::this_thread::yield();
                exchange(metrics, other);
                std::this_thread::yield();
            }
        });
    int written = 0;
    for (int i = 0; i < 100; ++i)
    {
        std::string error;
        written += writeMetricsFile((metrics / "skyloom.prom").string(), "{e1}", contents,
            &error) ? 1 : 0;
    }
    stop = true;
    mover.join();

    std::cout << "[ MEASURED ] " << written << " of 100 writes went through the race"
        << std::endl;
    EXPECT_EQ(filesUnder(linkTarget), std::set<std::string>{});
    for (const fs::path& directory: {metrics, decoy})
    {
        for (const std::string& file: filesUnder(directory))
        {
            EXPECT_EQ(file, "skyloom.prom") << directory;
            EXPECT_EQ(readFile(directory / file), contents) << directory / file;
        }
    }
}

// What the file says once the engine is released must not read as a live engine that went quiet:
// its last write says skyloom_engine_running 0, with the state the relay gave last.
TEST(MetricsFile, LastWriteSaysTheEngineWasReleased)
{
    TemporaryDirectory directory;
    IngestCounters counters;
    counters.setEngineId("{e1}");
    auto now = Clock::now();
    RelayHealth health(counters, [](const std::string&) {}, now);
    EngineState state;
    state.servicePort = 9981;
    state.listening = true;
    state.receiverMode = EngineState::ReceiverMode::isolated;
    health.setStateSource([&]() { return state; });
    const fs::path file = directory.path() / "skyloom.prom";
    health.setMetricsFile(file.string(), now);
    health.tick(now);
    std::string text = readFile(file);
    EXPECT_NE(text.find("\nskyloom_engine_running{engine=\"e1\"} 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nskyloom_engine_listening{engine=\"e1\",port=\"9981\"} 1\n"),
        std::string::npos) << text;
    EXPECT_NE(text.find("\nskyloom_engine_receiver_mode{engine=\"e1\",mode=\"isolated\"} 1\n"),
        std::string::npos) << text;

    // Released: the listener is gone first, then the file is written a last time.
    state.listening = false;
    state.receiverMode = EngineState::ReceiverMode::restarting;
    health.tick(now + std::chrono::seconds(1), /*final*/ true);
    text = readFile(file);
    EXPECT_NE(text.find("\nskyloom_engine_running{engine=\"e1\"} 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nskyloom_engine_listening{engine=\"e1\",port=\"9981\"} 0\n"),
        std::string::npos) << text;
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
