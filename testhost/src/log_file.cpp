#include <skyloom/testhost/log_file.h>

#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace skyloom::testhost {

using namespace std::chrono;

namespace {

constexpr milliseconds kPollInterval(20);

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return std::string();
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

LogFile::LogFile(std::string path): m_path(std::move(path))
{
}

LogFile::Identity LogFile::identityOf(const std::string& path)
{
    struct stat status{};
    if (stat(path.c_str(), &status) != 0)
        return Identity();
    return {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino)};
}

void LogFile::mark()
{
    m_markedFile = identityOf(m_path);
    m_offset = readFile(m_path).size();
}

std::string LogFile::contents() const
{
    const bool sameFile = identityOf(m_path) == m_markedFile;
    std::string all = readFile(m_path);
    if (!sameFile || all.size() < m_offset)
        return all;
    return all.substr(static_cast<size_t>(m_offset));
}

std::vector<std::string> LogFile::lines() const
{
    std::vector<std::string> result;
    std::istringstream stream(contents());
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

int LogFile::countLinesContaining(const std::string& text) const
{
    int count = 0;
    for (const auto& line: lines())
    {
        if (line.find(text) != std::string::npos)
            ++count;
    }
    return count;
}

bool LogFile::waitForLine(const std::string& text, milliseconds timeout) const
{
    const auto deadline = steady_clock::now() + timeout;
    for (;;)
    {
        if (countLinesContaining(text) > 0)
            return true;
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

} // namespace skyloom::testhost
