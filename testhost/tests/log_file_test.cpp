#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include <skyloom/testhost/log_file.h>

namespace skyloom::testhost {
namespace {

using namespace std::chrono_literals;

class LogFileTest: public ::testing::Test
{
protected:
    const std::string m_path =
        ::testing::TempDir() + "testhost_log_" + std::to_string(getpid()) + ".log";

    const std::string m_olderPath = m_path + ".1";

    void TearDown() override
    {
        std::remove(m_path.c_str());
        std::remove(m_olderPath.c_str());
    }

    void write(const std::string& text, std::ios::openmode mode = std::ios::app)
    {
        std::ofstream(m_path, std::ios::binary | mode) << text;
    }
};

TEST_F(LogFileTest, MarkHidesEarlierLinesUntilTheFileIsRotated)
{
    LogFile log(m_path);
    EXPECT_EQ(log.contents(), ""); //< No file yet.

    write("[engine..}] Created 0x1\n");
    log.mark();
    write("[device_{8f120e8a..}] Created 0x2\n[device_{8f120e8a..}] Destroyed 0x2\n");
    EXPECT_EQ(log.lines().size(), 2U);
    EXPECT_EQ(log.countLinesContaining("Created"), 1);
    EXPECT_EQ(log.countLinesContaining("[engine"), 0);

    // Rotation renames the file and starts a new one, here longer than the mark already.
    ASSERT_EQ(std::rename(m_path.c_str(), m_olderPath.c_str()), 0);
    write("[engine..}] Destroyed 0x1 after a rotation of the log file\n");
    EXPECT_EQ(log.lines().size(), 1U);
    EXPECT_EQ(log.countLinesContaining("[engine..}] Destroyed"), 1);

    log.mark();
    write("x\n", std::ios::trunc); //< Cut shorter than the mark.
    EXPECT_EQ(log.contents(), "x\n");
}

TEST_F(LogFileTest, WaitForLineSeesOnlyWhatIsThere)
{
    LogFile log(m_path);
    write("first line\n");
    EXPECT_TRUE(log.waitForLine("first", 0ms));
    EXPECT_FALSE(log.waitForLine("second", 50ms));
}

} // namespace
} // namespace skyloom::testhost
