// The library's single log output and its developer aids.
//
// Every line goes to one process-wide stream, a log file "log_skyloom_0.log" in the working
// directory, opened (after rotating the older generations 0..3 to 1..4) on first use and rolled
// over the same way whenever it has grown past kMaxLogFileBytes, so that the five files never
// hold much more than five times that. A print
// statement builds its whole line in memory and writes it to the stream under one lock, then
// flushes, so lines from different threads never interleave. Any thread may print.
//
// Usage in a .cpp file:
//     NX_PRINT << "value: " << value;                  // always written
//     NX_OUTPUT << "detail";                            // written when NX_DEBUG_ENABLE_OUTPUT
//     NX_KIT_ASSERT(pointer, "message");               // reports a failed check, returns bool
// NX_PRINT_PREFIX (default: filePrintPrefix(__FILE__)) and NX_DEBUG_ENABLE_OUTPUT (default:
// true) are read where the statement is expanded; a file or class may redefine them after
// including this header (e.g. to an object's print prefix and output flag).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace nx::kit::debug {

using PrintFunc = std::function<void(const std::string&)>;

/** Size past which the log file is rolled over to the next generation. */
constexpr uint64_t kMaxLogFileBytes = 10 * 1024 * 1024;

/**
 * The stream pointer of the whole library. The first call (from any thread; exactly once)
 * rotates the log files and opens "log_skyloom_0.log". If the file cannot be opened the stream
 * is in a failed state and output is lost silently.
 */
std::ostream*& debugStream();

/**
 * Sends every later line to `stream` (null: nowhere); the caller keeps it alive. Called before
 * the first line, no log file is ever rotated or opened: tools that run the library's classes
 * in their own process (in a directory where a server may keep its logs) use it.
 */
void redirectOutput(std::ostream* stream);

/** Writes one line (a line feed is appended) to debugStream() under the output lock; flushes. */
void printLine(const std::string& line);

/** Whole microseconds since the epoch, from the system wall clock. */
int64_t currentTimeUs();

/** "[" + baseNameWithoutExtension(path) + "] ", cached per path; thread-safe. */
const std::string& filePrintPrefix(const char* sourcePath);

std::string baseNameWithoutExtension(const std::string& path);

/** Shortens a source path for assertion reports ("nx/sdk/..." for paths through src/nx/). */
std::string relativeSourcePath(const std::string& path);

/** Prints "\n>>> ASSERTION FAILED: file:line (condition) message" through printFunc. */
void reportAssertionFailure(
    const PrintFunc& printFunc,
    const char* conditionText,
    const std::string& message,
    const char* sourcePath,
    int line);

/** Returns the condition; reports the failure first if it is false. */
bool assertCondition(
    bool condition,
    const char* conditionText,
    const std::string& message,
    const char* sourcePath,
    int line,
    const PrintFunc& printFunc);

std::string hexDumpLine(const char* bytes, int size, int width);
void printHexDump(const PrintFunc& printFunc, const char* caption, const char* bytes, int size);

/** Collects the text of one print statement and writes it as one line when destroyed. */
class LinePrinter
{
public:
    explicit LinePrinter(const std::string& prefix) { m_line << prefix; }
    ~LinePrinter() { printLine(m_line.str()); }
    LinePrinter(const LinePrinter&) = delete;
    LinePrinter& operator=(const LinePrinter&) = delete;

    template<typename T>
    LinePrinter& operator<<(const T& value)
    {
        m_line << value;
        return *this;
    }

private:
    std::ostringstream m_line;
};

/**
 * Developer aid: elapsed-time marks. Used by one thread at a time; create it only when timing
 * is wanted.
 */
class Timer
{
public:
    Timer(std::string name, PrintFunc printFunc);
    void mark(const std::string& markName);
    void finish();

private:
    const std::string m_name;
    const PrintFunc m_printFunc;
    const int64_t m_startUs;
    std::vector<int64_t> m_markTimesUs;
    std::vector<std::string> m_markNames;
};

/** Developer aid: frame-rate meter over the last 30 frame intervals. One thread at a time. */
class FpsCounter
{
public:
    FpsCounter(std::string name, PrintFunc printFunc);
    void markFrame(const char* extraText = nullptr);

private:
    static constexpr size_t kMaxIntervals = 30;
    const PrintFunc m_printFunc;
    const std::string m_name;
    std::deque<int64_t> m_intervalsUs;
    int64_t m_lastFrameUs = 0;
};

} // namespace nx::kit::debug

#if !defined(NX_PRINT_PREFIX)
    #define NX_PRINT_PREFIX (nx::kit::debug::filePrintPrefix(__FILE__))
#endif

#if !defined(NX_DEBUG_ENABLE_OUTPUT)
    #define NX_DEBUG_ENABLE_OUTPUT true
#endif

#define NX_PRINT nx::kit::debug::LinePrinter(NX_PRINT_PREFIX)

#define NX_OUTPUT if (!(NX_DEBUG_ENABLE_OUTPUT)) {} else NX_PRINT

/**
 * Evaluates to the condition (as bool); a false condition is reported through NX_PRINT. The
 * message is evaluated only on failure.
 */
#define NX_KIT_ASSERT(CONDITION, MESSAGE) \
    ((CONDITION) ? true : (nx::kit::debug::reportAssertionFailure( \
        [&](const std::string& nxKitAssertText) { NX_PRINT << nxKitAssertText; }, \
        #CONDITION, (MESSAGE), __FILE__, __LINE__), false))
