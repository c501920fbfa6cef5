// What the relay tells the operator about a message that reached no camera: the id it names and
// the one change that would make it reach one, for each way of getting the prefix wrong; and
// that hostile input (deep nesting, garbage, huge ids) is answered, not crashed on.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "health/envelope_form.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

const std::string kId = "8f120e8a-2ced-c84a-aa40-59a59f563488";
const std::vector<std::string> kKnown = {kId, "5a4d2e1c-0000-4000-8000-000000000001"};

std::string nested(int levels, const std::string& id)
{
    return "{\"src_uuid\":\"" + id + "\",\"a\":" + std::string(levels - 1, '[')
        + std::string(levels - 1, ']') + "}";
}

std::string garbage(size_t size)
{
    std::string result(size, '\0');
    for (size_t i = 0; i < size; ++i)
        result[i] = static_cast<char>((i * 131 + 7) % 256);
    return result;
}

TEST(EnvelopeForm, NamesTheIdAndTheChangeThatWouldRouteTheMessage)
{
    const std::string unknown = "00000000-1111-2222-3333-444444444444";
    const struct
    {
        std::string message;
        std::string cameraId;
        std::string hint;
    } rows[] = {
        {"\xEF\xBB\xBF{\"src_uuid\":\"" + kId + "\"}", kId, "starts with a byte-order mark"},
        {"{\"src_uuid\": \"" + kId + "\", \"a\": 1}", kId, "has a space after the colon"},
        {"{\"src_uuid\" :\"" + kId + "\"}", kId, "has a space before the colon"},
        {" {\"src_uuid\":\"" + kId + "\"}", kId, "has a space before the \"{\""},
        {"{\n  \"src_uuid\":\"" + kId + "\"}", kId, "has a line break after the \"{\""},
        {"{\"event\":\"x\",\"src_uuid\":\"" + kId + "\"}", kId, "\"src_uuid\" is not the first"},
        {"{\"src\\u005fuuid\":\"" + kId + "\"}", kId, "key \"src_uuid\" with escape sequences"},
        {"{\"src_uuid\":\"{" + kId + "}\"}", "{" + kId + "}", "written in braces"},
        {"{\"src_uuid\":\"8f120e8a\\u002d2ced-c84a-aa40-59a59f563488\"}", kId,
            "camera id with escape sequences"},
        {"{\"src_uuid\":\"8F120E8A-2CED-C84A-AA40-59A59F563488\"}",
            "8F120E8A-2CED-C84A-AA40-59A59F563488",
            "differs only in letter case from camera " + kId},
        {"{\"src_uuid\":\"" + unknown + "\"}", unknown, "no camera of this server"},
        {"{\"src_uuid\":\"" + kId + "\",\"a\":1}", kId, "which was not receiving"},
        {"{\"camera\":\"" + kId + "\"}", "", "has no top-level \"src_uuid\""},
        {"{\"meta\":{\"src_uuid\":\"" + kId + "\"}}", "", "has no top-level \"src_uuid\""},
        {"{\"src_uuid\":17}", "", "\"src_uuid\" is a number, not a string"},
        {"[{\"src_uuid\":\"" + kId + "\"}]", "", "is an array, not a JSON object"},
        {"src_uuid=" + kId, "", "is not valid JSON"},
        {"{\"src_uuid\":\"" + kId + "\",\"objects\":[", kId, "is not valid JSON"},
        {"{\"src_uuid\":\"a\\nb\"}", "a\\u000Ab", "escape sequences"}, //< Escaped for the log.
        {"{\"src_uuid\":\"" + std::string(300, 'a') + "\"}", std::string(125, 'a') + "...",
            "no camera"},
        {nested(64, unknown), unknown, "no camera"},
        {nested(65, unknown), unknown, "deeper than 64 levels"},
        // Hostile input: answered within the bounds.
        {"", "", "is empty"},
        {std::string(100000, '['), "", "deeper than 64 levels"},
        {garbage(4 * 1024 * 1024), "", "is not valid JSON"},
        {"{\"src_uuid\":\"\xFF\xFE" + kId + "\"}", "", "is not valid JSON"},
        {"{\"src_uuid\":\"" + std::string(4 * 1024 * 1024, 'b') + "\"}",
            std::string(125, 'b') + "...", "no camera"},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.message.substr(0, 80));
        const EnvelopeForm form = diagnoseEnvelope(row.message, kKnown);
        EXPECT_EQ(form.cameraId, row.cameraId);
        EXPECT_NE(form.hint.find(row.hint), std::string::npos) << form.hint;
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
