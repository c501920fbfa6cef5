// The cases where two JSON parsers can disagree, each through the plugin's handling (simdjson)
// and through the reference on nlohmann::json (tests/reference): what the plugin makes of each
// (dropped and why, or converted and with what), and that the reference agrees. Then the bound
// of the parser's memory: a large message does not leave its buffers behind.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "conversion/message_parser.h"
#include "differential.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;
using reference::Differential;
using reference::Outcome;

const std::string kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";

std::string readSample(const std::string& name)
{
    std::ifstream file(std::string(SKYLOOM_SAMPLE_MESSAGES_DIR) + "/" + name + ".json",
        std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

/** An alarm with one person; `caption` and `tid` are written into it as they are given. */
std::string alarm(const std::string& caption, const std::string& tid = "7",
    const std::string& extra = "")
{
    return R"({"src_uuid":")" + kCameraId + R"(","source":"source_0","caption":)" + caption
        + R"(,"description":"d","event":{"vid_ts_us":1000,"object_list":[{"class":"person","tid":)"
        + tid + R"(,"bbox":{"x0":0.1,"y0":0.1,"x1":0.5,"y1":0.5}}]})" + extra + "}";
}

/** An alarm whose member "deep" makes it nest `levels` levels, the innermost holding `inner`. */
std::string nested(int levels, const std::string& inner = "1")
{
    return alarm(R"("A")", "7", R"(,"deep":)" + std::string(levels - 1, '[') + inner
        + std::string(levels - 1, ']'));
}

enum class Expect { converted, notJson, tooDeep, notJsonOrTooDeep, elementOutOfRange, otherCamera };

struct Case
{
    const char* name;
    std::string text;
    Expect expect;
    /** Converted: a line that the packets' description holds. */
    std::string holds = {};
};

std::vector<Case> cases()
{
    const std::string base = alarm(R"("A")");
    return {
        {"plain", base, Expect::converted, "caption = A"},
        {"duplicate key, the last wins",
            alarm(R"("first")", "7", R"(,"caption":"last")"), Expect::converted, "caption = last"},
        {"duplicate camera, the last names another",
            alarm(R"("A")", "7", R"(,"src_uuid":"other")"), Expect::otherCamera},
        {"escaped key name", alarm(R"("A")", "7", R"(,"\u0063aption":"escaped")"),
            Expect::converted, "caption = escaped"},
        {"escaped surrogate pair", alarm(R"("\ud83d\ude00")"), Expect::converted,
            "caption = \xF0\x9F\x98\x80"},
        {"raw four-byte character", alarm("\"\xF0\x9F\x98\x80\""), Expect::converted,
            "caption = \xF0\x9F\x98\x80"},
        {"escaped lone high surrogate", alarm(R"("\ud800")"), Expect::notJson},
        {"escaped lone low surrogate", alarm(R"("\udc00")"), Expect::notJson},
        {"high surrogate before a letter", alarm(R"("\ud800\u0041")"), Expect::notJson},
        {"raw surrogate", alarm("\"\xED\xA0\x80\""), Expect::notJson},
        {"invalid UTF-8", alarm("\"\xC3\x28\""), Expect::notJson},
        {"overlong UTF-8", alarm("\"\xC0\xAF\""), Expect::notJson},
        {"byte-order mark", "\xEF\xBB\xBF" + base, Expect::converted, "caption = A"},
        {"two byte-order marks", "\xEF\xBB\xBF\xEF\xBB\xBF" + base, Expect::notJson},
        {"byte-order mark after a space", " \xEF\xBB\xBF" + base, Expect::notJson},
        {"bytes after the value", base + " x", Expect::notJson},
        {"a second value", base + "{}", Expect::notJson},
        {"white space after the value", base + " \r\n\t", Expect::converted},
        {"NUL after the value", base + std::string(1, '\0'), Expect::converted},
        {"NUL and bytes after the value", base + std::string("\0[[x", 4), Expect::converted},
        {"NUL inside the value", base.substr(0, 20) + std::string(1, '\0') + base.substr(20),
            Expect::notJson},
        {"raw NUL in a text", alarm(std::string("\"a\0b\"", 5)), Expect::notJson},
        {"escaped NUL in a text", alarm(R"("a\u0000b")"), Expect::converted},
        {"empty", "", Expect::notJson},
        {"track id 7.0", alarm(R"("A")", "7.0"), Expect::converted},
        {"track id -0", alarm(R"("A")", "-0"), Expect::converted},
        {"track id -0.0", alarm(R"("A")", "-0.0"), Expect::converted},
        {"track id 2^32", alarm(R"("A")", "4294967296"), Expect::elementOutOfRange},
        {"track id 2^64 - 1", alarm(R"("A")", "18446744073709551615"),
            Expect::elementOutOfRange},
        {"track id 2^64", alarm(R"("A")", "18446744073709551616"), Expect::notJson},
        {"track id below -2^63", alarm(R"("A")", "-9223372036854775809"), Expect::notJson},
        {"track id 1e20", alarm(R"("A")", "1e20"), Expect::elementOutOfRange},
        {"track id 1e999", alarm(R"("A")", "1e999"), Expect::notJson},
        {"track id 1e-999", alarm(R"("A")", "1e-999"), Expect::converted},
        {"NaN", alarm(R"("A")", "NaN"), Expect::notJson},
        {"Infinity", alarm(R"("A")", "-Infinity"), Expect::notJson},
        {"leading zero", alarm(R"("A")", "07"), Expect::notJson},
        {"integer beyond 64 bits in a member never read",
            alarm(R"("A")", "7", R"(,"n":123456789012345678901234)"), Expect::notJson},
        {"nested 64 levels", nested(64), Expect::converted},
        {"nested 65 levels", nested(65), Expect::tooDeep},
        {"nested 65 levels, the innermost empty", nested(65, ""), Expect::converted},
        {"nested 66 levels, the innermost empty", nested(66, ""), Expect::tooDeep},
        {"nested 65 levels of objects", alarm(R"("A")", "7", R"(,"deep":)"
            + [] { std::string t = "1"; for (int i = 0; i < 64; ++i) t = "{\"a\":" + t + "}";
                return t; }()), Expect::tooDeep},
        {"nested 65 levels, then not JSON", std::string(65, '[') + "x", Expect::notJsonOrTooDeep},
        {"brackets in texts do not nest", alarm('"' + std::string(100, '[') + '"'),
            Expect::converted},
    };
}

/** The plugin's verdict as expected; a failure's text for the trace. */
void expectVerdict(const Case& testCase, const Outcome& outcome)
{
    const auto dropped = [&](DropReason reason)
        { return outcome.messageDrop.size() == 1 && *outcome.messageDrop.begin() == reason; };
    switch (testCase.expect)
    {
        case Expect::converted:
            ASSERT_TRUE(outcome.messageDrop.empty()) << outcome.dropText;
            EXPECT_TRUE(outcome.conversion.lost.drops.empty());
            EXPECT_EQ(2U, outcome.conversion.packets.size()); //< The event and the person.
            EXPECT_NE(std::string::npos, outcome.packets.find(testCase.holds)) << outcome.packets;
            break;
        case Expect::notJson:
            EXPECT_TRUE(dropped(DropReason::notJson)) << outcome.dropText;
            EXPECT_EQ(0U, outcome.dropText.rfind("not JSON: ", 0)) << outcome.dropText;
            break;
        case Expect::tooDeep:
            EXPECT_TRUE(dropped(DropReason::tooDeep)) << outcome.dropText;
            EXPECT_EQ("message is nested deeper than 64 levels; discarded", outcome.dropText);
            break;
        case Expect::notJsonOrTooDeep:
            EXPECT_TRUE(dropped(DropReason::notJson) || dropped(DropReason::tooDeep));
            break;
        case Expect::elementOutOfRange:
            ASSERT_TRUE(outcome.messageDrop.empty()) << outcome.dropText;
            ASSERT_EQ(1U, outcome.conversion.lost.drops.size());
            EXPECT_EQ(DropReason::numberOutOfRange, outcome.conversion.lost.drops[0].reason);
            EXPECT_EQ(1U, outcome.conversion.packets.size()); //< The event only.
            break;
        case Expect::otherCamera:
            ASSERT_TRUE(outcome.messageDrop.empty()) << outcome.dropText;
            EXPECT_FALSE(outcome.conversion.forThisCamera);
            EXPECT_TRUE(outcome.conversion.packets.empty());
            break;
    }
}

TEST(MessageParse, HardCasesKeepTheirVerdictsAndAgreeWithTheReference)
{
    ConversionSettings settings;
    settings.enableMetadata = true;
    for (const Case& testCase: cases())
    {
        SCOPED_TRACE(testCase.name);
        Differential differential(kCameraId);
        expectVerdict(testCase, differential.product(testCase.text, settings));
        Differential again(kCameraId);
        EXPECT_EQ("", again.differences(testCase.text, settings));
    }
}

TEST(MessageParse, SampleMessagesAgreeWithTheReference)
{
    // The samples in a row, with every rule switched each way: the caches carry over.
    for (int selector = 0; selector < 16; ++selector)
    {
        ConversionSettings settings;
        settings.enableMetadata = (selector & 1) != 0;
        settings.skipNullFaceObject = (selector & 2) != 0;
        settings.skipNullPlateObject = (selector & 4) != 0;
        settings.showCounter = (selector & 8) != 0;
        Differential differential(kCameraId);
        for (const char* name: {"04_lpr_alarm_1", "01_meta_face", "02_occupancy_alarm",
            "03_face_recognition_alarm", "05_lpr_alarm_2", "06_lpr_alarm_3", "01_meta_face"})
        {
            SCOPED_TRACE(std::string(name) + " with settings " + std::to_string(selector));
            const std::string text = readSample(name);
            ASSERT_FALSE(text.empty());
            EXPECT_EQ("", differential.differences(text, settings));
            const Outcome& outcome = differential.lastProduct();
            EXPECT_TRUE(outcome.messageDrop.empty()) << outcome.dropText;
            EXPECT_FALSE(outcome.conversion.packets.empty());
        }
    }
}

} // namespace
