// The main of test executables whose runs each work in a fresh directory of their own: the code
// under test writes (and rotates) its log file and other files in the working directory, tests
// read them back, and ctest runs the tests as parallel processes. The directory is removed at the
// end unless a test failed (its files then tell what happened; its path is printed).

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    std::string pattern = ::testing::TempDir() + "skyloom_tests_XXXXXX";
    // Readable by all: some tests run a program as another user in a directory below it.
    if (!mkdtemp(pattern.data()) || chmod(pattern.c_str(), 0755) != 0
        || chdir(pattern.c_str()) != 0)
    {
        std::perror("tests: a directory of their own");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    if (result == 0)
        std::filesystem::remove_all(pattern, ignored);
    else
        std::fprintf(stderr, "tests: their files are kept in %s\n", pattern.c_str());
    return result;
}
