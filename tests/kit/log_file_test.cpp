// The log file is opened by the first print of a process, so every test runs its prints in a
// forked child whose working directory is a fresh temporary directory; this process never prints.
#include <nx/kit/debug.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using nx::kit::debug::printLine;

namespace {

std::string logName(int generation)
{
    return "log_skyloom_" + std::to_string(generation) + ".log";
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::vector<std::string> readLines(const fs::path& path)
{
    std::ifstream file(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line); )
        lines.push_back(line);
    return lines;
}

/** Starts all threads first and releases them together, so their first prints race. */
void printConcurrently(int threadCount, int linesPerThread, const std::string& padding)
{
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
    {
        threads.emplace_back(
            [&go, t, linesPerThread, &padding]
            {
                while (!go)
                    std::this_thread::yield();
                const std::string name = "thread " + std::to_string(t) + " line ";
                for (int i = 0; i < linesPerThread; ++i)
                    printLine(name + std::to_string(i) + padding);
            });
    }
    go = true;
    for (auto& thread: threads)
        thread.join();
}

class LogFile: public ::testing::Test
{
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kit_log_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    void writeGeneration(int generation)
    {
        std::ofstream(m_dir / logName(generation)) << "old generation " << generation << "\n";
    }

    std::set<std::string> fileNames() const
    {
        std::set<std::string> names;
        for (const auto& entry: fs::directory_iterator(m_dir))
            names.insert(entry.path().filename().string());
        return names;
    }

    /** Runs body in a child process inside the test directory; returns its exit code. */
    template<typename Body>
    int runInChild(Body body)
    {
        const pid_t pid = fork();
        if (pid == 0)
        {
            if (chdir(m_dir.c_str()) != 0)
                _exit(100);
            body();
            _exit(0);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - WTERMSIG(status);
    }

    fs::path m_dir;
};

} // namespace

TEST_F(LogFile, RotatesFiveGenerationsExactlyOnceUnderConcurrentFirstPrints)
{
    for (int generation = 0; generation <= 4; ++generation)
        writeGeneration(generation);

    ASSERT_EQ(0, runInChild([] { printConcurrently(8, 1, ""); }));

    EXPECT_EQ((std::set<std::string>{logName(0), logName(1), logName(2), logName(3), logName(4)}),
        fileNames());
    for (int generation = 1; generation <= 4; ++generation)
    {
        EXPECT_EQ("old generation " + std::to_string(generation - 1) + "\n",
            readFile(m_dir / logName(generation)));
    }
    auto lines = readLines(m_dir / logName(0));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ((std::vector<std::string>{"thread 0 line 0", "thread 1 line 0", "thread 2 line 0",
        "thread 3 line 0", "thread 4 line 0", "thread 5 line 0", "thread 6 line 0",
        "thread 7 line 0"}), lines);
}

TEST_F(LogFile, MissingGenerationsAreSkipped)
{
    writeGeneration(1);
    writeGeneration(3);

    ASSERT_EQ(0, runInChild([] { NX_PRINT << "new " << 1; }));

    EXPECT_EQ((std::set<std::string>{logName(0), logName(2), logName(4)}), fileNames());
    EXPECT_EQ("[log_file_test] new 1\n", readFile(m_dir / logName(0)));
    EXPECT_EQ("old generation 1\n", readFile(m_dir / logName(2)));
    EXPECT_EQ("old generation 3\n", readFile(m_dir / logName(4)));
}

TEST_F(LogFile, LinesFromManyThreadsArriveWholeAndOnce)
{
    constexpr int kThreads = 8;
    constexpr int kLinesPerThread = 1000;
    const std::string padding = " " + std::string(200, 'x');

    ASSERT_EQ(0, runInChild([&padding] { printConcurrently(kThreads, kLinesPerThread, padding); }));

    EXPECT_EQ(std::set<std::string>{logName(0)}, fileNames());
    const auto lines = readLines(m_dir / logName(0));
    ASSERT_EQ(static_cast<size_t>(kThreads * kLinesPerThread), lines.size());
    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
    {
        for (int i = 0; i < kLinesPerThread; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + padding);
    }
    EXPECT_EQ(expected, std::set<std::string>(lines.begin(), lines.end()));
}

TEST_F(LogFile, PrintsFromStaticDestructorsAtExitAreKept)
{
    struct PrintsWhenDestroyed
    {
        ~PrintsWhenDestroyed() { printLine("from a static destructor"); }
    };

    ASSERT_EQ(0, runInChild(
        []
        {
            static PrintsWhenDestroyed printsWhenDestroyed;
            printLine("before exit");
            std::exit(0);
        }));

    EXPECT_EQ("before exit\nfrom a static destructor\n", readFile(m_dir / logName(0)));
}

TEST_F(LogFile, UnwritableDirectoryLosesOutputSilently)
{
    const fs::path removedDir = m_dir / "removed";
    ASSERT_EQ(0, runInChild(
        [&removedDir]
        {
            // A removed working directory refuses new files even to root.
            if (mkdir(removedDir.c_str(), 0700) != 0 || chdir(removedDir.c_str()) != 0
                || rmdir(removedDir.c_str()) != 0)
            {
                _exit(101);
            }
            for (int i = 0; i < 10; ++i)
                NX_PRINT << "lost " << i;
            if (!nx::kit::debug::debugStream() || !nx::kit::debug::debugStream()->fail())
                _exit(102);
        }));

    EXPECT_TRUE(fileNames().empty());
}

// The log rotated only when the process started: a flood of lines grew one file without bound.
TEST_F(LogFile, FloodOfLinesGrewOneFileWithoutBound)
{
    constexpr uint64_t kLineBytes = 1024;
    constexpr uint64_t kLines = 6 * nx::kit::debug::kMaxLogFileBytes / kLineBytes + 10;
    ASSERT_EQ(0, runInChild(
        []
        {
            const std::string padding(kLineBytes - 16, 'x');
            char number[16];
            for (uint64_t i = 0; i < kLines; ++i)
            {
                std::snprintf(
                    number, sizeof(number), "%015llu", static_cast<unsigned long long>(i));
                printLine(number + padding);
            }
        }));

    EXPECT_EQ((std::set<std::string>{logName(0), logName(1), logName(2), logName(3), logName(4)}),
        fileNames());
    uint64_t total = 0;
    for (int generation = 0; generation <= 4; ++generation)
    {
        const uint64_t size = fs::file_size(m_dir / logName(generation));
        EXPECT_LE(size, nx::kit::debug::kMaxLogFileBytes + kLineBytes) << generation;
        total += size;
    }
    EXPECT_LE(total, 5 * (nx::kit::debug::kMaxLogFileBytes + kLineBytes));
    // The newest lines are in generation 0, the ones just before them at the end of 1.
    const auto newest = readLines(m_dir / logName(0));
    ASSERT_FALSE(newest.empty());
    EXPECT_EQ(kLines - 1, std::stoull(newest.back().substr(0, 15)));
    const auto older = readLines(m_dir / logName(1));
    ASSERT_FALSE(older.empty());
    EXPECT_EQ(std::stoull(newest.front().substr(0, 15)) - 1,
        std::stoull(older.back().substr(0, 15)));
}
