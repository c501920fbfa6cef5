// The metrics file against logging.md's table of its families, both ways: every family listed
// is in a file written with every kind of sample (a camera with a delay, one from another
// clock), of the listed type, its unit at the end of its name, every sample with the listed
// labels and the engine's; every family of the file is listed. And the file as Prometheus' own
// linter (promtool check metrics, Debian's prometheus package) reads it: no complaint.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "health/metrics_file.h"
#include "ingress/ingress_policy.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

struct Listed
{
    std::string type;
    std::string unit; //< Empty: none.
    std::set<std::string> labels; //< Besides "engine".
};

std::string readDoc(const std::string& name)
{
    std::ifstream file(std::string(SKYLOOM_DOCS_DIR) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> cellsOf(const std::string& row)
{
    std::vector<std::string> cells;
    std::istringstream stream(row.substr(1));
    for (std::string cell; std::getline(stream, cell, '|');)
    {
        const size_t first = cell.find_first_not_of(' ');
        const size_t last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

/** The rows "| `name` | type | unit | labels | meaning |" of the metrics table. */
std::map<std::string, Listed> listedFamilies()
{
    std::map<std::string, Listed> families;
    std::istringstream lines(readDoc("logging.md"));
    const std::regex quoted("`([a-z0-9_]+)`");
    for (std::string line; std::getline(lines, line);)
    {
        if (line.rfind("| `skyloom_", 0) != 0)
            continue;
        const std::vector<std::string> cells = cellsOf(line);
        EXPECT_GE(cells.size(), 5U) << line;
        if (cells.size() < 5)
            continue;
        Listed listed{cells[1], cells[2], {}};
        // The label names; their values, in parentheses, are not labels.
        const std::string labels = std::regex_replace(cells[3], std::regex("\\([^)]*\\)"), "");
        for (std::sregex_iterator it(labels.begin(), labels.end(), quoted), end; it != end; ++it)
            listed.labels.insert((*it)[1].str());
        const std::string name = cells[0].substr(1, cells[0].size() - 2);
        EXPECT_TRUE(families.emplace(name, listed).second) << name << " listed twice";
    }
    return families;
}

struct Written
{
    std::map<std::string, std::string> types; //< Family → its TYPE.
    /** Sample name → the label names of each of its samples. */
    std::map<std::string, std::vector<std::set<std::string>>> samples;
};

Written parse(const std::string& text)
{
    Written written;
    std::istringstream lines(text);
    const std::regex type("# TYPE ([a-z0-9_]+) ([a-z]+)");
    const std::regex sample("([a-z0-9_]+)\\{(.*)\\} [^ ]+");
    const std::regex label("([a-z_]+)=\"(?:[^\"\\\\]|\\\\.)*\"");
    for (std::string line; std::getline(lines, line);)
    {
        std::smatch match;
        if (std::regex_match(line, match, type))
        {
            written.types[match[1]] = match[2];
        }
        else if (std::regex_match(line, match, sample))
        {
            const std::string labels = match[2];
            std::set<std::string> names;
            for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end;
                ++it)
            {
                names.insert((*it)[1].str());
            }
            written.samples[match[1]].push_back(names);
        }
        else
        {
            EXPECT_EQ('#', line.front()) << "not a sample: " << line;
        }
    }
    return written;
}

/** A file with a sample of every kind: each family written, every label there. */
std::string fullText()
{
    EngineSnapshot engine;
    engine.received = 3;
    engine.refusedByReason[0] = 15;
    engine.refusedAddresses = 1;
    EngineState state;
    state.servicePort = 9981;
    state.listening = true;
    state.receiverMode = EngineState::ReceiverMode::isolated;
    std::vector<CameraSnapshot> cameras(2);
    cameras[0].cameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";
    cameras[0].engineDelayMedianUs = 120000;
    cameras[0].engineDelayP95Us = 180000;
    cameras[0].engineDelayState = DelayState::measured;
    cameras[0].engineDelayHistogram.observe(120000);
    cameras[1].cameraId = "{0b1c2d3e-0000-4000-8000-000000000002}";
    cameras[1].engineDelayState = DelayState::otherClock;
    return metricsText({"{5a4d2e1c-7b3f-4e9a-8c6d-1f2e3a4b5c6d}", "1.1.0", 1700000000456},
        engine, state, cameras);
}

TEST(MetricsTable, EveryListedFamilyIsWrittenWithItsTypeUnitAndLabels)
{
    const std::map<std::string, Listed> listed = listedFamilies();
    ASSERT_GT(listed.size(), 20U) << "logging.md's metrics table was not found";
    const Written written = parse(fullText());
    for (const auto& [name, family]: listed)
    {
        SCOPED_TRACE(name);
        const auto type = written.types.find(name);
        ASSERT_NE(type, written.types.end()) << "listed, not written";
        EXPECT_EQ(family.type, type->second);
        const bool counter = family.type == "counter";
        const std::string base = counter && name.size() > 6
            ? name.substr(0, name.size() - 6) : name;
        EXPECT_EQ(counter, name.size() > 6 && name.substr(name.size() - 6) == "_total");
        for (const char* unit: {"seconds", "bytes"})
        {
            const std::string suffix = std::string("_") + unit;
            const bool endsWithUnit = base.size() > suffix.size()
                && base.substr(base.size() - suffix.size()) == suffix;
            EXPECT_EQ(family.unit == unit, endsWithUnit) << "unit " << family.unit;
        }
        // A histogram's samples: the buckets with "le", its sum and count without.
        std::map<std::string, std::set<std::string>> sampleLabels;
        std::set<std::string> labels = family.labels;
        labels.insert("engine");
        if (family.type == "histogram")
        {
            sampleLabels[name + "_bucket"] = labels;
            labels.erase("le");
            sampleLabels[name + "_sum"] = labels;
            sampleLabels[name + "_count"] = labels;
        }
        else
        {
            sampleLabels[name] = labels;
        }
        for (const auto& [sampleName, expected]: sampleLabels)
        {
            const auto samples = written.samples.find(sampleName);
            ASSERT_NE(samples, written.samples.end()) << sampleName << ": no sample";
            for (const std::set<std::string>& names: samples->second)
                EXPECT_EQ(expected, names) << sampleName;
        }
    }
    for (const auto& [name, type]: written.types)
        EXPECT_EQ(1U, listed.count(name)) << name << " written, not listed";
}

// The refusals' "reason" labels are the reasons "AI engine refused" gives, blanks as "_", and a
// reconnecting peer is one address however often it is refused.
TEST(MetricsTable, RefusalsCountByReasonAndAddressesApart)
{
    const std::vector<std::string> told = {kRefusedAddress, kRefusedKey, kRefusedHandshake,
        kRefusedCamera, kRefusedConnections};
    std::vector<std::string> counted;
    for (const RefusalReasonInfo& reason: kRefusalReasons)
    {
        if (*reason.text == '\0')
            continue;
        counted.push_back(reason.text);
        std::string label = reason.text;
        std::replace(label.begin(), label.end(), ' ', '_');
        EXPECT_EQ(label, reason.name);
    }
    EXPECT_EQ(told, counted);

    RefusalCounters refusals;
    const Clock::time_point start = Clock::time_point() + std::chrono::hours(1);
    // libzmq's reconnects: one engine refused 15 times in 12 s.
    for (int i = 0; i < 15; ++i)
        refusals.refused("10.1.2.3", kRefusedAddress, start + std::chrono::milliseconds(800 * i));
    refusals.refused("10.1.2.4", kRefusedKey, start + std::chrono::seconds(30));
    refusals.refused("10.1.2.4", "a reason of a newer receiver", start + std::chrono::seconds(31));
    const auto counts = refusals.counts();
    EXPECT_EQ(15U, counts[0]);
    EXPECT_EQ(1U, counts[1]);
    EXPECT_EQ(1U, counts[kRefusalReasonCount - 1]) << "other";
    EXPECT_EQ(2U, refusals.recentAddresses(start + std::chrono::seconds(40)));
    EXPECT_EQ(1U, refusals.recentAddresses(start + std::chrono::seconds(72)));
    EXPECT_EQ(0U, refusals.recentAddresses(start + std::chrono::seconds(91)));
}

#ifdef SKYLOOM_PROMTOOL
/** The series of a metrics text in promtool's notation, each constant for 10 steps. */
std::string inputSeries(const std::string& text)
{
    std::string series;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
    {
        const size_t space = line.rfind(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos)
            continue;
        series += "      - series: '" + line.substr(0, space) + "'\n        values: '"
            + line.substr(space + 1) + "+0x10'\n";
    }
    return series;
}

/** Runs `promtool test rules` on the files; its output, empty when every test passed. */
std::string promtoolTest(const std::string& rules, const std::string& tests)
{
    char directory[] = "/tmp/skyloom-rules-XXXXXX";
    if (::mkdtemp(directory) == nullptr)
        return "no temporary directory";
    const std::string dir = directory;
    std::ofstream(dir + "/rules.yml") << rules;
    std::ofstream(dir + "/tests.yml") << "rule_files: [rules.yml]\nevaluation_interval: 1m\n"
        << tests;
    const std::string command = "cd " + dir + " && " SKYLOOM_PROMTOOL " test rules tests.yml > out"
        " 2>&1";
    const int status = std::system(command.c_str());
    std::ifstream said(dir + "/out");
    const std::string output((std::istreambuf_iterator<char>(said)), {});
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return status == 0 ? std::string() : output;
}
#endif

// The documentation's alert for a camera that heard nothing for a minute, as Prometheus evaluates
// it on the file: it fires for a camera that never received a message and not for one that did,
// and not at all once the file says the engine was released.
TEST(MetricsTable, DocumentedNoMessageAlertFiresForACameraThatNeverHeardAnything)
{
#ifndef SKYLOOM_PROMTOOL
    GTEST_SKIP() << "no promtool (Debian's prometheus package)";
#else
    const std::string logging = readDoc("logging.md");
    const size_t at = logging.find("time() - skyloom_camera_last_message_timestamp_seconds > 60");
    ASSERT_NE(std::string::npos, at);
    std::string expression = logging.substr(at, logging.find("```", at) - at);
    std::replace(expression.begin(), expression.end(), '\n', ' ');
    const std::string rules = "groups:\n  - name: skyloom\n    rules:\n      - alert: NoMessage\n"
        "        expr: '" + expression + "'\n";

    std::vector<CameraSnapshot> cameras(2);
    cameras[0].cameraId = "never";
    cameras[1].cameraId = "heard";
    cameras[1].lastMessageUnixMs = 100000; //< 20 s before the evaluation at 2 min.
    EngineState state;
    const auto file = [&](bool running)
        {
            state.running = running;
            return metricsText({"{e1}", "1.1.0", 110000}, EngineSnapshot{}, state, cameras);
        };
    const std::string tests = "tests:\n"
        "  - interval: 1m\n    input_series:\n" + inputSeries(file(true))
        + "    alert_rule_test:\n      - eval_time: 2m\n        alertname: NoMessage\n"
        "        exp_alerts:\n          - exp_labels: {engine: e1, camera: never}\n"
        "  - interval: 1m\n    input_series:\n" + inputSeries(file(false))
        + "    alert_rule_test:\n      - eval_time: 2m\n        alertname: NoMessage\n"
        "        exp_alerts: []\n";
    EXPECT_EQ("", promtoolTest(rules, tests)) << rules << tests;
#endif
}

TEST(MetricsTable, PromtoolFindsNothingToSay)
{
#ifndef SKYLOOM_PROMTOOL
    GTEST_SKIP() << "no promtool (Debian's prometheus package)";
#else
    const std::string text = fullText();
    // Its findings go to the standard output, read back through a file.
    char path[] = "/tmp/skyloom-promtool-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const std::string command = std::string(SKYLOOM_PROMTOOL) + " check metrics > " + path
        + " 2>&1";
    FILE* const lint = ::popen(command.c_str(), "w");
    ASSERT_NE(nullptr, lint);
    std::fwrite(text.data(), 1, text.size(), lint);
    const int status = ::pclose(lint);
    std::ifstream said(path);
    const std::string output((std::istreambuf_iterator<char>(said)), {});
    std::remove(path);
    EXPECT_EQ(0, status) << output;
    EXPECT_EQ("", output);
#endif
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
