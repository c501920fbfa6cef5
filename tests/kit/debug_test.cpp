#include <nx/kit/debug.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

using namespace nx::kit::debug;

namespace {

/** Points the library's stream at a string for the lifetime of the object. */
class CapturedOutput
{
public:
    CapturedOutput(): m_savedStream(debugStream()) { debugStream() = &m_text; }
    ~CapturedOutput() { debugStream() = m_savedStream; }
    std::string text() const { return m_text.str(); }

private:
    std::ostream* const m_savedStream;
    std::ostringstream m_text;
};

/** A print function that keeps every text it is given. */
struct Printed
{
    std::vector<std::string> texts;
    PrintFunc func() { return [this](const std::string& text) { texts.push_back(text); }; }
};

std::string pointerText(const void* pointer)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%p", pointer);
    return buffer;
}

// The toolkit's directory as the build records it, e.g. "/home/me/skyloom/nx_kit".
const std::string kKitDir = NX_KIT_SOURCE_DIR;
const std::string kKitParentDir = kKitDir.substr(0, kKitDir.rfind('/'));

} // namespace

TEST(PrintMacros, PrintWritesFilePrefixValuesAndOneLineEnd)
{
    CapturedOutput output;
    NX_PRINT << "value " << 42 << ' ' << 1.5;
    EXPECT_EQ("[debug_test] value 42 1.5\n", output.text());
}

TEST(PrintMacros, ConditionalPrintIsSkippedWithoutEvaluatingValues)
{
    CapturedOutput output;
    bool outputEnabled = false;
    int evaluations = 0;
    const auto counted = [&evaluations] { return ++evaluations; };

#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT outputEnabled
    NX_OUTPUT << "hidden " << counted();
    EXPECT_EQ("", output.text());
    EXPECT_EQ(0, evaluations);

    outputEnabled = true;
    NX_OUTPUT << "shown " << counted();
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT true

    EXPECT_EQ("[debug_test] shown 1\n", output.text());
}

TEST(PrintMacros, FailedAssertionIsReportedAsOneStatementAndReturnsFalse)
{
    CapturedOutput output;
    const int x = 1;

    EXPECT_TRUE(NX_KIT_ASSERT(x == 1, "not printed"));
    EXPECT_EQ("", output.text());

    const int line = __LINE__ + 1;
    EXPECT_FALSE(NX_KIT_ASSERT(x == 2, "x is " + std::to_string(x)));
    EXPECT_EQ("[debug_test] \n>>> ASSERTION FAILED: " + relativeSourcePath(__FILE__) + ":"
        + std::to_string(line) + " (x == 2) x is 1\n", output.text());
}

TEST(Assertion, AssertConditionReportsOnlyFalseConditions)
{
    Printed printed;
    EXPECT_TRUE(assertCondition(true, "ok", "msg", "/a/src/nx/sdk/x.cpp", 1, printed.func()));
    EXPECT_TRUE(printed.texts.empty());

    EXPECT_FALSE(assertCondition(false, "p != nullptr", "no object", "/a/src/nx/sdk/x.cpp", 77,
        printed.func()));
    ASSERT_EQ(1u, printed.texts.size());
    EXPECT_EQ("\n>>> ASSERTION FAILED: nx/sdk/x.cpp:77 (p != nullptr) no object",
        printed.texts[0]);
}

TEST(SourcePaths, RelativeSourcePath)
{
    const struct { std::string path; std::string expected; } cases[] = {
        {"/home/build/src/nx/sdk/analytics/helpers/plugin.cpp",
            "nx/sdk/analytics/helpers/plugin.cpp"},
        // Only a src directory directly holding nx counts, and the first such one.
        {"/x/src/lib/src/nx/kit/a.cpp", "nx/kit/a.cpp"},
        {"/x/src/nx/a/src/nx/b.cpp", "nx/a/src/nx/b.cpp"},
        // Otherwise the part shared with the toolkit's own path is dropped, up to the end of
        // the directory name in which the two paths part.
        {kKitDir + "/src/nx/kit/debug.cpp", "nx/kit/debug.cpp"},
        {kKitDir + "/tests/a.cpp", "a.cpp"},
        {kKitDir + "/README", "README"},
        {kKitDir + "_old/samples/x.cpp", "samples/x.cpp"},
        {kKitParentDir + "/samples/skyloom_analytics_plugin/engine.cpp",
            "skyloom_analytics_plugin/engine.cpp"},
        {"relative/file.cpp", "relative/file.cpp"},
        {"", ""},
    };
    for (const auto& c: cases)
        EXPECT_EQ(c.expected, relativeSourcePath(c.path)) << c.path;
}

TEST(SourcePaths, BaseNameWithoutExtension)
{
    const struct { std::string path; std::string expected; } cases[] = {
        {"/a/src/nx/sdk/analytics/helpers/plugin.cpp", "plugin"},
        {"plugin.cpp", "plugin"},
        {"plugin", "plugin"},
        {"/a/dir.d/file", "file"},
        {"/a/archive.tar.gz", "archive.tar"},
        {"/a/b/", ""},
    };
    for (const auto& c: cases)
        EXPECT_EQ(c.expected, baseNameWithoutExtension(c.path)) << c.path;
}

TEST(SourcePaths, FilePrintPrefixIsCachedWithStableReferences)
{
    const char* const path = "/home/build/src/nx/sdk/analytics/helpers/plugin.cpp";
    const std::string& prefix = filePrintPrefix(path);
    EXPECT_EQ("[plugin] ", prefix);

    // Many new entries from several threads must neither move nor corrupt existing ones.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
    {
        threads.emplace_back(
            [t] {
                for (int i = 0; i < 200; ++i)
                {
                    const std::string name = "f" + std::to_string(t) + "_" + std::to_string(i);
                    EXPECT_EQ("[" + name + "] ", filePrintPrefix(("/d/" + name + ".cpp").c_str()));
                }
            });
    }
    for (auto& thread: threads)
        thread.join();

    EXPECT_EQ(&prefix, &filePrintPrefix(path));
    EXPECT_EQ("[plugin] ", prefix);
    EXPECT_EQ("[] ", filePrintPrefix(nullptr));
}

TEST(HexDump, HexDumpLine)
{
    const struct { std::string bytes; int size; int width; std::string expected; } cases[] = {
        {std::string("A\0", 2), 2, 4, "41 00" + std::string(6, ' ') + " | A."},
        {"\xFF\x7F ~", 4, 0, "FF 7F 20 7E | .. ~"},
        {"\x1F\x80" "abc", 5, 3, "1F 80 61 62 63 | ..abc"},
        {"AB", 0, 16, ""},
        {"AB", -1, 16, ""},
    };
    for (const auto& c: cases)
        EXPECT_EQ(c.expected, hexDumpLine(c.bytes.data(), c.size, c.width)) << c.expected;
}

TEST(HexDump, UpToEightBytesFitOneLine)
{
    const char bytes[] = "ABCDEFGH";
    Printed printed;
    printHexDump(printed.func(), "cap", bytes, 8);
    ASSERT_EQ(1u, printed.texts.size());
    EXPECT_EQ("Hex dump \"cap\", 8 bytes @" + pointerText(bytes)
        + ": { 41 42 43 44 45 46 47 48 | ABCDEFGH }", printed.texts[0]);
}

TEST(HexDump, LongerDumpsAreBracedLinesOfSixteenPadded)
{
    const char bytes[] = "ABCDEFGHIJKLMNOPQ";
    const std::string sixteen =
        "41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP";
    const auto withSize =
        [&bytes](int size)
        {
            return "Hex dump \"c\", " + std::to_string(size) + " bytes @" + pointerText(bytes)
                + ":";
        };

    Printed printed;
    printHexDump(printed.func(), "c", bytes, 9);
    printHexDump(printed.func(), "c", bytes, 16);
    printHexDump(printed.func(), "c", bytes, 17);
    ASSERT_EQ(3u, printed.texts.size());
    EXPECT_EQ(withSize(9) + "\n{\n\n    41 42 43 44 45 46 47 48 49" + std::string(7 * 3, ' ')
        + " | ABCDEFGHI\n}", printed.texts[0]);
    EXPECT_EQ(withSize(16) + "\n{\n\n    " + sixteen + "\n}", printed.texts[1]);
    EXPECT_EQ(withSize(17) + "\n{\n\n    " + sixteen + "\n    51" + std::string(15 * 3, ' ')
        + " | Q\n}", printed.texts[2]);
}

TEST(HexDump, AbsentBytesAreNotRead)
{
    Printed printed;
    printHexDump(printed.func(), nullptr, nullptr, 40);
    ASSERT_EQ(1u, printed.texts.size());
    EXPECT_EQ("Hex dump \"\", 40 bytes @" + pointerText(nullptr) + ":\n{\n\n}", printed.texts[0]);
}

TEST(Timer, WithoutMarksReportsMicroseconds)
{
    Printed printed;
    Timer timer("load", printed.func());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    timer.finish();

    ASSERT_EQ(1u, printed.texts.size());
    std::smatch match;
    const std::regex report(R"(NX_TIME\(load\): (\d+) us)");
    ASSERT_TRUE(std::regex_match(printed.texts[0], match, report)) << printed.texts[0];
    EXPECT_GE(std::stoll(match[1]), 2000);
}

TEST(Timer, MarksAreReportedInOrderAndDuplicatesRejected)
{
    Printed printed;
    Timer timer("t", printed.func());
    timer.mark("open");
    timer.mark("read");
    timer.mark("open");
    timer.finish();

    ASSERT_EQ(2u, printed.texts.size());
    EXPECT_EQ("NX_TIME(t) INTERNAL ERROR: Timer mark \"open\" already defined.", printed.texts[0]);
    const std::regex report(
        R"(NX_TIME\(t\): open: [ \d]{2}\d ms, read: [ \d]{2}\d ms, last: [ \d]{2}\d ms)");
    EXPECT_TRUE(std::regex_match(printed.texts[1], report)) << printed.texts[1];
}

TEST(FpsCounter, FirstFrameIsSilentLaterFramesPrintOneLineEach)
{
    Printed printed;
    FpsCounter counter("cam", printed.func());
    counter.markFrame("first");
    EXPECT_TRUE(printed.texts.empty());

    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    counter.markFrame("extra");
    counter.markFrame();
    ASSERT_EQ(2u, printed.texts.size());

    const std::regex line(
        R"(NX_FPS\(cam\): avg [ \d]{2}\d*\.\d, dt [ \d]{2}\d* ms, avg dt [ \d]{2}(\d*) ms(.*))");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(printed.texts[0], match, line)) << printed.texts[0];
    EXPECT_EQ("; extra", match[2]);
    ASSERT_TRUE(std::regex_match(printed.texts[1], match, line)) << printed.texts[1];
    EXPECT_EQ("", match[2]);
}
