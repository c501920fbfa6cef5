#include "diagnostic_copy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <utility>

#include <nx/kit/debug.h>

#include "common/monitor_event.h"

#include "health/event_captions.h"
#include "relay/diagnostic_copy_path.h"
#include "relay/private_directory.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->m_logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->m_logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

namespace {

using Level = IngressSink::Level;

constexpr char kNoCopy[] = " (warning: no loopback copy for outside watchers; the cameras still "
    "receive)";

/** Subscriptions read per pass, so that the relay's other sockets are served in between. */
constexpr int kReadsPerPass = 256;

/** Kernel buffer of a TCP watcher's connection (a local socket's is the sender's). */
constexpr int kReceiveBuffer = 64 * 1024;

/** Subscriptions that may wait per watcher until the relay reads them. */
constexpr int kTopicsWaiting = 64;

/** Names tried beside the engine's own before the copy gives up ("<name>-2.ipc" ...). */
constexpr int kNamesToTry = 16;

/**
 * The private sockets of this process's engines: ZeroMQ removes whatever file is at the path
 * it binds, so a second engine of the same name must not get the same path (it would take the
 * copy from the first), nor a name that another process (a second server in the same working
 * directory) listens on: it would take that one's watchers.
 */
class ClaimedPaths
{
public:
    /**
     * `base` ("<dir>/<name>.ipc"), or "<dir>/<name>-2.ipc" and so on if it is taken here or
     * `elsewhere` says that another process listens on it; empty when kNamesToTry are.
     */
    std::string claim(const std::string& base,
        const std::function<bool(const std::string& path)>& elsewhere) EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        const std::string stem =
            base.substr(0, base.size() - std::strlen(diagnostic_copy_path::kSuffix));
        for (int n = 1; n <= kNamesToTry; ++n)
        {
            const std::string path = n == 1
                ? base : stem + "-" + std::to_string(n) + diagnostic_copy_path::kSuffix;
            if (m_paths.count(path) > 0 || elsewhere(path))
                continue;
            m_paths.insert(path);
            return path;
        }
        return {};
    }

    void release(const std::string& path) EXCLUDES(m_mutex)
    {
        MutexLock lock(m_mutex);
        m_paths.erase(path);
    }

private:
    Mutex m_mutex;
    std::set<std::string> m_paths GUARDED_BY(m_mutex);
};

ClaimedPaths& claimedPaths()
{
    static ClaimedPaths paths;
    return paths;
}

/**
 * Whether a process listens on the local socket `name` in `directory`: a connection is accepted
 * (or waits in its backlog). A stale file of a copy that ended is refused, and may be taken over;
 * anything that cannot be told counts as in use, so that a live copy is never taken.
 */
bool listenedOn(const DirectoryDescriptor& directory, const std::string& name)
{
    struct stat status{};
    if (::fstatat(directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno != ENOENT;
    if (!S_ISSOCK(status.st_mode))
        return false; //< Not a copy: the bind replaces it, as it always did.
    std::string error;
    const std::string path = pathThrough(directory, name, &error);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return true;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return true;
    const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    const int errorNumber = errno;
    ::close(fd);
    return result == 0 || errorNumber != ECONNREFUSED;
}

/**
 * Whether the descriptor that a monitor event named is still one of the copy's connections: the
 * event is read later than it happened, and a descriptor closed meanwhile may have been reused
 * by anything else in the server. A connection accepted on the copy has its local address.
 */
bool isConnectionOf(int fd, const std::string& boundEndpoint)
{
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    if (address.ss_family == AF_UNIX)
    {
        const auto* local = reinterpret_cast<const sockaddr_un*>(&address);
        return boundEndpoint == std::string("ipc://") + local->sun_path;
    }
    int port = 0;
    if (address.ss_family == AF_INET)
        port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    else if (address.ss_family == AF_INET6)
        port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    else
        return false;
    const size_t colon = boundEndpoint.rfind(':');
    return boundEndpoint.rfind("tcp://", 0) == 0 && colon != std::string::npos
        && boundEndpoint.substr(colon + 1) == std::to_string(port);
}

/**
 * The private copy's directory as the operator reads it: <working directory>/<kDirectory>. False,
 * with the reason in *path, if the working directory is unknown.
 */
bool copyDirectoryPath(std::string* path)
{
    char workingDirectory[PATH_MAX];
    if (::getcwd(workingDirectory, sizeof(workingDirectory)) == nullptr)
    {
        *path = std::string("the working directory is unknown: ") + std::strerror(errno);
        return false;
    }
    *path = workingDirectory;
    if (path->back() != '/')
        *path += '/';
    *path += diagnostic_copy_path::kDirectory;
    return true;
}

} // namespace

DiagnosticCopy::DiagnosticCopy(
    zmq::context_t& context, const nx::sdk::LogUtils& logUtils, IngressSink& sink)
    :
    m_context(context),
    m_logUtils(logUtils),
    m_sink(sink),
    m_log(logUtils)
{
}

DiagnosticCopy::~DiagnosticCopy()
{
    close();
}

void DiagnosticCopy::apply(const Target& target)
{
    // A copy that could not be opened is tried again with the next settings: the operator may
    // have put right what was wrong.
    if (target == m_target && (m_socket || !target.wanted))
        return;
    close();
    m_target = target;
    if (m_target.wanted)
        open();
}

std::string DiagnosticCopy::endpoint() const
{
    MutexLock lock(m_endpointMutex);
    return m_endpoint;
}

void DiagnosticCopy::setEndpoint(std::string endpoint)
{
    MutexLock lock(m_endpointMutex);
    m_endpoint = std::move(endpoint);
}

/**
 * A port that cannot be bound (taken, or no privilege for a port below 1024) or a directory that
 * cannot be trusted is a warning only: the copy is no part of the road to the cameras.
 */
void DiagnosticCopy::open()
{
    std::string endpoint = m_target.endpoint;
    if (endpoint.empty())
    {
        const std::optional<std::string> privateOne = privateEndpoint();
        if (!privateOne)
            return;
        endpoint = *privateOne;
    }
    else
    {
        m_shownEndpoint = endpoint;
    }
    try
    {
        bindOrThrow(endpoint);
    }
    catch (const zmq::error_t& e)
    {
        m_monitor.reset();
        m_socket.reset();
        releasePrivatePath();
        NX_PRINT << kRelayFunc << " bind " << m_shownEndpoint << " failed: " << e.what()
            << kNoCopy;
        m_sink.event(Level::info, kLoopbackCaption, m_shownEndpoint + ": " + e.what());
        return;
    }
    if (m_claimedPath.empty())
        m_shownEndpoint = m_boundEndpoint; //< A TCP port as bound (e.g. a wildcard port's).
    setEndpoint(m_shownEndpoint);
    NX_PRINT << kRelayFunc << " loopback relay " << m_shownEndpoint << " open";
}

void DiagnosticCopy::releasePrivatePath()
{
    if (m_claimedPath.empty())
        return;
    m_directory.reset();
    m_socketName.clear();
    claimedPaths().release(std::exchange(m_claimedPath, {}));
}

void DiagnosticCopy::close()
{
    if (!m_socket)
        return;
    (void) zmq_socket_monitor(m_socket->handle(), nullptr, 0);
    m_monitor.reset();
    m_socket.reset();
    // ZeroMQ leaves the file of a closed local socket behind; a stale one would look like a
    // running copy to the tools that look for it. Removed from the directory it was bound in,
    // wherever that is now.
    if (m_directory.valid())
        (void) ::unlinkat(m_directory.get(), m_socketName.c_str(), 0);
    releasePrivatePath();
    m_watchers.clear();
    m_topics = 0;
    m_topicBytes = 0;
    setEndpoint({});
    NX_PRINT << kRelayFunc << " loopback relay " << m_shownEndpoint << " closed";
}

std::optional<std::string> DiagnosticCopy::privateEndpoint()
{
    std::string directory;
    if (!copyDirectoryPath(&directory))
    {
        NX_PRINT << kRelayFunc << " loopback relay " << directory << kNoCopy;
        m_sink.event(Level::warning, kLoopbackCaption, directory);
        return std::nullopt;
    }
    // The working directory itself, not the path that getcwd() named a moment ago.
    PrivateDirectory prepared = preparePrivateDirectory(".", diagnostic_copy_path::kDirectory);
    std::string through;
    const std::string ownName = diagnostic_copy_path::socketName(m_target.engineId);
    if (prepared.refusal.empty())
    {
        m_claimedPath = claimedPaths().claim(directory + "/" + ownName,
            [&](const std::string& path)
            {
                return listenedOn(prepared.directory, path.substr(path.rfind('/') + 1));
            });
        if (m_claimedPath.empty())
        {
            prepared.refusal = ownName + " and the next " + std::to_string(kNamesToTry - 1)
                + " names are in use by other copies (another server in this working"
                " directory?)";
        }
    }
    if (prepared.refusal.empty())
    {
        m_socketName = m_claimedPath.substr(m_claimedPath.rfind('/') + 1);
        if (m_socketName != ownName)
        {
            NX_PRINT << kRelayFunc << " loopback relay " << directory << "/" << ownName
                << " is in use (by another engine or server in this working directory): the"
                " copy takes " << m_socketName;
        }
        // Short whatever the working directory: no limit of a local socket's address to mind.
        through = pathThrough(prepared.directory, m_socketName, &prepared.refusal);
    }
    if (!prepared.refusal.empty())
    {
        releasePrivatePath();
        NX_PRINT << kRelayFunc << " loopback relay directory " << directory << " refused: "
            << prepared.refusal << kNoCopy;
        m_sink.event(Level::warning, kLoopbackCaption, directory + ": " + prepared.refusal);
        return std::nullopt;
    }
    if (prepared.repair)
    {
        NX_PRINT << kRelayFunc << " loopback relay directory " << directory << ": "
            << *prepared.repair;
    }
    m_directory = std::move(prepared.directory);
    m_shownEndpoint = "ipc://" + m_claimedPath;
    return "ipc://" + through;
}

void DiagnosticCopy::bindOrThrow(const std::string& endpoint)
{
    static std::atomic<int> monitors{0};
    m_socket.emplace(m_context, zmq::socket_type::xpub);
    // Linger 0: closing must never wait for watchers that do not read.
    m_socket->set(zmq::sockopt::linger, 0);
    m_socket->set(zmq::sockopt::sndhwm, kHighWaterMark);
    // What comes from a watcher is subscriptions: one byte and a topic. A longer message ends
    // the watcher's connection as it arrives, before anything of it is stored.
    m_socket->set(zmq::sockopt::maxmsgsize, kMaxTopicSize + 1);
    // What a TCP watcher has sent and the socket not yet taken in stays small too.
    m_socket->set(zmq::sockopt::rcvbuf, kReceiveBuffer);
    // Topics are stored as they arrive, before they are read here: few may wait.
    m_socket->set(zmq::sockopt::rcvhwm, kTopicsWaiting);
    const std::string monitorEndpoint =
        "inproc://skyloom-diagnostic-copy-" + std::to_string(monitors.fetch_add(1));
    if (zmq_socket_monitor(m_socket->handle(), monitorEndpoint.c_str(),
        ZMQ_EVENT_ACCEPTED | ZMQ_EVENT_DISCONNECTED) != 0)
    {
        throw zmq::error_t();
    }
    m_monitor.emplace(m_context, zmq::socket_type::pair);
    m_monitor->set(zmq::sockopt::linger, 0);
    m_monitor->connect(monitorEndpoint);
    m_socket->bind(endpoint);
    m_boundEndpoint = m_socket->get(zmq::sockopt::last_endpoint);
}

void DiagnosticCopy::send(zmq::message_t& message) noexcept
{
    if (!m_socket)
        return;
    try
    {
        // Shares the buffer of a large message instead of copying it.
        zmq::message_t copy;
        copy.copy(message);
        (void) m_socket->send(copy, zmq::send_flags::dontwait);
    }
    catch (const zmq::error_t& e)
    {
        m_log.write(kRelayFunc, " loopback send error: ", e.what());
    }
}

void DiagnosticCopy::pollItems(zmq::pollitem_t* items)
{
    // A null socket with no fd is left out of the poll.
    const short events = m_socket ? ZMQ_POLLIN : 0;
    items[0] = zmq::pollitem_t{m_socket ? m_socket->handle() : nullptr, -1, events, 0};
    items[1] = zmq::pollitem_t{m_monitor ? m_monitor->handle() : nullptr, -1, events, 0};
}

void DiagnosticCopy::serve(const zmq::pollitem_t* items)
{
    if (m_monitor && (items[1].revents & ZMQ_POLLIN))
        readMonitor();
    if (m_socket && (items[0].revents & ZMQ_POLLIN))
        readSubscriptions();
}

/**
 * The XPUB tells each topic when its first watcher subscribes and when its last one leaves: the
 * count is what the socket holds. Beyond the bounds every watcher is cut off, which frees them.
 */
void DiagnosticCopy::readSubscriptions()
{
    for (int i = 0; i < kReadsPerPass; ++i)
    {
        zmq::message_t message;
        if (!m_socket->recv(message, zmq::recv_flags::dontwait))
            return;
        if (message.size() == 0)
            continue;
        const auto topicBytes = static_cast<int64_t>(message.size() - 1);
        const char kind = static_cast<const char*>(message.data())[0];
        if (kind == 1)
        {
            ++m_topics;
            m_topicBytes += topicBytes;
        }
        else if (kind == 0)
        {
            --m_topics;
            m_topicBytes -= topicBytes;
        }
        // Only a new topic counts: the ones still arriving from watchers already cut off, and
        // their removals, must not cut off the watchers that came since.
        if (kind == 1 && (m_topics > kMaxTopics || m_topicBytes > kMaxTopicBytes))
        {
            ++m_topicResets;
            m_log.write(kRelayFunc, " loopback relay watchers cut off, too many topics: ",
                std::to_string(m_topics) + " topics of " + std::to_string(m_topicBytes)
                    + " bytes (at most " + std::to_string(kMaxTopics) + " of "
                    + std::to_string(kMaxTopicBytes) + ")");
            cutOffWatchers();
            m_trimAt = Clock::now() + kTrimDelay;
            return;
        }
    }
}

void DiagnosticCopy::tick(Clock::time_point now)
{
    if (!m_trimAt || now < *m_trimAt)
        return;
    m_trimAt.reset();
    // The topics were stored in many small blocks, freed by now; without this the heap would
    // keep them as the server's memory for good.
    (void) ::malloc_trim(0);
}

std::chrono::milliseconds DiagnosticCopy::untilDue(Clock::time_point now) const
{
    if (!m_trimAt)
        return std::chrono::hours(1);
    return std::chrono::ceil<std::chrono::milliseconds>(*m_trimAt - now);
}

/**
 * A TCP connection is hung up: the kernel keeps little of it (kReceiveBuffer). A local socket
 * buffers what the sender's send buffer allows (megabytes), all of which the socket would still
 * take in as topics: the socket is made afresh on the same path, which drops every connection
 * with what it buffered.
 */
void DiagnosticCopy::cutOffWatchers()
{
    if (m_boundEndpoint.rfind("ipc://", 0) != 0)
    {
        // A watcher that floods at once may be newer than the last look at the monitor.
        readMonitor();
        for (const int fd: m_watchers)
        {
            if (isConnectionOf(fd, m_boundEndpoint))
                ::shutdown(fd, SHUT_RDWR);
        }
        return;
    }
    // Bound again through the directory's descriptor, which stays open.
    const std::string endpoint = m_boundEndpoint;
    (void) zmq_socket_monitor(m_socket->handle(), nullptr, 0);
    m_monitor.reset();
    m_socket.reset();
    m_watchers.clear();
    m_topics = 0;
    m_topicBytes = 0;
    try
    {
        // ZeroMQ replaces the file at the path; the closed socket leaves it alone.
        bindOrThrow(endpoint);
    }
    catch (const zmq::error_t& e)
    {
        m_monitor.reset();
        m_socket.reset();
        releasePrivatePath();
        setEndpoint({});
        NX_PRINT << kRelayFunc << " bind " << m_shownEndpoint << " failed: " << e.what()
            << kNoCopy;
        m_sink.event(Level::info, kLoopbackCaption, m_shownEndpoint + ": " + e.what());
    }
}

/** Watchers coming and going; one beyond kMaxWatchers is hung up at once. */
void DiagnosticCopy::readMonitor()
{
    for (int i = 0; i < kReadsPerPass; ++i)
    {
        const std::optional<MonitorEvent> event = receiveMonitorEvent(*m_monitor);
        if (!event)
            return;
        const int fd = static_cast<int>(event->value);
        if (event->kind == ZMQ_EVENT_DISCONNECTED)
        {
            m_watchers.erase(fd);
        }
        else if (event->kind == ZMQ_EVENT_ACCEPTED)
        {
            if (static_cast<int>(m_watchers.size()) < kMaxWatchers)
            {
                m_watchers.insert(fd);
                continue;
            }
            ++m_watchersRefused;
            if (isConnectionOf(fd, m_boundEndpoint))
                ::shutdown(fd, SHUT_RDWR);
            m_log.write(kRelayFunc, " loopback relay watcher refused, too many: ",
                std::to_string(kMaxWatchers) + " at most (" + std::to_string(m_watchersRefused)
                    + " refused in all)");
        }
    }
}

void ListeningWithCopy::event(
    Level level, const std::string& caption, const std::string& description)
{
    const std::string copy = caption == kListeningCaption ? m_copy.endpoint() : std::string();
    m_sink.event(level, caption,
        copy.empty() ? description : description + "; diagnostic copy on " + copy);
}

} // namespace nx::vms_server_plugins::analytics::sample
