// Reads the plugin's newest log file (by default "log_skyloom_0.log" in the working directory)
// while the plugin writes it. mark() remembers the current end, so that a test sees only the
// lines written after it; if the file has since been rotated (replaced by a new file, or cut
// shorter than the mark), the whole new file is read. Use from one thread; a missing file reads
// as empty.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace skyloom::testhost {

class LogFile
{
public:
    static constexpr const char* kDefaultPath = "log_skyloom_0.log";

    explicit LogFile(std::string path = kDefaultPath);

    const std::string& path() const { return m_path; }

    /** Later reads start at the file's current end. */
    void mark();

    std::string contents() const;
    std::vector<std::string> lines() const;
    int countLinesContaining(const std::string& text) const;

    /** Polls the file until a line contains the text; false on timeout. */
    bool waitForLine(const std::string& text, std::chrono::milliseconds timeout) const;

private:
    struct Identity
    {
        uint64_t device = 0;
        uint64_t inode = 0;
        bool operator==(const Identity& other) const
        {
            return device == other.device && inode == other.inode;
        }
    };

    static Identity identityOf(const std::string& path);

private:
    std::string m_path;
    Identity m_markedFile; //< Which file the offset belongs to.
    uint64_t m_offset = 0;
};

} // namespace skyloom::testhost
