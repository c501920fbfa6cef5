// The publisher's envelope check and "src_uuid" rewrite: a message reaches a camera only when
// its text begins with the exact bytes {"src_uuid":"<id>", so these decide whether the
// simulator tells the truth about delivery.

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "envelope.h"
#include "message_source.h"

namespace skyloom::publish {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kId = "8f120e8a-2ced-c84a-aa40-59a59f563488";

struct EnvelopeCase
{
    const char* name;
    std::string text;
    bool deliverable;
    const char* problemPart; //< a piece of the explanation that must be there
};

TEST(EnvelopeCheck, ExplainsEveryMessageThatWouldNeverBeDelivered)
{
    const std::string id = kId;
    const std::vector<EnvelopeCase> cases{
        {"event message", R"({"src_uuid":")" + id + R"(","event":{}})", true, ""},
        {"meta message", R"({"src_uuid":")" + id + R"(","meta":{"metadata":{}}})", true, ""},
        {"both bodies", R"({"src_uuid":")" + id + R"(","event":{},"meta":{}})", true, ""},
        {"space after the brace", R"({ "src_uuid":")" + id + R"(","event":{}})", false,
            "white space after the opening brace"},
        {"line break after the brace", "{\n\"src_uuid\":\"" + id + "\",\"event\":{}}", false,
            "white space after the opening brace"},
        {"space before the brace", R"( {"src_uuid":")" + id + R"(","event":{}})", false,
            "white space before the opening brace"},
        {"space after the colon", R"({"src_uuid": ")" + id + R"(","event":{}})", false,
            "around the colon"},
        {"other member first", R"({"event":{},"src_uuid":")" + id + R"("})", false,
            "not the first member (\"event\" is)"},
        {"no src_uuid", R"({"event":{}})", false, "no \"src_uuid\" member"},
        {"src_uuid a number", R"({"src_uuid":12,"event":{}})", false, "a number, not a string"},
        {"id in braces", R"({"src_uuid":"{)" + id + R"(}","event":{}})", false,
            "without them (\"8f120e8a"},
        {"id with escapes", R"({"src_uuid":"8f120e8a\u002d2ced","event":{}})", false,
            "escape sequences"},
        {"key with escapes", R"({"src\u005fuuid":"x","event":{}})", false, "escape sequences"},
        {"empty id", R"({"src_uuid":"","event":{}})", false, "is empty"},
        {"array", R"([{"src_uuid":"x","event":{}}])", false, "not a JSON object but an array"},
        {"string", R"("{\"src_uuid\":\"x\"}")", false, "not a JSON object but a string"},
        {"empty object", "{}", false, "an empty object"},
        {"neither event nor meta", R"({"src_uuid":")" + id + R"(","caption":"x"})", false,
            "neither \"event\" nor \"meta\""},
        {"event not an object", R"({"src_uuid":")" + id + R"(","event":[1]})", false,
            "\"event\" is an array, not an object"},
        {"meta null", R"({"src_uuid":")" + id + R"(","meta":null})", false,
            "\"meta\" is null, not an object"},
        {"invalid JSON", R"({"src_uuid":")" + id + R"(","event":{})", false, "not valid JSON"},
        {"trailing garbage", R"({"src_uuid":"x","event":{}} x)", false, "not valid JSON"},
        {"comment", R"({"src_uuid":"x","event":{}} // note)", false, "not valid JSON"},
        {"byte-order mark", "\xEF\xBB\xBF{\"src_uuid\":\"x\",\"event\":{}}", false,
            "byte-order mark"},
    };
    for (const EnvelopeCase& c: cases)
    {
        SCOPED_TRACE(c.name);
        const EnvelopeCheck check = checkEnvelope(c.text);
        EXPECT_EQ(check.deliverable(), c.deliverable) << check.problem;
        EXPECT_NE(check.problem.find(c.problemPart), std::string::npos) << check.problem;
        EXPECT_EQ(check.problem.find('\n'), std::string::npos) << "one line: " << check.problem;
    }
}

TEST(EnvelopeCheck, WarnsAboutUpperCaseIdsButDeliversThem)
{
    const EnvelopeCheck upper = checkEnvelope(R"({"src_uuid":"8F120E8A","event":{}})");
    EXPECT_TRUE(upper.deliverable());
    EXPECT_NE(upper.warning.find("letter for letter"), std::string::npos);
    EXPECT_EQ(upper.sourceId, "8F120E8A");

    EXPECT_TRUE(checkEnvelope(R"({"src_uuid":"8f120e8a","event":{}})").warning.empty());
}

TEST(EnvelopeCheck, DuplicateSourceIdWasMisreportedAsEscapeSequences)
{
    // Delivered by its first bytes to camera "a", whose agent reads the later value and drops it.
    const EnvelopeCheck check = checkEnvelope(R"({"src_uuid":"a","meta":{},"src_uuid":"b"})");
    EXPECT_TRUE(check.deliverable());
    EXPECT_EQ(check.sourceId, "a");
    EXPECT_EQ(check.problem.find("escape"), std::string::npos) << check.problem;
    EXPECT_NE(check.warning.find("appears again later with another value (\"b\")"),
        std::string::npos) << check.warning;
    EXPECT_EQ(deliveredCameraId(R"({"src_uuid":"a","meta":{},"src_uuid":"b"})"), "a");
    EXPECT_EQ(deliveredCameraId(R"({"src_uuid":"a\u0062","meta":{}})"), std::nullopt);
    EXPECT_EQ(deliveredCameraId("{\"src_uuid\":\"a\",not json"), "a") << "the relay does not parse";
}

/** The rewritten text must begin with the exact head and mean the same apart from the id. */
void expectRewritten(const std::string& original, const std::string& cameraId,
    const std::string& expectedId)
{
    SCOPED_TRACE(original);
    const std::optional<std::string> rewritten = rewriteSourceId(original, cameraId);
    ASSERT_TRUE(rewritten);
    const std::string head = "{\"src_uuid\":\"" + expectedId + "\"";
    ASSERT_EQ(rewritten->compare(0, head.size(), head), 0) << *rewritten;
    const char next = (*rewritten)[head.size()];
    EXPECT_TRUE(next == ',' || next == '}' || next == ' ' || next == '\n') << *rewritten;

    Json expected = Json::parse(original);
    expected.erase("src_uuid");
    Json actual = Json::parse(*rewritten);
    ASSERT_EQ(actual.begin().key(), "src_uuid");
    EXPECT_EQ(actual["src_uuid"], expectedId);
    actual.erase("src_uuid");
    EXPECT_EQ(actual.dump(), expected.dump()) << "members and their order are kept";
}

TEST(RewriteSourceId, PutsTheExactHeadFirstWhateverTheLayout)
{
    const std::vector<std::string> originals{
        R"({"src_uuid":"old","event":{"a":1}})",
        R"({ "src_uuid" : "old" , "event" : {"a":1} })",
        "{\n  \"src_uuid\": \"old\",\n  \"meta\": {\"metadata\": {\"annotations\": []}}\n}\n",
        "\t{\"event\":{},\"src_uuid\":\"old\"}",
        R"({"event":{"src_uuid":"nested must stay"},"src_uuid":"old","caption":"x"})",
        R"({"caption":"a } brace and a \" quote","src_uuid":"old","meta":{}})",
        R"({"event":{},"meta":{}})",
        R"({"src_uuid":"first","event":{},"src_uuid":"second"})",
        R"({"src_uuid":"only"})",
        "{}",
        R"({"list":[1,[2,{"src_uuid":"deep"}],"]"],"n":-1.5e3,"t":true,"z":null,"event":{}})",
    };
    for (const std::string& original: originals)
    {
        expectRewritten(original, kId, kId);
        expectRewritten(original, std::string("{") + kId + "}", kId);
    }
}

TEST(RewriteSourceId, LeavesNestedSourceIdsAlone)
{
    const std::optional<std::string> rewritten = rewriteSourceId(
        R"({"event":{"src_uuid":"inner"},"src_uuid":"outer"})", "cam");
    ASSERT_TRUE(rewritten);
    EXPECT_EQ(*rewritten, R"({"src_uuid":"cam","event":{"src_uuid":"inner"}})");
}

TEST(RewriteSourceId, RefusesTextsThatAreNoObject)
{
    for (const char* text: {"", "[]", "\"x\"", "{\"src_uuid\":", "{} {}", "null"})
        EXPECT_FALSE(rewriteSourceId(text, kId)) << text;
}

TEST(WithEngineTime, GoesWhereThePluginLooksFirstAndKeepsTheHead)
{
    const struct
    {
        const char* text;
        const char* expected;
    } cases[] = {
        {R"({"src_uuid":"c","event":{"type":"x","vid_ts_us":1},"timestamp":2})",
            R"({"src_uuid":"c","event":{"type":"x","vid_ts_us":1700000000123456},"timestamp":2})"},
        {R"({"src_uuid":"c", "meta":{"timestamp":1.5}})",
            R"({"src_uuid":"c","meta":{"timestamp":1.5},"timestamp":1700000000123456})"},
        {R"({"src_uuid":"c","event":"not an object","timestamp":"7"})",
            R"({"src_uuid":"c","event":"not an object","timestamp":1700000000123456})"},
    };
    for (const auto& c: cases)
        EXPECT_EQ(withEngineTime(c.text, 1700000000123456).value_or("null"), c.expected);
    EXPECT_FALSE(withEngineTime("[1]", 1));
    EXPECT_FALSE(withEngineTime("{", 1));
}

TEST(CameraId, BracesOfAServerIdAreStrippedAsThePluginDoes)
{
    EXPECT_EQ(prefixIdFromCameraId("{abc}"), "abc");
    EXPECT_EQ(prefixIdFromCameraId("abc"), "abc");
    EXPECT_EQ(prefixIdFromCameraId("{abc"), "{abc");
    EXPECT_EQ(prefixIdFromCameraId("{}"), "");
    EXPECT_FALSE(cameraIdProblem("{}").empty());
    EXPECT_FALSE(cameraIdProblem("a\"b").empty());
    EXPECT_FALSE(cameraIdProblem("a\\b").empty());
    EXPECT_FALSE(cameraIdProblem("a\nb").empty());
    EXPECT_TRUE(cameraIdProblem(kId).empty());
}

TEST(PrepareMessages, SendsEachMessageOncePerCameraInOrder)
{
    const std::vector<Message> messages{
        {"a", R"({"src_uuid":"x","event":{}})"},
        {"b", R"({"src_uuid":"x","meta":{}})"},
    };
    PublishOptions options;
    options.cameras = {"{cam-1}", "cam-2"};
    const PreparedMessages prepared = prepareMessages(messages, options);
    ASSERT_EQ(prepared.ready.size(), 4U);
    const std::vector<std::pair<std::string, std::string>> expected{
        {"a", "cam-1"}, {"a", "cam-2"}, {"b", "cam-1"}, {"b", "cam-2"}};
    for (size_t i = 0; i < expected.size(); ++i)
    {
        EXPECT_EQ(prepared.ready[i].origin, expected[i].first);
        EXPECT_EQ(prepared.ready[i].sourceId, expected[i].second);
        EXPECT_EQ(prepared.ready[i].text.rfind(
            "{\"src_uuid\":\"" + expected[i].second + "\",", 0), 0U);
    }
    EXPECT_TRUE(prepared.rejected.empty());
}

TEST(PrepareMessages, RejectsOnceAndKeepsTheRest)
{
    const std::vector<Message> messages{
        {"bad", R"({"src_uuid":"x","caption":"no body"})"},
        {"spaced", R"({ "src_uuid":"x","event":{}})"},
        {"good", R"({"src_uuid":"x","event":{}})"},
    };
    PublishOptions options;
    options.cameras = {"c1", "c2"};
    PreparedMessages prepared = prepareMessages(messages, options);
    ASSERT_EQ(prepared.rejected.size(), 1U);
    EXPECT_EQ(prepared.rejected[0].origin, "bad");
    EXPECT_EQ(prepared.ready.size(), 4U) << "the rewrite repairs the spaced head";

    options.cameras.clear();
    prepared = prepareMessages(messages, options);
    ASSERT_EQ(prepared.rejected.size(), 2U);
    EXPECT_EQ(prepared.rejected[1].origin, "spaced");
    ASSERT_EQ(prepared.ready.size(), 1U);
    EXPECT_EQ(prepared.ready[0].text, messages[2].text) << "sent byte for byte";

    options.compact = true;
    prepared = prepareMessages(messages, options);
    EXPECT_EQ(prepared.rejected.size(), 1U) << "compacting repairs the spaced head";

    options.compact = false;
    options.check = false;
    prepared = prepareMessages(messages, options);
    EXPECT_EQ(prepared.ready.size(), 3U);
    EXPECT_TRUE(prepared.rejected.empty());
}

TEST(BuiltInSamples, AreAllDeliverableAndNamedInOrder)
{
    const LoadedMessages samples = loadBuiltInSamples();
    ASSERT_TRUE(samples.error.empty()) << samples.error;
    ASSERT_EQ(samples.messages.size(), 6U);
    for (size_t i = 0; i < samples.messages.size(); ++i)
    {
        const EnvelopeCheck check = checkEnvelope(samples.messages[i].text);
        EXPECT_TRUE(check.deliverable()) << samples.messages[i].origin << ": " << check.problem;
        EXPECT_EQ(check.sourceId, kId);
        if (i > 0)
        {
            EXPECT_LT(samples.messages[i - 1].origin, samples.messages[i].origin);
        }
    }
}

} // namespace
} // namespace skyloom::publish
