#include "metrics_file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/checked_directory.h"
#include "metric_names.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** A label value as the format quotes it. */
std::string labelValue(const std::string& value)
{
    std::string result;
    result.reserve(value.size() + 2);
    result += '"';
    for (const char c: value)
    {
        if (c == '\\')
            result += "\\\\";
        else if (c == '"')
            result += "\\\"";
        else if (c == '\n')
            result += "\\n";
        else
            result += c;
    }
    result += '"';
    return result;
}

/** Milliseconds as seconds with three decimals. */
std::string seconds(int64_t milliseconds)
{
    const uint64_t magnitude = milliseconds < 0
        ? uint64_t(0) - static_cast<uint64_t>(milliseconds) : static_cast<uint64_t>(milliseconds);
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%s%llu.%03u", milliseconds < 0 ? "-" : "",
        static_cast<unsigned long long>(magnitude / 1000), static_cast<unsigned>(magnitude % 1000));
    return buffer;
}

/** Microseconds as seconds with six decimals. */
std::string microsecondsAsSeconds(int64_t microseconds)
{
    const uint64_t magnitude = microseconds < 0
        ? uint64_t(0) - static_cast<uint64_t>(microseconds) : static_cast<uint64_t>(microseconds);
    char buffer[40];
    std::snprintf(buffer, sizeof(buffer), "%s%llu.%06u", microseconds < 0 ? "-" : "",
        static_cast<unsigned long long>(magnitude / 1000000),
        static_cast<unsigned>(magnitude % 1000000));
    return buffer;
}

/** The first line of the files of versions before the first line named the engine. */
constexpr char kEarlierFirstLine[] =
    "# HELP skyloom_engine_messages_received_total Messages taken from the service port.";
constexpr char kFirstLineStart[] = "# Skyloom analytics plugin metrics of engine ";

class Writer
{
public:
    explicit Writer(const std::string& engineId): m_engineLabel("engine=" + labelValue(engineId))
    {
    }

    void line(const std::string& text) { m_text += text + '\n'; }

    /** The HELP and TYPE lines; every sample of the family must follow before the next one. */
    void family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type
            + '\n';
    }

    /** A sample of the current family; `labels` (besides the engine's) as the format writes
     * them, without braces. */
    void sample(const std::string& labels, const std::string& value)
    {
        sampleOf(m_name, labels, value);
    }

    /** A sample under a name of the current family (a histogram's _bucket, _sum, _count). */
    void sampleOf(const std::string& name, const std::string& labels, const std::string& value)
    {
        m_text += name + '{' + m_engineLabel;
        if (!labels.empty())
            m_text += ',' + labels;
        m_text += "} " + value + '\n';
    }

    std::string take() { return std::move(m_text); }

private:
    const std::string m_engineLabel;
    std::string m_text;
    std::string m_name;
};

/** The label set of one camera's samples. */
std::string cameraLabel(const CameraSnapshot& camera)
{
    return "camera=" + labelValue(metricsLabelId(camera.cameraId));
}

const char* receiverModeName(EngineState::ReceiverMode mode)
{
    switch (mode)
    {
        case EngineState::ReceiverMode::isolated: return "isolated";
        case EngineState::ReceiverMode::inServer: return "in_server";
        case EngineState::ReceiverMode::restarting: return "restarting";
    }
    return "unknown";
}

/** The engine's state as gauges: each a value an alert can compare, with stable labels. */
void writeState(Writer& out, const MetricsSource& source, const EngineState& state)
{
    const auto flag = [](bool value) { return std::string(value ? "1" : "0"); };
    const auto gauge = [&](const char* name, const char* help, const std::string& value)
        {
            out.family(name, "gauge", help);
            out.sample({}, value);
        };
    out.family(metric_names::kBuildInfo, "gauge", "The plugin's version (value 1).");
    out.sample("version=" + labelValue(source.version), "1");
    gauge(metric_names::kMetricsWritten, "When the plugin wrote this file, in Unix time.",
        seconds(source.writtenUnixMs));
    gauge(metric_names::kEngineRunning,
        "1 while the engine runs; 0 in the file's last write, when the engine was released.",
        flag(state.running));
    out.family(metric_names::kEngineListening, "gauge",
        "1 while the service port listens for the AI engine, 0 while it does not.");
    out.sample("port=" + labelValue(std::to_string(state.servicePort)), flag(state.listening));
    out.family(metric_names::kEngineReceiverMode, "gauge",
        "Where the service port runs: 1 for the mode in force, 0 for the others.");
    for (const auto mode: {EngineState::ReceiverMode::isolated,
        EngineState::ReceiverMode::inServer, EngineState::ReceiverMode::restarting})
    {
        out.sample("mode=" + labelValue(receiverModeName(mode)), flag(state.receiverMode == mode));
    }
    gauge(metric_names::kEngineEncryption, "1 while CurveZMQ encryption is in force.",
        flag(state.encryption));
    gauge(metric_names::kEngineAllowList, "1 while an allow-list of AI engine addresses is in force.",
        flag(state.allowList));
    gauge(metric_names::kEngineCopyOpen, "1 while the diagnostic copy is open.",
        flag(state.diagnosticCopyOpen));
    gauge(metric_names::kEngineCopyWatchers, "Watchers of the diagnostic copy connected now.",
        std::to_string(state.diagnosticCopyWatchers));
    gauge(metric_names::kEngineQueueBudget,
        "Bytes that may be queued for all the cameras together.",
        std::to_string(state.engineQueueBudgetBytes));
}

void writeEngine(Writer& out, const EngineSnapshot& engine)
{
    const auto engineFamily =
        [&](const char* name, const char* type, const char* help, const std::string& value)
        {
            out.family(name, type, help);
            out.sample({}, value);
        };
    engineFamily(metric_names::kEngineReceived, "counter",
        "Messages taken from the service port.", std::to_string(engine.received));
    engineFamily(metric_names::kEngineReceivedBytes, "counter",
        "Bytes of the messages taken from the service port.",
        std::to_string(engine.receivedBytes));
    engineFamily(metric_names::kEngineRelayed, "counter",
        "Messages handed to a camera's queue.", std::to_string(engine.relayed));
    engineFamily(metric_names::kEngineNoCamera, "counter",
        "Messages whose beginning matched no camera.", std::to_string(engine.noCamera));
    engineFamily(metric_names::kEnginesConnected, "gauge",
        "AI-engine connections now.", std::to_string(engine.enginesConnected));
    engineFamily(metric_names::kEngineConnections, "counter",
        "AI-engine connections accepted.", std::to_string(engine.connections));
    engineFamily(metric_names::kEngineDisconnects, "counter",
        "AI-engine connections ended.", std::to_string(engine.disconnects));
    out.family(metric_names::kEngineRefused, "counter",
        "Handshakes, connections and messages refused by the ingress policy, by reason.");
    for (size_t i = 0; i < kRefusalReasonCount; ++i)
    {
        out.sample("reason=" + labelValue(kRefusalReasons[i].name),
            std::to_string(engine.refusedByReason[i]));
    }
    engineFamily(metric_names::kEngineRefusedAddresses, "gauge",
        "Distinct AI engine addresses refused in the last minute.",
        std::to_string(engine.refusedAddresses));
    engineFamily(metric_names::kEngineReceiverRestarts, "counter",
        "Receiver processes that ended and were started again.",
        std::to_string(engine.receiverRestarts));
    engineFamily(metric_names::kEngineReceiverLost, "counter",
        "Messages the receiver process took but could not hand over (relay behind, or it died).",
        std::to_string(engine.receiverLost));
    engineFamily(metric_names::kEngineTooLarge, "counter",
        "Messages over the size limit, refused with their connection.",
        std::to_string(engine.tooLarge));
}

/** One sample per camera and reason of the family (`cuts`: the cut family, else dropped). */
void writeReasons(Writer& out, const std::vector<CameraSnapshot>& cameras, bool cuts)
{
    for (const CameraSnapshot& camera: cameras)
    {
        for (const DropReasonInfo& reason: kDropReasons)
        {
            if (!(cuts ? reason.cutsElements : reason.dropsMessages))
                continue;
            const DropCounts& counts = cuts ? camera.cuts : camera.drops;
            out.sample(cameraLabel(camera) + ",reason=" + labelValue(reason.name),
                std::to_string(counts[static_cast<size_t>(reason.reason)]));
        }
    }
}

/** A histogram bound as its "le" label: seconds, without trailing zeros ("0.025", "600"). */
std::string boundLabel(int64_t us)
{
    std::string text = microsecondsAsSeconds(us);
    while (text.back() == '0')
        text.pop_back();
    if (text.back() == '.')
        text.pop_back();
    return text;
}

void writeDelayHistogram(Writer& out, const std::vector<CameraSnapshot>& cameras)
{
    const std::string name = metric_names::kCameraEngineDelay;
    out.family(metric_names::kCameraEngineDelay, "histogram",
        "How late the AI engine answers: the latest video frame at arrival minus the message's"
        " frame time, for every frame time on the video's clock since the start (an engine ahead"
        " of the video counts as 0).");
    for (const CameraSnapshot& camera: cameras)
    {
        const DelayHistogram& histogram = camera.engineDelayHistogram;
        uint64_t cumulative = 0;
        for (size_t i = 0; i < DelayHistogram::kBoundsUs.size(); ++i)
        {
            cumulative += histogram.counts[i];
            out.sampleOf(name + "_bucket", cameraLabel(camera) + ",le="
                + labelValue(boundLabel(DelayHistogram::kBoundsUs[i])), std::to_string(cumulative));
        }
        out.sampleOf(name + "_bucket", cameraLabel(camera) + ",le=\"+Inf\"",
            std::to_string(histogram.count));
        out.sampleOf(name + "_sum", cameraLabel(camera),
            microsecondsAsSeconds(static_cast<int64_t>(histogram.sumUs)));
        out.sampleOf(name + "_count", cameraLabel(camera), std::to_string(histogram.count));
    }
}

void writeDelays(Writer& out, const std::vector<CameraSnapshot>& cameras)
{
    writeDelayHistogram(out, cameras);
    // Only cameras with delays in the last minute: a gauge of 0 would read as a punctual engine,
    // and an old figure as a camera still heard.
    const auto figure = [&](const char* name, const char* help, auto value)
        {
            out.family(name, "gauge", help);
            for (const CameraSnapshot& camera: cameras)
            {
                if (const std::optional<int64_t> us = value(camera))
                    out.sample(cameraLabel(camera), microsecondsAsSeconds(*us));
            }
        };
    figure(metric_names::kCameraEngineDelayMedian,
        "The median of the AI engine's delays of the last minute; absent without one.",
        [](const CameraSnapshot& camera) { return camera.engineDelayMedianUs; });
    figure(metric_names::kCameraEngineDelayP95,
        "The 95th percentile of the AI engine's delays of the last minute; absent without one.",
        [](const CameraSnapshot& camera) { return camera.engineDelayP95Us; });
    out.family(metric_names::kCameraEngineDelayState, "gauge",
        "Whether the last minute gave a delay (state \"measured\"), or why not: 1 for the state"
        " in force, 0 for the others.");
    for (const CameraSnapshot& camera: cameras)
    {
        for (size_t i = 0; i < kDelayStateCount; ++i)
        {
            const auto state = static_cast<DelayState>(i);
            out.sample(cameraLabel(camera) + ",state=" + labelValue(delayStateName(state)),
                camera.engineDelayState == state ? "1" : "0");
        }
    }
}

void writeCameras(
    Writer& out, const std::vector<CameraSnapshot>& cameras, const EngineState& state)
{
    const auto cameraFamily =
        [&](const char* name, const char* type, const char* help, auto value)
        {
            out.family(name, type, help);
            for (const CameraSnapshot& camera: cameras)
                out.sample(cameraLabel(camera), value(camera));
        };
    cameraFamily(metric_names::kCameraReceived, "counter",
        "Messages taken off the camera's queue.",
        [](const CameraSnapshot& camera) { return std::to_string(camera.received); });
    cameraFamily(metric_names::kCameraConverted, "counter",
        "Messages converted and delivered to the camera (not dropped).",
        [](const CameraSnapshot& camera) { return std::to_string(camera.converted); });
    out.family(metric_names::kCameraPackets, "counter",
        "Metadata packets handed to the server, by kind.");
    for (const CameraSnapshot& camera: cameras)
    {
        out.sample(cameraLabel(camera) + ",kind=\"object\"", std::to_string(camera.objectPackets));
        out.sample(cameraLabel(camera) + ",kind=\"event\"", std::to_string(camera.eventPackets));
    }
    // Written from the agent's start, 0 until a message came: an alert on the age of the last
    // message also fires for a camera that never heard anything.
    cameraFamily(metric_names::kCameraLastMessage, "gauge",
        "When the camera last took a message off its queue, in Unix time; 0: never.",
        [](const CameraSnapshot& camera) { return seconds(camera.lastMessageUnixMs); });
    cameraFamily(metric_names::kCameraQueuedBytes, "gauge",
        "Bytes of messages queued for the camera against its budget.",
        [](const CameraSnapshot& camera) { return std::to_string(camera.queuedBytes); });
    cameraFamily(metric_names::kCameraQueueBudget, "gauge",
        "Bytes that may be queued for the camera (its share of the engine's budget aside).",
        [&](const CameraSnapshot&) { return std::to_string(state.cameraQueueBudgetBytes); });
    cameraFamily(metric_names::kCameraNoEngineTime, "counter",
        "Messages that named no time of their frame (or a malformed one).",
        [](const CameraSnapshot& camera) { return std::to_string(camera.withoutEngineTime); });
    cameraFamily(metric_names::kCameraOutsideHistory, "counter",
        "Messages to be stamped with their frame's time that no kept frame was near.",
        [](const CameraSnapshot& camera) { return std::to_string(camera.outsideFrameHistory); });
    writeDelays(out, cameras);
    out.family(metric_names::kCameraDropped, "counter",
        "Messages of which nothing reached the server, each under one reason.");
    writeReasons(out, cameras, /*cuts*/ false);
    out.family(metric_names::kCameraCut, "counter",
        "Elements left out of delivered messages, or texts shortened, by reason.");
    writeReasons(out, cameras, /*cuts*/ true);
}

} // namespace

std::string metricsFirstLine(const std::string& engineId)
{
    return kFirstLineStart + labelValue(engineId);
}

std::string metricsLabelId(const std::string& id)
{
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        return id.substr(1, id.size() - 2);
    return id;
}

std::string metricsText(const MetricsSource& source, const EngineSnapshot& engine,
    const EngineState& state, const std::vector<CameraSnapshot>& cameras)
{
    Writer out(metricsLabelId(source.engineId));
    out.line(metricsFirstLine(source.engineId));
    writeState(out, source, state);
    writeEngine(out, engine);
    writeCameras(out, cameras, state);
    return out.take();
}

namespace {

std::string reason(const std::string& what, int errorNumber)
{
    return what + ": " + std::strerror(errorNumber);
}

/**
 * The directory of a file, opened once and checked, and the file's name in it: the file is
 * looked at, its temporary written and renamed into place relative to this descriptor only, so
 * that a rename of the directory (or a link put in its place) between two steps cannot lead a
 * write anywhere else.
 */
struct FileDirectory
{
    DirectoryDescriptor directory; //< Open when there is neither refusal nor error.
    std::string path; //< Of the directory, for the texts.
    std::string name;
    /** Why nothing is written there, reading after the file's path; the directory is sound. */
    std::string refusal;
    int error = 0; //< Why it could not be opened (an errno value); 0 if it was.
};

FileDirectory openDirectoryOf(const std::string& path)
{
    FileDirectory result;
    const size_t slash = path.rfind('/');
    result.path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    result.name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (result.name.empty() || result.name == "." || result.name == "..")
    {
        result.refusal = "is a directory";
        return result;
    }
    OpenedDirectory opened = openDirectory(AT_FDCWD, result.path);
    if (opened.symbolicLink)
    {
        result.refusal = "is in a directory that is a symbolic link (" + result.path
            + "): name the directory that it leads to";
        return result;
    }
    if (!opened.refusal.empty())
    {
        result.error = opened.error;
        return result;
    }
    // Whoever may rename entries there could swap the file, or the directory under it, for one
    // of theirs while it is written.
    if (const std::optional<std::string> why = othersMayWrite(opened.status, ::geteuid()))
    {
        result.refusal = "is in a directory that another user may write: " + result.path + " "
            + *why;
        return result;
    }
    result.directory = std::move(opened.directory);
    return result;
}

/** Why `file` cannot be written, as the text after "not replaced: " or a failure's text. */
std::string whyNotOpened(const std::string& path, const FileDirectory& file)
{
    if (!file.refusal.empty())
        return "not replaced: " + path + " " + file.refusal;
    return reason("cannot open the directory " + file.path + " of " + path, file.error);
}

bool writeAll(int fd, const std::string& contents)
{
    size_t written = 0;
    while (written < contents.size())
    {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = EIO; //< Not to be seen on a file; the reason must not be a stale one.
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

/** Six letters or digits that another user cannot foresee; only their collisions cost. */
std::string randomSuffix()
{
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::atomic<uint64_t> counter{0};
    unsigned char bytes[6];
    if (::getrandom(bytes, sizeof(bytes), GRND_NONBLOCK) != static_cast<ssize_t>(sizeof(bytes)))
    {
        // No entropy yet (early boot): unique within the process at least; O_EXCL does the rest.
        const uint64_t mixed = static_cast<uint64_t>(::getpid()) * 0x9E3779B97F4A7C15ULL
            ^ static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())
            ^ counter.fetch_add(1) << 40;
        std::memcpy(bytes, &mixed, sizeof(bytes));
    }
    std::string suffix;
    for (const unsigned char byte: bytes)
        suffix += kAlphabet[byte % (sizeof(kAlphabet) - 1)];
    return suffix;
}

/**
 * Makes a new temporary file in the directory, never opening an existing name or following a
 * link: a hidden name without the target's extension, so that a collector that reads *.prom
 * never takes the half-written file. The descriptor, or -1 with errno set.
 */
int createTemporary(const FileDirectory& file, std::string* temporary)
{
    constexpr int kTries = 100;
    for (int i = 0; i < kTries; ++i)
    {
        *temporary = "." + file.name + "." + randomSuffix();
        const int fd = ::openat(file.directory.get(), temporary->c_str(),
            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1; //< errno: EEXIST.
}

bool replaceIn(const FileDirectory& file, const std::string& path, const std::string& contents,
    std::string* error)
{
    std::string temporary;
    const int fd = createTemporary(file, &temporary);
    if (fd < 0)
    {
        const int errorNumber = errno;
        *error = reason("cannot create a temporary file beside " + path, errorNumber);
        return false;
    }
    // The file is gone before the reason's text is made, which may fail. The reason names no
    // temporary file: the same fault must read the same every time, to be logged once.
    const auto fail = [&](const char* what, bool closed = false)
        {
            const int errorNumber = errno;
            if (!closed)
                ::close(fd);
            ::unlinkat(file.directory.get(), temporary.c_str(), 0);
            *error = reason(what + path, errorNumber);
            return false;
        };
    // Made for its owner only; the collector may run as another user.
    if (::fchmod(fd, 0644) != 0)
        return fail("cannot set the mode of a temporary file beside ");
    if (!writeAll(fd, contents))
        return fail("cannot write a temporary file beside ");
    // No fsync: the relay thread writes the file, and a flush to a busy disk could hold up
    // every camera's messages; a reader sees the old file or the new one whole, and after a
    // crash at worst an empty one, which the next write 15 s later replaces.
    if (::close(fd) != 0)
        return fail("cannot write a temporary file beside ", /*closed*/ true);
    if (::renameat(file.directory.get(), temporary.c_str(), file.directory.get(),
        file.name.c_str()) != 0)
    {
        return fail("cannot rename a temporary file over ", /*closed*/ true);
    }
    return true;
}

const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

/** The file's first line (up to kMaxFirstLine bytes); nothing, with the reason, if unreadable. */
std::optional<std::string> firstLine(const FileDirectory& file, std::string* error)
{
    constexpr size_t kMaxFirstLine = 512;
    // No symbolic link followed, no wait on what the fstatat may have missed being swapped in.
    const int fd = ::openat(file.directory.get(), file.name.c_str(),
        O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
    {
        *error = reason("cannot be read", errno);
        return std::nullopt;
    }
    struct stat status{};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
    {
        ::close(fd);
        *error = "is not a regular file";
        return std::nullopt;
    }
    std::string text(kMaxFirstLine, '\0');
    ssize_t n = -1;
    do
        n = ::read(fd, text.data(), text.size());
    while (n < 0 && errno == EINTR);
    const int errorNumber = errno;
    ::close(fd);
    if (n < 0)
    {
        *error = reason("cannot be read", errorNumber);
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(n));
    return text.substr(0, text.find('\n'));
}

/** Why the file in the open directory is not the engine's to replace; nothing if it is. */
std::optional<std::string> whyForeign(const FileDirectory& file, const std::string& engineId)
{
    struct stat status{};
    if (::fstatat(file.directory.get(), file.name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
    {
        if (errno == ENOENT)
            return std::nullopt; //< A new file.
        return reason("cannot be looked at", errno);
    }
    if (!S_ISREG(status.st_mode))
        return std::string("is ") + fileKind(status.st_mode);
    std::string error;
    const std::optional<std::string> line = firstLine(file, &error);
    if (!line)
        return error;
    // Empty: what a crash right after a write may leave (the file is not flushed); nothing in it
    // to keep.
    if (line->empty() || *line == metricsFirstLine(engineId) || *line == kEarlierFirstLine)
        return std::nullopt;
    if (line->rfind(kFirstLineStart, 0) == 0)
        return "holds the metrics of another engine";
    return "was not written by this plugin (its first line is not the plugin's)";
}

std::optional<std::string> whyForeign(const std::string& path, const std::string& engineId)
{
    const FileDirectory file = openDirectoryOf(path);
    if (!file.refusal.empty())
        return file.refusal;
    // A directory still to be made: a new file, which the writes report until it is there.
    if (file.error == ENOENT)
        return std::nullopt;
    if (file.error != 0)
        return reason("is in a directory that cannot be opened (" + file.path + ")", file.error);
    return whyForeign(file, engineId);
}

bool writeMetrics(const std::string& path, const std::string& engineId,
    const std::string& contents, std::string* error)
{
    const FileDirectory file = openDirectoryOf(path);
    if (!file.directory.valid())
    {
        *error = whyNotOpened(path, file);
        return false;
    }
    if (const std::optional<std::string> why = whyForeign(file, engineId))
    {
        *error = "not replaced: " + path + " " + *why;
        return false;
    }
    return replaceIn(file, path, contents, error);
}

bool replace(const std::string& path, const std::string& contents, std::string* error)
{
    const FileDirectory file = openDirectoryOf(path);
    if (!file.directory.valid())
    {
        *error = whyNotOpened(path, file);
        return false;
    }
    return replaceIn(file, path, contents, error);
}

} // namespace

std::optional<std::string> foreignMetricsFile(
    const std::string& path, const std::string& engineId) noexcept
{
    try
    {
        return whyForeign(path, engineId);
    }
    catch (...)
    {
        return std::nullopt; //< No memory for a text: the write that follows fails as well.
    }
}

bool writeMetricsFile(const std::string& path, const std::string& engineId,
    const std::string& contents, std::string* error) noexcept
{
    std::string ignored;
    try
    {
        return writeMetrics(path, engineId, contents, error ? error : &ignored);
    }
    catch (...)
    {
        // Only a text could not be made (no memory); no temporary file is left.
        if (error)
            error->clear();
        return false;
    }
}

bool replaceFileAtomically(
    const std::string& path, const std::string& contents, std::string* error) noexcept
{
    std::string ignored;
    try
    {
        return replace(path, contents, error ? error : &ignored);
    }
    catch (...)
    {
        if (error)
            error->clear();
        return false;
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
