// The diagnostic copy of every message for outside watchers (setting::kLoopbackRelay), on a
// socket of its own. Where: the endpoint that setting::kLoopbackRelayEndpoint names, or, when it
// is empty, a private local socket <working directory>/skyloom_diagnostic_copy/<engine>.ipc in a
// directory of mode 0700 (diagnostic_copy_path.h, private_directory.h), which only the server's
// user can open: the copy carries every camera's metadata. The directory is opened once and held
// open while the copy is: the socket is bound, made afresh and removed through that descriptor,
// never by the directory's name again, so that nobody who can rename things in the working
// directory can lead it elsewhere. It is no part of the road to the cameras: a copy that cannot
// be opened is a warning ("Loopback relay unavailable") and the cameras still receive.
//
// Whatever the endpoint, a watcher can make the server hold only so much: a subscription topic
// of at most kMaxTopicSize bytes (ZMQ_MAXMSGSIZE: a longer one cuts its watcher off before it is
// stored), at most kMaxTopics topics of kMaxTopicBytes in all (read from the XPUB as they come;
// beyond, every watcher is cut off, which frees them: a TCP one hung up, a local socket made
// afresh; once they are gone (kTrimDelay), the heap's free memory is given back to the system),
// at most kMaxWatchers watchers at once (counted by the socket monitor; one more is hung
// up at once) and kHighWaterMark messages queued per watcher (then the copy drops for it).
//
// Ownership: the relay owns it; it owns its socket, the socket's monitor and, for the private
// socket, the descriptor of its directory.
//
// Threads: the relay thread; endpoint() from any thread (the ZAP handler's thread reaches it
// through ListeningWithCopy).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include <zmq.hpp>

#include <nx/sdk/helpers/log_utils.h>

#include "common/checked_directory.h"
#include "common/clock.h"
#include "common/thread_annotations.h"
#include "health/camera_log.h"
#include "ingress/ingress_sink.h"

namespace nx::vms_server_plugins::analytics::sample {

class DiagnosticCopy
{
public:
    static constexpr int kHighWaterMark = 16;
    /**
     * A camera's prefix is 50 bytes ("{"src_uuid":"", a UUID and the quote). Kept close to it:
     * the socket stores a topic as one node per byte, some 40 bytes each, before it is read.
     */
    static constexpr int64_t kMaxTopicSize = 64;
    static constexpr int kMaxTopics = 256;
    static constexpr int64_t kMaxTopicBytes = 16 * 1024;
    static constexpr int kMaxWatchers = 8;
    /**
     * From a cut-off to the trim of the heap: the socket frees what the watchers cost only
     * when their connections have ended, on its own threads.
     */
    static constexpr std::chrono::milliseconds kTrimDelay{500};
    /** Poll items that pollItems() fills. */
    static constexpr int kPollItems = 2;

    /** What the copy is to be: the settings that decide it. */
    struct Target
    {
        bool wanted = false; //< setting::kLoopbackRelay
        std::string endpoint; //< setting::kLoopbackRelayEndpoint; empty: the private socket.
        std::string engineId; //< Names the private socket.

        bool operator==(const Target& other) const
        {
            return wanted == other.wanted && endpoint == other.endpoint
                && engineId == other.engineId;
        }
    };

    DiagnosticCopy(zmq::context_t& context, const nx::sdk::LogUtils& logUtils, IngressSink& sink);
    ~DiagnosticCopy();

    DiagnosticCopy(const DiagnosticCopy&) = delete;
    DiagnosticCopy& operator=(const DiagnosticCopy&) = delete;

    /**
     * Opens, closes or moves the copy when the target differs from the last one, and tries again
     * to open a copy that could not be opened.
     */
    void apply(const Target& target);

    /** The endpoint that watchers connect to; empty while there is no copy. */
    [[nodiscard]] std::string endpoint() const EXCLUDES(m_endpointMutex);

    /** Sends a copy of the message (sharing its buffer) if the copy is open; never throws. */
    void send(zmq::message_t& message) noexcept;

    /** Fills kPollItems items: subscriptions and watchers coming and going (null if closed). */
    void pollItems(zmq::pollitem_t* items);
    /** Takes up what the items of pollItems() reported. */
    void serve(const zmq::pollitem_t* items);

    /** Gives the heap's free memory back once watchers cut off are gone; at every pass. */
    void tick(Clock::time_point now);
    /** Until tick() has something to do; an hour when nothing. */
    [[nodiscard]] std::chrono::milliseconds untilDue(Clock::time_point now) const;

    // Counted since the start, for the log and the tests' measurements.
    [[nodiscard]] int64_t watchersRefused() const { return m_watchersRefused; }
    [[nodiscard]] int64_t topicResets() const { return m_topicResets; }
    /** The watchers connected now, as the socket's monitor told them. */
    [[nodiscard]] int64_t watchers() const { return static_cast<int64_t>(m_watchers.size()); }

private:
    void open();
    void close();
    /**
     * The endpoint to bind the private socket to, through its checked and opened directory
     * (held in m_directory); nullopt if there is none to trust.
     */
    [[nodiscard]] std::optional<std::string> privateEndpoint();
    /** Gives up the private socket's name and directory. */
    void releasePrivatePath();
    void bindOrThrow(const std::string& endpoint);
    void readSubscriptions();
    void readMonitor();
    void cutOffWatchers();
    void setEndpoint(std::string endpoint) EXCLUDES(m_endpointMutex);

private:
    zmq::context_t& m_context;
    const nx::sdk::LogUtils& m_logUtils;
    IngressSink& m_sink;
    CameraLog m_log;

    Target m_target;
    std::optional<zmq::socket_t> m_socket;
    std::optional<zmq::socket_t> m_monitor;
    std::string m_claimedPath; //< Of the private socket while it is open, as the log shows it.
    DirectoryDescriptor m_directory; //< The private socket's, while it is open.
    std::string m_socketName; //< The private socket's name in m_directory.
    std::string m_boundEndpoint; //< As bound: through m_directory for the private socket.
    std::string m_shownEndpoint; //< As the operator reads it: the private socket's real path.

    std::optional<Clock::time_point> m_trimAt; //< After a cut-off.
    std::set<int> m_watchers; //< Descriptors of the connected watchers.
    int m_topics = 0;
    int64_t m_topicBytes = 0;
    int64_t m_watchersRefused = 0;
    int64_t m_topicResets = 0;

    mutable Mutex m_endpointMutex;
    std::string m_endpoint GUARDED_BY(m_endpointMutex);
};

/**
 * The service port's sink, with the copy's endpoint added to the description of the event
 * "Listening for the AI engine", so that the operator sees where the copy is. Everything else
 * passes unchanged. Threads: as IngressSink.
 */
class ListeningWithCopy: public IngressSink
{
public:
    ListeningWithCopy(IngressSink& sink, const DiagnosticCopy& copy): m_sink(sink), m_copy(copy)
    {
    }

    void event(Level level, const std::string& caption, const std::string& description) override;
    void refused(const std::string& address, const std::string& reason) override
    {
        m_sink.refused(address, reason);
    }
    void connected(const std::string& address) override { m_sink.connected(address); }
    void disconnected(const std::string& address) override { m_sink.disconnected(address); }

private:
    IngressSink& m_sink;
    const DiagnosticCopy& m_copy;
};

} // namespace nx::vms_server_plugins::analytics::sample
