// What the documentation promises the operator, against the code's own tables: every event the
// plugin can raise is in the events table of logging.md, once, every drop reason in its reasons
// table, every family of the metrics file in its metrics table, every setting in settings.md and
// in logging.md's healthy start; and no page that the package installs sends its reader to the
// source tree's ./dev.sh without saying so.

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "health/event_captions.h"
#include "health/ingest_counters.h"
#include "health/metric_names.h"
#include "settings/settings_table.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;

/** A file of the source tree, by its path there ("docs/logging.md"). */
std::string readSource(const std::string& path)
{
    std::ifstream file(std::string(SKYLOOM_DOCS_DIR) + "/../" + path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string readDoc(const std::string& name)
{
    return readSource("docs/" + name);
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

/** From the heading `title` to the next heading of its level (or the end). */
std::string section(const std::string& text, const std::string& title)
{
    const size_t start = text.find("\n## " + title + "\n");
    if (start == std::string::npos)
        return {};
    const size_t end = text.find("\n## ", start + 1);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

TEST(DocsAgreement, EveryEventTheOperatorCanGetIsInTheEventsTable)
{
    const std::string events = section(readDoc("logging.md"), "Events for the operator");
    ASSERT_FALSE(events.empty()) << "logging.md has no section \"Events for the operator\"";
    for (const char* caption: kEventCaptions)
        EXPECT_NE(std::string::npos, events.find(std::string("\"") + caption + "\"")) << caption;
}

// The table once listed "Loopback relay unavailable" twice, with different levels.
TEST(DocsAgreement, EventsTableListedACaptionTwice)
{
    const std::string events = section(readDoc("logging.md"), "Events for the operator");
    std::map<std::string, int> rows; //< Caption: rows whose first cell names it.
    const std::regex quoted("\"([^\"]*)\"");
    for (const std::string& line: linesOf(events))
    {
        if (line.rfind("| ", 0) != 0)
            continue;
        const std::string firstCell = line.substr(0, line.find(" | ", 2));
        for (std::sregex_iterator it(firstCell.begin(), firstCell.end(), quoted), end; it != end;
            ++it)
        {
            ++rows[(*it)[1].str()];
        }
    }
    const std::set<std::string> raised(std::begin(kEventCaptions), std::end(kEventCaptions));
    for (const auto& [caption, count]: rows)
    {
        EXPECT_EQ(1, count) << "listed " << count << " times: " << caption;
        EXPECT_EQ(1U, raised.count(caption)) << "listed, but never raised: " << caption;
    }
    EXPECT_EQ(raised.size(), rows.size());
}

TEST(DocsAgreement, EveryDropReasonOfTheMetricsIsExplained)
{
    const std::string logging = readDoc("logging.md");
    for (const DropReasonInfo& reason: kDropReasons)
    {
        EXPECT_NE(std::string::npos, logging.find(std::string("| `") + reason.name + "` |"))
            << reason.name;
    }
}

TEST(DocsAgreement, EveryMetricsFamilyIsInTheMetricsTable)
{
    const std::string metrics = section(readDoc("logging.md"), "Metrics file");
    ASSERT_FALSE(metrics.empty()) << "logging.md has no section \"Metrics file\"";
    for (const char* name: metric_names::kAll)
        EXPECT_NE(std::string::npos, metrics.find(std::string("| `") + name + "` |")) << name;
}

TEST(DocsAgreement, EverySettingIsInTheSettingsPage)
{
    const std::string settings = readDoc("settings.md");
    for (const Setting* setting: kSettings)
    {
        EXPECT_NE(std::string::npos, settings.find(std::string("| \"") + setting->name + "\" |"))
            << setting->name;
    }
}

// The page gave "Service Address" where the dialog shows "Service Address (IP address or
// interface; * for all)": an operator could not find the field by its words.
TEST(DocsAgreement, SettingsPageGaveShorterCaptionsThanTheDialog)
{
    const std::string settings = readDoc("settings.md");
    for (const Setting* setting: kSettings)
    {
        const std::string row = std::string("| \"") + setting->name + "\" | " + setting->caption
            + " |";
        EXPECT_NE(std::string::npos, settings.find(row)) << "no row beginning " << row;
    }
}

/** The name of a setting's value in its "settingsReceived m_..." log line. */
std::string valueLabel(const Setting& setting)
{
    std::string name = setting.name;
    name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
    return "m_" + name;
}

/** Lines of `lines` that begin with `prefix` and hold `text`. */
int countLines(const std::vector<std::string>& lines, const std::string& prefix,
    const std::string& text)
{
    int count = 0;
    for (const std::string& line: lines)
    {
        if (line.rfind(prefix, 0) == 0 && line.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

// A new setting must show in the example, in its model's "Received settings:" block and, unless
// the plugin tells it only when refused, as the value it took.
TEST(DocsAgreement, EverySettingIsInTheHealthyStartExample)
{
    const std::string mainLines = section(readDoc("logging.md"), "The main lines");
    const size_t start = mainLines.find("```\n");
    ASSERT_NE(std::string::npos, start) << "logging.md's main lines have no example";
    const size_t end = mainLines.find("\n```", start);
    const auto example = linesOf(mainLines.substr(start, end - start));

    const std::set<std::string> toldOnlyWhenRefused{setting::kServiceAddress.name,
        setting::kAllowedEngineAddresses.name, setting::kCurveSecretKeyFile.name,
        setting::kAuthorizedEnginesDirectory.name};
    std::set<std::string> labels;
    for (const Setting* setting: kSettings)
    {
        SCOPED_TRACE(setting->name);
        const std::string prefix =
            setting->model == SettingsModel::engine ? "[engine_{" : "[device_{";
        EXPECT_EQ(1,
            countLines(example, prefix, std::string("}]     \"") + setting->name + "\": "));
        labels.insert(valueLabel(*setting));
        if (toldOnlyWhenRefused.count(setting->name) == 0)
        {
            EXPECT_EQ(1, countLines(example, prefix,
                "}] settingsReceived " + valueLabel(*setting) + ":"));
        }
    }
    const std::regex valueLine("\\] settingsReceived (m_[A-Za-z]+):");
    for (const std::string& line: example)
    {
        std::smatch match;
        if (std::regex_search(line, match, valueLine))
        {
            EXPECT_EQ(1U, labels.count(match[1].str())) << "no such setting: " << line;
        }
    }
}

/**
 * Paragraphs of a Markdown page; a fenced block (blank lines and all) is one, together with the
 * paragraph that introduces it.
 */
std::vector<std::string> paragraphs(const std::string& page)
{
    std::vector<std::string> result;
    std::string current;
    bool fenced = false;
    for (const std::string& line: linesOf(page))
    {
        if (line.rfind("```", 0) == 0)
        {
            if (!fenced && current.empty() && !result.empty())
            {
                current = result.back() + "\n";
                result.pop_back();
            }
            fenced = !fenced;
        }
        if (line.empty() && !fenced)
        {
            if (!current.empty())
                result.push_back(current);
            current.clear();
            continue;
        }
        current += line + "\n";
    }
    if (!current.empty())
        result.push_back(current);
    return result;
}

TEST(DocsAgreement, NoInstalledPageTellsThePackageUserToRunDevSh)
{
    // Every Markdown page that the installation takes from the source tree.
    const std::string packaging = readSource("cmake/packaging.cmake");
    const std::regex installed("\\$\\{PROJECT_SOURCE_DIR\\}/([A-Za-z0-9_/.-]+\\.md)");
    std::set<std::string> pages;
    for (std::sregex_iterator it(packaging.begin(), packaging.end(), installed), end; it != end;
        ++it)
    {
        pages.insert((*it)[1].str());
    }
    ASSERT_EQ(1U, pages.count("packaging/README.md")) << "no page found in cmake/packaging.cmake";
    for (const std::string& page: pages)
    {
        const std::string text = readSource(page);
        ASSERT_FALSE(text.empty()) << page;
        for (std::string paragraph: paragraphs(text))
        {
            std::replace(paragraph.begin(), paragraph.end(), '\n', ' ');
            if (paragraph.find("./dev.sh") != std::string::npos)
            {
                EXPECT_NE(std::string::npos, paragraph.find("source tree"))
                    << page << ": ./dev.sh, but not \"in the source tree\":\n" << paragraph;
            }
        }
    }
}

} // namespace
