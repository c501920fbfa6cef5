// Command lines of both tools and the publisher's message sources: every mistake must come
// back as one clear line, and good command lines must mean what they say.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_options.h"
#include "message_source.h"
#include "options.h"

namespace {

using skyloom::host::HostOptions;
using skyloom::host::parseHostArgs;
using skyloom::publish::LoadedMessages;
using skyloom::publish::parsePublishArgs;
using skyloom::publish::PublishOptions;
namespace fs = std::filesystem;

struct BadArgs
{
    std::vector<std::string> args;
    const char* errorPart;
};

TEST(PublishArgs, MistakesGiveOneClearLine)
{
    const std::vector<BadArgs> cases{
        {{"--bogus"}, "unknown option --bogus"},
        {{"-x"}, "unknown option -x"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "0"}, "bad port '0'"},
        {{"--port", "65536"}, "bad port"},
        {{"--port", "99x"}, "bad port"},
        {{"--port=-5"}, "bad port"},
        {{"--connect", "10.0.0.1"}, "bad endpoint '10.0.0.1'"},
        {{"--connect", "tcp://:9911"}, "bad endpoint"},
        {{"--connect", "ipc:///tmp/x"}, "bad endpoint"},
        {{"--connect", "h:0"}, "bad endpoint"},
        {{"--rate", "0"}, "bad rate '0'"},
        {{"--rate", "-2"}, "bad rate"},
        {{"--rate", "nan"}, "bad rate"},
        {{"--rate", "inf"}, "bad rate"},
        {{"--rate", "fast"}, "bad rate"},
        {{"--count", "0"}, "bad count"},
        {{"--count", "1.5"}, "bad count"},
        {{"--settle-ms", "-1"}, "bad settle time"},
        {{"--wait-timeout", "-1"}, "bad wait timeout"},
        {{"--wait-timeout", "3601"}, "bad wait timeout"},
        {{"--camera", "a\"b"}, "bad camera id"},
        {{"--camera", "{}"}, "bad camera id"},
        {{"--pace", "fast"}, "bad pace 'fast'"},
        {{"--speed", "0"}, "bad speed"},
        {{"--stamp-delay", "200:300"}, "bad stamp delay"},
        {{"--stamp-delay", "-5"}, "bad stamp delay"},
        {{"--stamp-delay", "200:"}, "bad stamp delay"},
        {{"--set", "=1", "--check"}, "bad setting '=1'"},
        {{"--set", "showCounter=true"}, "--set goes with --check"},
        {{"--json"}, "--json goes with --check"},
        {{"--check", "--print"}, "cannot be combined"},
        {{"a.jsonl", "--", "b.jsonl"}, "more than one message source"},
        {{"--loop=yes"}, "takes no value"},
        {{"a.jsonl", "b.jsonl"}, "more than one message source"},
        {{"a.jsonl", "--samples"}, "more than one message source"},
        {{"--samples", "a.jsonl"}, "more than one message source"},
        {{"--host", "a b"}, "bad host"},
        {{"--server-key", "server.key"}, "--server-key and --key go together"},
        {{"--key", "engine.key_secret"}, "--server-key and --key go together"},
    };
    for (const BadArgs& c: cases)
    {
        const auto parsed = parsePublishArgs(c.args);
        EXPECT_FALSE(parsed.options) << c.args[0];
        EXPECT_NE(parsed.error.find(c.errorPart), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
    }
}

// Piped messages were passed over for the built-in samples when no source was named.
TEST(PublishArgs, RepeatedConnectPublishesToEveryServerNamed)
{
    const auto parsed = parsePublishArgs({"--port", "9922", "--connect", "10.0.0.1:9911",
        "--connect=tcp://[fd00::2]:9912", "--connect", "server-3:9913"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->endpoints(), (std::vector<std::string>{"tcp://10.0.0.1:9911",
        "tcp://[fd00::2]:9912", "tcp://server-3:9913"}));
    EXPECT_EQ(parsed.options->endpointsText(),
        "tcp://10.0.0.1:9911, tcp://[fd00::2]:9912, tcp://server-3:9913");
}

TEST(PublishArgs, SamplesOnlyWhenAskedForOrNothingCanBePiped)
{
    struct Row
    {
        std::vector<std::string> args;
        bool inputIsTerminal;
        const char* read; //< "" for the samples.
    };
    const std::vector<Row> rows{
        {{}, true, ""},
        {{}, false, "-"},
        {{"--samples"}, false, ""},
        {{"-"}, true, "-"},
        {{"a.jsonl"}, false, "a.jsonl"},
    };
    for (const Row& row: rows)
    {
        const auto parsed = parsePublishArgs(row.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        EXPECT_EQ(skyloom::publish::sourceToRead(*parsed.options, row.inputIsTerminal), row.read)
            << row.args.size() << " arguments, terminal " << row.inputIsTerminal;
    }
}

TEST(PublishArgs, GoodCommandLinesMeanWhatTheySay)
{
    auto parsed = parsePublishArgs({});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->endpoint(), "tcp://127.0.0.1:9911");
    EXPECT_TRUE(parsed.options->sourcePath.empty()) << "no source named";
    EXPECT_FALSE(parsed.options->count);
    EXPECT_TRUE(parsed.options->check);
    EXPECT_TRUE(parsed.options->wait);

    parsed = parsePublishArgs({"--host", "10.0.0.5", "--port=9922", "--camera", "{a}",
        "--camera", "b", "--rate", "2.5", "--count", "7", "--loop", "--settle-ms", "0",
        "--no-check", "--compact", "-q", "--no-wait", "--wait-timeout", "0.5",
        "--stamp-delay", "200:100", "msgs.jsonl"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const PublishOptions& o = *parsed.options;
    EXPECT_EQ(o.endpoint(), "tcp://10.0.0.5:9922");
    EXPECT_EQ(o.endpoints(), (std::vector<std::string>{"tcp://10.0.0.5:9922"}));
    EXPECT_EQ(o.cameras, (std::vector<std::string>{"{a}", "b"}));
    EXPECT_DOUBLE_EQ(o.ratePerSecond, 2.5);
    EXPECT_EQ(o.count.value_or(0), 7);
    EXPECT_TRUE(o.loop);
    EXPECT_EQ(o.settleMs, 0);
    EXPECT_FALSE(o.wait);
    EXPECT_DOUBLE_EQ(o.waitTimeoutS, 0.5);
    EXPECT_FALSE(o.check);
    EXPECT_TRUE(o.compact);
    EXPECT_TRUE(o.quiet);
    EXPECT_EQ(o.sourcePath, "msgs.jsonl");
    ASSERT_TRUE(o.stampDelay);
    EXPECT_EQ(o.stampDelay->ms, 200);
    EXPECT_EQ(o.stampDelay->jitterMs, 100);

    parsed = parsePublishArgs({"--dry-run", "--set", "showCounter=false", "--set=a=b=c",
        "--speed", "2", "--", "-odd name.jsonl"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_TRUE(parsed.options->offlineCheck) << "--dry-run is --check";
    EXPECT_EQ(parsed.options->settings,
        (std::map<std::string, std::string>{{"showCounter", "false"}, {"a", "b=c"}}));
    EXPECT_EQ(parsed.options->pace, PublishOptions::Pace::recorded) << "--speed implies it";
    EXPECT_DOUBLE_EQ(parsed.options->speed, 2.0);
    EXPECT_EQ(parsed.options->sourcePath, "-odd name.jsonl");
}

TEST(HostArgs, MistakesGiveOneClearLine)
{
    const std::vector<BadArgs> cases{
        {{"--bogus"}, "unknown option --bogus"},
        {{"--port", "abc"}, "bad port"},
        {{"--port", "70000"}, "bad port"},
        {{"--fps", "0"}, "bad frame rate"},
        {{"--engine-set", "=x"}, "bad engine setting"},
        {{"--engine-set", "ServiceAddress"}, "bad engine setting"},
        {{"--fps", "5000"}, "bad frame rate"},
        {{"--cameras", "0"}, "bad camera count"},
        {{"--cameras", "2", "--camera", "x"}, "either --cameras N or --camera ID"},
        {{"--camera", "x", "--camera", "{x}"}, "given twice"},
        {{"--camera", ""}, "bad camera id"},
        {{"--set", "novalue"}, "expected key=value"},
        {{"--set", "=v"}, "expected key=value"},
        {{"--duration", "-1"}, "bad duration"},
        {{"--duration"}, "needs a value"},
        {{"--json=1"}, "takes no value"},
        {{"a.so", "b.so"}, "more than one plugin library"},
    };
    for (const BadArgs& c: cases)
    {
        const auto parsed = parseHostArgs(c.args);
        EXPECT_FALSE(parsed.options) << c.args[0];
        EXPECT_NE(parsed.error.find(c.errorPart), std::string::npos) << parsed.error;
        EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
    }
}

TEST(HostArgs, CamerasGetServerStyleIds)
{
    auto parsed = parseHostArgs({});
    ASSERT_TRUE(parsed.options);
    ASSERT_EQ(parsed.options->cameraIds.size(), 1U);
    EXPECT_EQ(parsed.options->cameraIds[0], "{8f120e8a-2ced-c84a-aa40-59a59f563488}")
        << "camera 1 carries the sample messages' id";

    parsed = parseHostArgs({"--cameras", "3"});
    ASSERT_TRUE(parsed.options);
    EXPECT_EQ(parsed.options->cameraIds, (std::vector<std::string>{
        "{8f120e8a-2ced-c84a-aa40-59a59f563488}", "{8f120e8b-2ced-c84a-aa40-59a59f563488}",
        "{8f120e8c-2ced-c84a-aa40-59a59f563488}"}));

    parsed = parseHostArgs({"--camera", "abc", "--camera", "{def}", "--set", "a=1",
        "--set", "b=", "--set", "a=x=y", "plugin.so", "--json", "--duration", "2.5"});
    ASSERT_TRUE(parsed.options) << parsed.error;
    const HostOptions& o = *parsed.options;
    EXPECT_EQ(o.cameraIds, (std::vector<std::string>{"{abc}", "{def}"}));
    EXPECT_EQ(o.settings, (std::map<std::string, std::string>{{"a", "x=y"}, {"b", ""}}));
    EXPECT_EQ(o.pluginPath, "plugin.so");
    EXPECT_TRUE(o.json);
    EXPECT_DOUBLE_EQ(o.durationS, 2.5);
}

class MessageSources: public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A directory of its own under /tmp: the test may run from any directory, the
        // source tree included, and must leave nothing there.
        char pattern[] = "/tmp/skyloom_sources_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string write(const std::string& name, const std::string& text)
    {
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    fs::path m_dir;
};

TEST_F(MessageSources, JsonLinesSkipBlankLinesAndKeepLineNumbers)
{
    const std::string path = write("m.jsonl", "{\"a\":1}\r\n\n   \n{\"b\":2}\n{\"c\":3}");
    const LoadedMessages loaded = skyloom::publish::loadMessages(path);
    ASSERT_TRUE(loaded.error.empty()) << loaded.error;
    ASSERT_EQ(loaded.messages.size(), 3U);
    EXPECT_EQ(loaded.messages[0].text, "{\"a\":1}") << "the carriage return is dropped";
    EXPECT_EQ(loaded.messages[1].origin, path + ":4");
    EXPECT_EQ(loaded.messages[2].text, "{\"c\":3}");
}

TEST_F(MessageSources, DirectoryFilesAreSentInNameOrder)
{
    write("b.json", "{\"n\":2}\n");
    write("a.json", "  {\"n\":1}  \n");
    write("c.txt", "{\"n\":3}");
    write("10.json", "{\"n\":0}");
    const LoadedMessages loaded = skyloom::publish::loadMessages(m_dir.string());
    ASSERT_TRUE(loaded.error.empty()) << loaded.error;
    ASSERT_EQ(loaded.messages.size(), 3U);
    EXPECT_EQ(loaded.messages[0].text, "{\"n\":0}");
    EXPECT_EQ(loaded.messages[1].text, "{\"n\":1}");
    EXPECT_EQ(loaded.messages[2].text, "{\"n\":2}");
}

TEST_F(MessageSources, OnePrettyPrintedObjectIsOneMessageAndCapturesKeepTheirTimes)
{
    const std::string pretty = "{\n  \"src_uuid\": \"a\",\n  \"meta\": {}\n}\n";
    LoadedMessages loaded = skyloom::publish::loadMessages(write("one.json", pretty));
    ASSERT_EQ(loaded.messages.size(), 1U) << loaded.error;
    EXPECT_EQ(loaded.messages[0].text, pretty.substr(0, pretty.size() - 1));

    loaded = skyloom::publish::loadMessages(write("capture.jsonl",
        "{\"receivedUs\":1000,\"message\":\"{\\\"src_uuid\\\":\\\"a\\\"}\"}\n"
        "{\"src_uuid\":\"b\"}\n"));
    ASSERT_EQ(loaded.messages.size(), 2U) << loaded.error;
    EXPECT_EQ(loaded.messages[0].text, "{\"src_uuid\":\"a\"}");
    EXPECT_EQ(loaded.messages[0].receivedUs.value_or(0), 1000);
    EXPECT_FALSE(loaded.messages[1].receivedUs) << "a plain message line has no time";
}

TEST_F(MessageSources, UnreadableSourcesSayWhy)
{
    EXPECT_NE(skyloom::publish::loadMessages((m_dir / "missing").string()).error.find(
        "no such file or directory"), std::string::npos);
    EXPECT_NE(skyloom::publish::loadMessages(m_dir.string()).error.find("no *.json"),
        std::string::npos);
    EXPECT_NE(skyloom::publish::loadMessages(write("blank.jsonl", "\n\n")).error.find(
        "holds no messages"), std::string::npos);
}

TEST_F(MessageSources, UnreadableFileGivesTheSystemsReason)
{
    const std::string locked = write("locked.jsonl", "{}\n");
    fs::permissions(locked, fs::perms::none);
    if (std::ifstream(locked).good())
        GTEST_SKIP() << "root reads any file";
    EXPECT_NE(skyloom::publish::loadMessages(locked).error.find(": Permission denied"),
        std::string::npos);
}

} // namespace
