// Capture files replay the bytes that were received: a message that is not UTF-8 (which the
// plugin drops) must come back as it was, not as the U+FFFD text that a JSON string holds.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "base64.h"
#include "capture_record.h"
#include "message_source.h"
#include "offline_check.h"

namespace {

namespace fs = std::filesystem;
using skyloom::tools::fromBase64;
using skyloom::tools::toBase64;

TEST(Base64, RoundTripsEveryLengthAndRefusesWhatIsNotBase64)
{
    const std::vector<std::pair<std::string, std::string>> known{
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"\xff\xfe", "//4="},
        {std::string("\0\x80", 2), "AIA="},
    };
    for (const auto& [bytes, text]: known)
    {
        EXPECT_EQ(toBase64(bytes), text);
        EXPECT_EQ(fromBase64(text).value_or("?"), bytes) << text;
    }
    for (const char* bad: {"Zg=", "Z===", "Zg=a", "Zm9v Zg==", "Zm\n9v", "Zm9-", "=Zm9"})
        EXPECT_FALSE(fromBase64(bad)) << bad;
}

/** Writes the capture lines to a file of its own and loads it as skyloom-publish does. */
skyloom::publish::LoadedMessages loadCapture(const std::string& lines)
{
    const fs::path path =
        fs::temp_directory_path() / ("skyloom_capture_" + std::to_string(getpid()) + ".jsonl");
    std::ofstream(path, std::ios::binary) << lines;
    skyloom::publish::LoadedMessages loaded = skyloom::publish::loadMessages(path.string());
    fs::remove(path);
    return loaded;
}

// A message holding \xff\xfe was recorded as U+FFFD: its replay passed --check as "ok" while
// the plugin had dropped the original.
TEST(CaptureRecord, MessageThatIsNotUtf8WasRecordedAsReplacementCharacters)
{
    const std::string head = "{\"src_uuid\":\"cam-1\",\"meta\":{\"metadata\":{\"annotations\":[]}}";
    const std::vector<std::string> messages{
        head + ",\"note\":\"\xff\xfe\"}",
        head + ",\"note\":\"caf\xc3\xa9 \\u00e9\"}  ", //< UTF-8 and an escape: kept as text
        head + ",\"note\":\"\xc3\"}", //< a sequence cut short
    };
    std::string lines;
    for (size_t i = 0; i < messages.size(); ++i)
    {
        const std::string line =
            skyloom::capture::captureLine(1000 + static_cast<int64_t>(i), messages[i]);
        EXPECT_EQ(line.find("\"messageBase64\":") != std::string::npos, i != 1)
            << "only a message that is not UTF-8 carries its bytes: " << line;
        lines += line + "\n";
    }

    const skyloom::publish::LoadedMessages loaded = loadCapture(lines);
    ASSERT_EQ(loaded.messages.size(), messages.size()) << loaded.error;
    skyloom::publish::OfflineChecker checker(skyloom::publish::defaultAgentSettings());
    for (size_t i = 0; i < messages.size(); ++i)
    {
        EXPECT_EQ(loaded.messages[i].text, messages[i]) << i;
        EXPECT_EQ(loaded.messages[i].receivedUs.value_or(0), 1000 + static_cast<int64_t>(i));
        const skyloom::publish::CheckedMessage checked =
            checker.check("cam-1", loaded.messages[i].text);
        EXPECT_EQ(checked.dropped(), i != 1) << "the plugin's verdict on the original, " << i;
    }
}

TEST(CaptureRecord, OlderCapturesStayReadable)
{
    // As skyloom-capture wrote them before: the text alone, U+FFFD where a byte was not UTF-8.
    const skyloom::publish::LoadedMessages loaded = loadCapture(
        "{\"receivedUs\":5,\"message\":\"{\\\"src_uuid\\\":\\\"a\\\",\\\"x\\\":\\\"\xef\xbf\xbd\\\"}\"}\n"
        "{\"receivedUs\":6,\"message\":\"{\\\"src_uuid\\\":\\\"b\\\"}\"}\n");
    ASSERT_EQ(loaded.messages.size(), 2U) << loaded.error;
    EXPECT_EQ(loaded.messages[0].text, "{\"src_uuid\":\"a\",\"x\":\"\xef\xbf\xbd\"}");
    EXPECT_EQ(loaded.messages[1].text, "{\"src_uuid\":\"b\"}");
    EXPECT_EQ(loaded.messages[1].receivedUs.value_or(0), 6);

    const skyloom::publish::LoadedMessages damaged = loadCapture(
        "{\"receivedUs\":5,\"message\":\"x\",\"messageBase64\":\"//4\"}\n");
    EXPECT_TRUE(damaged.messages.empty());
    EXPECT_NE(damaged.error.find(".jsonl:1: \"messageBase64\" is not base64"), std::string::npos)
        << damaged.error;
}

} // namespace
