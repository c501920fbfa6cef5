// Each run of the agent tests works in a fresh directory of its own, removed at the end: the
// agent writes (and rotates) its log file in the working directory, some tests read it back, and
// ctest runs the tests as parallel processes.

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string pattern = ::testing::TempDir() + "skyloom_agent_tests_XXXXXX";
    if (!mkdtemp(pattern.data()) || chdir(pattern.c_str()) != 0)
    {
        std::perror("agent tests: a directory of their own");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(pattern, ignored);
    return result;
}
