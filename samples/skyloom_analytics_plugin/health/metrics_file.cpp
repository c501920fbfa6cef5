#include "metrics_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

class Writer
{
public:
    /** The HELP and TYPE lines; every sample of the family must follow before the next one. */
    void family(const char* name, const char* type, const char* help)
    {
        m_name = name;
        m_text += std::string("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type
            + '\n';
    }

    /** A sample of the current family; `labels` as the format writes them, without braces. */
    void sample(const std::string& labels, const std::string& value)
    {
        m_text += m_name;
        if (!labels.empty())
            m_text += '{' + labels + '}';
        m_text += ' ' + value + '\n';
    }

    std::string take() { return std::move(m_text); }

private:
    std::string m_text;
    std::string m_name;
};

/** The label set of one camera's samples. */
std::string cameraLabel(const CameraSnapshot& camera)
{
    return "camera=" + labelValue(camera.cameraId);
}

} // namespace

std::string metricsText(const EngineSnapshot& engine, const std::vector<CameraSnapshot>& cameras)
{
    Writer out;
    const auto engineFamily =
        [&](const char* name, const char* type, const char* help, const std::string& value)
        {
            out.family(name, type, help);
            out.sample({}, value);
        };
    engineFamily(metric_names::kEngineReceived, "counter",
        "Messages taken from the service port.", std::to_string(engine.received));
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
    engineFamily(metric_names::kEngineRefused, "counter",
        "Handshakes and messages refused by the ingress policy.",
        std::to_string(engine.refusedPeers));
    engineFamily(metric_names::kEngineReceiverRestarts, "counter",
        "Receiver processes that ended and were started again.",
        std::to_string(engine.receiverRestarts));
    engineFamily(metric_names::kEngineReceiverLost, "counter",
        "Messages the receiver process took but could not hand over (relay behind, or it died).",
        std::to_string(engine.receiverLost));

    out.family(metric_names::kCameraReceived, "counter",
        "Messages taken off the camera's queue.");
    for (const CameraSnapshot& camera: cameras)
        out.sample(cameraLabel(camera), std::to_string(camera.received));
    out.family(metric_names::kCameraConverted, "counter",
        "Messages parsed and converted for the camera.");
    for (const CameraSnapshot& camera: cameras)
        out.sample(cameraLabel(camera), std::to_string(camera.converted));
    out.family(metric_names::kCameraPackets, "counter",
        "Metadata packets handed to the server, by kind.");
    for (const CameraSnapshot& camera: cameras)
    {
        out.sample(cameraLabel(camera) + ",kind=\"object\"", std::to_string(camera.objectPackets));
        out.sample(cameraLabel(camera) + ",kind=\"event\"", std::to_string(camera.eventPackets));
    }
    out.family(metric_names::kCameraLastMessage, "gauge",
        "When the camera last took a message off its queue, in Unix time.");
    for (const CameraSnapshot& camera: cameras)
    {
        if (camera.lastMessageUnixMs != 0)
            out.sample(cameraLabel(camera), seconds(camera.lastMessageUnixMs));
    }
    out.family(metric_names::kCameraDropped, "counter",
        "Messages or parts of them left out (or cut), by reason.");
    for (const CameraSnapshot& camera: cameras)
    {
        for (const DropReasonInfo& reason: kDropReasons)
        {
            out.sample(cameraLabel(camera) + ",reason=" + labelValue(reason.name),
                std::to_string(camera.drops[static_cast<size_t>(reason.reason)]));
        }
    }
    return out.take();
}

namespace {

std::string reason(const std::string& what, int errorNumber)
{
    return what + ": " + std::strerror(errorNumber);
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

bool replace(const std::string& path, const std::string& contents, std::string* error)
{
    // A hidden name without the target's extension: a collector that reads *.prom never takes
    // the half-written file.
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    std::string temporary =
        path.substr(0, nameStart) + "." + path.substr(nameStart) + ".XXXXXX";

    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
    {
        const int errorNumber = errno;
        *error = reason("cannot create a temporary file beside " + path, errorNumber);
        return false;
    }
    // The file is gone before the reason's text is made, which may fail.
    const auto fail = [&](const char* what, bool closed = false, bool renaming = false)
        {
            const int errorNumber = errno;
            if (!closed)
                ::close(fd);
            ::unlink(temporary.c_str());
            *error = reason(what + temporary + (renaming ? " over " + path : ""), errorNumber);
            return false;
        };
    // mkostemp makes the file for its owner only; the collector may run as another user.
    if (::fchmod(fd, 0644) != 0)
        return fail("cannot set the mode of ");
    if (!writeAll(fd, contents))
        return fail("cannot write ");
    // No fsync: the relay thread writes the file, and a flush to a busy disk could hold up
    // every camera's messages; a reader sees the old file or the new one whole, and after a
    // crash at worst an empty one, which the next write 15 s later replaces.
    if (::close(fd) != 0)
        return fail("cannot write ", /*closed*/ true);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return fail("cannot rename ", /*closed*/ true, /*renaming*/ true);
    return true;
}

} // namespace

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
        // Only a text could not be made (no memory); no temporary file is left.
        if (error)
            error->clear();
        return false;
    }
}

} // namespace nx::vms_server_plugins::analytics::sample
