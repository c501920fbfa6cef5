// The stream, the lock and the prefix cache below are allocated once and never freed: static
// destructors and threads still running at process exit may print, and must not find them gone.
#include <nx/kit/debug.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <numeric>

namespace nx::kit::debug {

namespace {

constexpr const char* kLogFilePattern = "log_skyloom_%d.log";
constexpr int kOldestLogGeneration = 4;

// The path of this file as the compiler records it; tells the separator and the source root.
constexpr const char* kOwnSourcePath = __FILE__;

__attribute__((format(printf, 1, 2)))
std::string format(const char* pattern, ...)
{
    va_list args;
    va_start(args, pattern);
    va_list argsCopy;
    va_copy(argsCopy, args);
    const int length = std::vsnprintf(nullptr, 0, pattern, args);
    va_end(args);

    std::string result;
    if (length > 0)
    {
        result.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&result[0], result.size(), pattern, argsCopy);
        result.resize(static_cast<size_t>(length));
    }
    va_end(argsCopy);
    return result;
}

std::string logFileName(int generation)
{
    return format(kLogFilePattern, generation);
}

void rotateLogFiles()
{
    // Missing generations are normal (first runs); the failed calls are ignored on purpose.
    std::remove(logFileName(kOldestLogGeneration).c_str());
    for (int generation = kOldestLogGeneration - 1; generation >= 0; --generation)
        std::rename(logFileName(generation).c_str(), logFileName(generation + 1).c_str());
}

std::ostream*& streamPointer()
{
    static std::ostream* stream = nullptr;
    return stream;
}

/** The log file that debugStream() opened and the bytes in it; changed under outputMutex(). */
struct LogFileState
{
    std::ofstream* file = nullptr;
    uint64_t bytes = 0;
};

LogFileState& logFileState()
{
    static LogFileState& state = *new LogFileState;
    return state;
}

/** Called under outputMutex() after a line of `lineBytes` went to the log file. */
void rollOverIfFull(uint64_t lineBytes)
{
    LogFileState& state = logFileState();
    state.bytes += lineBytes;
    if (state.bytes < kMaxLogFileBytes)
        return;
    state.file->close();
    rotateLogFiles();
    // The same object is reopened: whoever holds the stream pointer keeps a valid stream.
    state.file->clear();
    state.file->open(logFileName(0), std::ios::out | std::ios::trunc);
    state.bytes = 0;
}

std::mutex& outputMutex()
{
    static std::mutex& mutex = *new std::mutex;
    return mutex;
}

/** '/' or '\\' as used in this file's recorded path; '\0' when it holds neither. */
char pathSeparator()
{
    static const char separator =
        [] {
            const std::string ownPath = kOwnSourcePath;
            if (ownPath.find('/') != std::string::npos)
                return '/';
            if (ownPath.find('\\') != std::string::npos)
                return '\\';
            return '\0';
        }();
    return separator;
}

size_t commonPrefixLength(const std::string& a, const std::string& b)
{
    const auto mismatch = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    return static_cast<size_t>(mismatch.first - a.begin());
}

std::once_flag& openOnce()
{
    static std::once_flag flag;
    return flag;
}

} // namespace

std::ostream*& debugStream()
{
    std::call_once(openOnce(),
        [] {
            rotateLogFiles();
            // When the file cannot be created the stream stays failed and swallows all output.
            auto* file = new std::ofstream(logFileName(0), std::ios::out | std::ios::trunc);
            logFileState().file = file;
            streamPointer() = file;
        });
    return streamPointer();
}

void redirectOutput(std::ostream* stream)
{
    // Marks the log file as dealt with unless it is open already (then it stays referenced by
    // logFileState() and is no longer written).
    std::call_once(openOnce(), [] {});
    const std::lock_guard<std::mutex> lock(outputMutex());
    streamPointer() = stream;
}

void printLine(const std::string& line)
{
    try
    {
        std::ostream*& stream = debugStream();
        const std::lock_guard<std::mutex> lock(outputMutex());
        if (!stream)
            return;
        *stream << line << '\n';
        stream->flush();
        if (stream == logFileState().file && !stream->fail())
            rollOverIfFull(line.size() + 1);
    }
    catch (...)
    {
        // Logging is called from destructors and thread ends; a lost line is the lesser harm.
    }
}

int64_t currentTimeUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

const std::string& filePrintPrefix(const char* sourcePath)
{
    static std::mutex& cacheMutex = *new std::mutex;
    static auto& cache = *new std::map<std::string, std::string>;

    const std::string path = sourcePath ? sourcePath : "";
    const std::lock_guard<std::mutex> lock(cacheMutex);
    auto it = cache.find(path);
    if (it == cache.end())
        it = cache.emplace(path, "[" + baseNameWithoutExtension(path) + "] ").first;
    return it->second;
}

std::string baseNameWithoutExtension(const std::string& path)
{
    std::string baseName = path;
    const char separator = pathSeparator();
    if (separator != '\0')
    {
        const size_t lastSeparator = path.rfind(separator);
        if (lastSeparator != std::string::npos)
            baseName = path.substr(lastSeparator + 1);
    }

    const size_t lastDot = baseName.rfind('.');
    if (lastDot != std::string::npos)
        baseName.resize(lastDot);
    return baseName;
}

std::string relativeSourcePath(const std::string& path)
{
    const char separator = pathSeparator();
    if (separator == '\0')
        return path;

    const std::string srcDir = std::string(1, separator) + "src" + separator;
    const size_t srcNx = path.find(srcDir + "nx" + separator);
    if (srcNx != std::string::npos)
        return path.substr(srcNx + srcDir.size());

    const size_t commonLength = commonPrefixLength(path, kOwnSourcePath);
    if (commonLength == 0)
        return path;
    const size_t nextSeparator = path.find(separator, commonLength);
    if (nextSeparator != std::string::npos)
        return path.substr(nextSeparator + 1);
    return path.substr(commonLength);
}

void reportAssertionFailure(
    const PrintFunc& printFunc,
    const char* conditionText,
    const std::string& message,
    const char* sourcePath,
    int line)
{
    printFunc("\n>>> ASSERTION FAILED: " + relativeSourcePath(sourcePath ? sourcePath : "")
        + ":" + std::to_string(line)
        + " (" + (conditionText ? conditionText : "") + ") " + message);
}

bool assertCondition(
    bool condition,
    const char* conditionText,
    const std::string& message,
    const char* sourcePath,
    int line,
    const PrintFunc& printFunc)
{
    if (!condition)
        reportAssertionFailure(printFunc, conditionText, message, sourcePath, line);
    return condition;
}

std::string hexDumpLine(const char* bytes, int size, int width)
{
    if (!bytes || size <= 0)
        return "";

    std::string result;
    for (int i = 0; i < size; ++i)
    {
        if (i > 0)
            result += ' ';
        result += format("%02X", static_cast<unsigned char>(bytes[i]));
    }
    for (int i = size; i < width; ++i)
        result += "   ";
    result += " | ";
    for (int i = 0; i < size; ++i)
    {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        result += (byte >= 32 && byte <= 126) ? static_cast<char>(byte) : '.';
    }
    return result;
}

void printHexDump(const PrintFunc& printFunc, const char* caption, const char* bytes, int size)
{
    constexpr int kBytesPerLine = 16;
    constexpr int kMaxOneLineSize = 8;

    std::string text = format("Hex dump \"%s\", %d bytes @%p:",
        caption ? caption : "", size, static_cast<const void*>(bytes));

    // The head tells the size given; absent bytes are not read whatever it says.
    const int dumpSize = bytes ? size : 0;
    if (size > kMaxOneLineSize)
    {
        text += "\n{\n";
        for (int offset = 0; offset < dumpSize; offset += kBytesPerLine)
        {
            text += "\n    "
                + hexDumpLine(bytes + offset, std::min(dumpSize - offset, kBytesPerLine),
                    kBytesPerLine);
        }
        text += "\n}";
    }
    else
    {
        text += " { " + hexDumpLine(bytes, dumpSize, 0) + " }";
    }
    printFunc(text);
}

//-------------------------------------------------------------------------------------------------
// Timer

namespace {

long long roundedMs(int64_t us)
{
    return static_cast<long long>((us + 500) / 1000);
}

} // namespace

Timer::Timer(std::string name, PrintFunc printFunc):
    m_name(std::move(name)),
    m_printFunc(std::move(printFunc)),
    m_startUs(currentTimeUs())
{
}

void Timer::mark(const std::string& markName)
{
    if (std::find(m_markNames.begin(), m_markNames.end(), markName) != m_markNames.end())
    {
        m_printFunc("NX_TIME(" + m_name + ") INTERNAL ERROR: Timer mark \"" + markName
            + "\" already defined.");
        return;
    }
    m_markTimesUs.push_back(currentTimeUs() - m_startUs);
    m_markNames.push_back(markName);
}

void Timer::finish()
{
    const int64_t totalUs = currentTimeUs() - m_startUs;
    std::string report;
    if (m_markNames.empty())
    {
        report = format("%lld us", static_cast<long long>(totalUs));
    }
    else
    {
        for (size_t i = 0; i < m_markNames.size(); ++i)
            report += format("%s: %3lld ms, ", m_markNames[i].c_str(), roundedMs(m_markTimesUs[i]));
        report += format("last: %3lld ms", roundedMs(totalUs));
    }
    m_printFunc("NX_TIME(" + m_name + "): " + report);
}

//-------------------------------------------------------------------------------------------------
// FpsCounter

FpsCounter::FpsCounter(std::string name, PrintFunc printFunc):
    m_printFunc(std::move(printFunc)),
    m_name(std::move(name))
{
}

void FpsCounter::markFrame(const char* extraText)
{
    const int64_t nowUs = currentTimeUs();
    if (m_lastFrameUs != 0)
    {
        const int64_t dtUs = nowUs - m_lastFrameUs;
        m_intervalsUs.push_back(dtUs);
        if (m_intervalsUs.size() > kMaxIntervals)
            m_intervalsUs.pop_front();
        const int64_t avgUs = std::accumulate(m_intervalsUs.begin(), m_intervalsUs.end(),
            int64_t{0}) / static_cast<int64_t>(m_intervalsUs.size());

        // Two frames within one microsecond would divide by zero; report them as 0 fps.
        const double fps = (avgUs > 0) ? 1000000.0 / static_cast<double>(avgUs) : 0.0;
        const std::string extra = extraText ? (std::string("; ") + extraText) : "";
        m_printFunc(format("NX_FPS(%s): avg %4.1f, dt %3lld ms, avg dt %3lld ms%s",
            m_name.c_str(), fps, roundedMs(dtUs), roundedMs(avgUs), extra.c_str()));
    }
    m_lastFrameUs = nowUs;
}

} // namespace nx::kit::debug
