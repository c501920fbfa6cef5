// Text forms of Uuid and random ids.
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <nx/sdk/helpers/uuid_helper.h>

#include "test_support.h"

namespace nx::sdk::test {
namespace {

using namespace nx::sdk::UuidHelper;

Uuid sampleId()
{
    return Uuid({0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
        0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10});
}

TEST(UuidHelperTest, TextFormFollowsTheOptions)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {FormatOptions::all, "{01234567-89AB-CDEF-FEDC-BA9876543210}"},
        {FormatOptions::none, "0123456789abcdeffedcba9876543210"},
        {FormatOptions::uppercase, "0123456789ABCDEFFEDCBA9876543210"},
        {FormatOptions::hyphens, "01234567-89ab-cdef-fedc-ba9876543210"},
        {FormatOptions::braces | FormatOptions::hyphens, "{01234567-89ab-cdef-fedc-ba9876543210}"},
    };
    for (const auto& [options, text]: cases)
        EXPECT_EQ(text, toStdString(sampleId(), options)) << options;

    EXPECT_EQ("{00000000-0000-0000-0000-000000000000}", toStdString(Uuid()));
    std::ostringstream stream;
    stream << sampleId();
    EXPECT_EQ("{01234567-89AB-CDEF-FEDC-BA9876543210}", stream.str());
}

TEST(UuidHelperTest, ParsesEveryLayoutOfTheSameDigits)
{
    const std::vector<std::string> texts = {
        "{01234567-89AB-CDEF-FEDC-BA9876543210}",
        "{01234567-89ab-cdef-fedc-ba9876543210}",
        "0123456789abcdeffedcba9876543210",
        "01234567-89AB-cdef-FEDC-ba9876543210",
        " {0123 4567-89-AB-CDEF-FEDC-BA98\t7654\r\n3210} ",
        "0-1-2-3-4-5-6-7-8-9-a-b-c-d-e-f-f-e-d-c-b-a-9-8-7-6-5-4-3-2-1-0",
        "}}0123456789ABCDEFFEDCBA9876543210{{",
    };
    for (const std::string& text: texts)
        EXPECT_EQ(sampleId(), fromStdString(text)) << text;
}

TEST(UuidHelperTest, RejectsTextsThatAreNotIds)
{
    const std::string digits = "0123456789ABCDEFFEDCBA9876543210";
    const std::vector<std::string> texts = {
        "",
        digits.substr(0, 31), //< Too short to hold an id.
        "{" + digits.substr(0, 31) + "}", //< Long enough, but one digit short.
        digits + "00", //< 34 digits.
        digits + "0",
        "g" + digits.substr(1),
        digits.substr(0, 16) + "g" + digits.substr(17),
        digits.substr(0, 31) + "G",
        digits.substr(0, 30) + "+F", //< strtol would take a sign.
        digits.substr(0, 30) + "\vF", //< ... or leading white space other than the skipped.
        digits.substr(0, 30) + "0x",
        digits + std::string(1, '\0'),
        digits.substr(0, 10) + std::string(1, '\0') + digits.substr(10),
        "{01234567_89AB-CDEF-FEDC-BA9876543210}",
    };
    for (const std::string& text: texts)
        EXPECT_TRUE(fromStdString(text).isNull()) << text;
}

TEST(UuidHelperTest, RandomIdsAreVersion4Variant10AndRoundTrip)
{
    std::set<std::string> seen;
    for (int i = 0; i < 500; ++i)
    {
        const Uuid id = randomUuid();
        const std::string text = toStdString(id, FormatOptions::all);
        ASSERT_EQ(38U, text.size()) << text;
        EXPECT_EQ('4', text[15]) << text;
        EXPECT_NE(std::string::npos, std::string("89AB").find(text[20])) << text;
        EXPECT_EQ(id, fromStdString(text));
        seen.insert(text);
    }
    EXPECT_GT(seen.size(), 490U);
}

TEST(UuidHelperTest, RandomIdIsBuiltFromEightRandWordsHighByteFirst)
{
    // Replays the generator to predict the id: this pins the word order, the byte order and
    // the version and variant arithmetic.
    std::srand(12345);
    std::vector<int> words;
    for (int i = 0; i < 8; ++i)
        words.push_back(std::rand());
    words[3] = (words[3] & 0x0FFF) | 0x4000;
    words[4] = words[4] % 0x3FFF + 0x8000;
    Uuid expected;
    for (int i = 0; i < 8; ++i)
    {
        expected[2 * i] = static_cast<uint8_t>((words[i] >> 8) & 0xFF);
        expected[2 * i + 1] = static_cast<uint8_t>(words[i] & 0xFF);
    }

    std::srand(12345);
    EXPECT_EQ(toStdString(expected), toStdString(randomUuid()));
}

} // namespace
} // namespace nx::sdk::test
