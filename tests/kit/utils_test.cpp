#include <nx/kit/utils.h>

#include <gtest/gtest.h>

using namespace nx::kit::utils;

TEST(QuotedLiteral, EscapesEveryKindOfByte)
{
    const struct { std::string text; std::string expected; } cases[] = {
        {"", R"("")"},
        {"it's ~ plain", R"("it's ~ plain")"},
        {"a\"b", R"("a\"b")"},
        {"C:\\dir", R"("C:\\dir")"},
        {"\t\n\r", R"("\t\n\r")"},
        {std::string("a\0b", 3), R"("a\000b")"},
        {std::string("\0\0", 2), R"("\000\000")"},
        // A hex digit after a \x escape must stay outside it.
        {"\xE9" "A", R"("\xE9""A")"},
        {"\x01\x7F\x80\xFF", R"("\x01""\x7F""\x80""\xFF""")"},
        {"\x1B[0m", R"("\x1B""[0m")"},
    };
    for (const auto& c: cases)
        EXPECT_EQ(c.expected, quotedLiteral(c.text)) << c.expected;
}

TEST(QuotedLiteral, PointerOverloadStopsAtZeroAndNamesNull)
{
    EXPECT_EQ("null", quotedLiteral(static_cast<const char*>(nullptr)));
    EXPECT_EQ(R"("")", quotedLiteral(""));
    EXPECT_EQ(R"("a\"")", quotedLiteral("a\"\0b"));
}

TEST(FormatText, FormatsOneValueOrFallsBackToTheFormat)
{
    EXPECT_EQ("code -22 of 7", formatText("code %d of 7", -22));
    EXPECT_EQ("[" + std::string(300, 'x') + "]", formatText("[%s]", std::string(300, 'x').c_str()));
    EXPECT_EQ("0x00FF", formatText("0x%04X", 255u));
    // A wide character outside ASCII cannot be encoded in the C locale.
    EXPECT_EQ("%ls", formatText("%ls", L"\u00E9"));
}

TEST(ParseInt, AcceptsDecimalHexOctalWithinInt32)
{
    const struct { std::string text; int expected; } cases[] = {
        {"0", 0},
        {"-5000", -5000},
        {"+7", 7},
        {" 7", 7},
        {"0x10", 16},
        {"0X1f", 31},
        {"010", 8},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
    };
    for (const auto& c: cases)
    {
        int value = 12345;
        EXPECT_TRUE(parseInt(c.text, &value)) << c.text;
        EXPECT_EQ(c.expected, value) << c.text;
    }
}

TEST(ParseInt, RejectsAndLeavesTheValueUntouched)
{
    const std::string cases[] = {
        "", " ", "-", "abc", "12 ", "12ms", "1.5", "0x", "08", "0x1g",
        "2147483648", "-2147483649", "4294967296", "99999999999999999999",
        std::string("12\0" "3", 4),
    };
    for (const auto& text: cases)
    {
        int value = 12345;
        EXPECT_FALSE(parseInt(text, &value)) << '"' << text << '"';
        EXPECT_EQ(12345, value) << '"' << text << '"';
    }
    EXPECT_FALSE(parseInt("5", nullptr));
}
