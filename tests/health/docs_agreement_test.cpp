// What the documentation promises the operator, against the code's own tables: every event the
// plugin can raise is in the events table of logging.md, every drop reason in its reasons table,
// every family of the metrics file in its metrics table, and every setting in settings.md.

#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "health/event_captions.h"
#include "health/ingest_counters.h"
#include "health/metric_names.h"
#include "settings/settings_table.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;

std::string readDoc(const std::string& name)
{
    std::ifstream file(std::string(SKYLOOM_DOCS_DIR) + "/" + name);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
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

} // namespace
