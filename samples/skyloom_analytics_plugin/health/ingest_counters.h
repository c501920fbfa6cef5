// What happened to the AI engine's messages: one table of the reasons a message (or a part of
// one) is left out, counters per camera and per engine, and the registry through which the
// engine's relay and its agents count into the same camera's counters. A camera counts two
// things apart: messages dropped (nothing of them reached the server), each once under one
// reason, and elements cut from messages that were delivered (left out or shortened). The
// health line, the "Messages dropped" event and the metrics file all read these counters;
// nothing else keeps counts of its own. The engine counts refusals of AI engine peers by reason,
// with the addresses of the last minute apart (RefusalCounters); EngineState is what the relay
// is at a moment (listening, receiver, guards, budgets), for the metrics file's gauges.
//
// Threads: counting is a relaxed atomic add on any thread (the relay counts queue and
// authorisation drops, the camera's receive thread everything else). A camera's delays (and the
// messages that gave none) go under the camera's own lock, which the receive thread takes per
// message that names a frame time and a reader per snapshot: the delay summary is made when it is
// read, so that it always covers the minute before. The refused addresses are under their
// counters' own lock (the ZAP handler's thread and the relay's). The registry's map is under
// one mutex, taken when a camera is first named (an agent starts, the relay learns a
// subscription) and when a snapshot is taken, never per message; the engine id under it too
// (the server's thread sets it, the relay's reads it for each metrics file).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "common/thread_annotations.h"
#include "engine_delay.h"

namespace nx::vms_server_plugins::analytics::sample {

/** Why a message or a part of it was left out (or, for the two cuts, shortened). */
enum class DropReason
{
    beforeVideo, //< The camera had no video frame yet to stamp the packets with.
    notJson,
    tooDeep,
    malformed, //< A member or list element of the wrong form.
    numberOutOfRange,
    otherCamera, //< "src_uuid" names another camera than the prefix did.
    boxOutsideFrame,
    listCut, //< List elements beyond the limit, or beyond the message's bound of attribute text.
    textCut, //< Texts cut to the limit (kept, shortened).
    queueFull, //< The camera's queue (messages or bytes) was full at the relay.
    notAuthorised, //< The AI engine's certificate does not allow this camera.
};

constexpr size_t kDropReasonCount = static_cast<size_t>(DropReason::notAuthorised) + 1;

struct DropReasonInfo
{
    DropReason reason;
    /** The metrics label and the health line's key. */
    const char* name;
    /** For people: the "Messages dropped" event and the documentation. */
    const char* text;
    /** Whether it can drop a whole message (a sample of the dropped family). */
    bool dropsMessages;
    /** Whether it can cut elements of a delivered message (a sample of the cut family). */
    bool cutsElements;
};

/** Every reason, in the order of DropReason. */
extern const std::array<DropReasonInfo, kDropReasonCount> kDropReasons;

[[nodiscard]] inline const DropReasonInfo& dropReasonInfo(DropReason reason)
{
    return kDropReasons[static_cast<size_t>(reason)];
}

using DropCounts = std::array<uint64_t, kDropReasonCount>;

/** Adds one, relaxed: the hot path's counting. */
inline void bump(std::atomic<uint64_t>& counter, uint64_t count = 1) noexcept
{
    counter.fetch_add(count, std::memory_order_relaxed);
}

/** One camera's counters at one moment. */
struct CameraSnapshot
{
    std::string cameraId;
    uint64_t received = 0; //< Messages taken off the camera's queue.
    uint64_t converted = 0; //< Messages parsed and converted for this camera.
    uint64_t objectPackets = 0;
    uint64_t eventPackets = 0;
    int64_t lastMessageUnixMs = 0; //< 0 until the first message.
    DropCounts drops{}; //< Messages dropped, each under one reason.
    DropCounts cuts{}; //< Elements cut from delivered messages (or texts shortened).
    int64_t queuedBytes = 0; //< Bytes waiting in the camera's queue against its budget.
    /** Messages that named no engine time (or a malformed one). */
    uint64_t withoutEngineTime = 0;
    /** Messages to be stamped with their frame whose engine time no kept frame was near. */
    uint64_t outsideFrameHistory = 0;
    /** The AI engine's delay over the minute before the snapshot; unset unless measured. */
    std::optional<int64_t> engineDelayMedianUs;
    std::optional<int64_t> engineDelayP95Us;
    DelayState engineDelayState = DelayState::noRecentMessage;
    DelayHistogram engineDelayHistogram; //< Since the start.
};

/** The counters of one camera; shared by its agent(s) and the relay. */
class CameraCounters
{
public:
    /** Messages of which nothing reached the server. */
    void drop(DropReason reason, uint64_t count = 1) noexcept
    {
        m_drops[static_cast<size_t>(reason)].fetch_add(count, std::memory_order_relaxed);
    }
    /** Elements left out of (or texts shortened in) a message that was delivered. */
    void cut(DropReason reason, uint64_t count) noexcept
    {
        m_cuts[static_cast<size_t>(reason)].fetch_add(count, std::memory_order_relaxed);
    }
    /** A message was taken off the queue now (wall clock, for the operator). */
    void received() noexcept;
    void converted() noexcept { m_converted.fetch_add(1, std::memory_order_relaxed); }
    void pushed(uint64_t objectPackets, uint64_t eventPackets) noexcept
    {
        m_objectPackets.fetch_add(objectPackets, std::memory_order_relaxed);
        m_eventPackets.fetch_add(eventPackets, std::memory_order_relaxed);
    }

    /** A message that named no usable frame time, at `now` (Clock). */
    void withoutEngineTime(Clock::time_point now = Clock::now()) noexcept;
    void outsideFrameHistory() noexcept { bump(m_outsideFrameHistory); }
    /**
     * A message's delay at `now` (Clock): into the minute's window, and into the histogram if it
     * is within the same-clock range.
     */
    void engineDelay(int64_t delayUs, Clock::time_point now = Clock::now()) noexcept
        EXCLUDES(m_delayMutex);
    /** The minute of delays up to `now`. */
    [[nodiscard]] DelayMinute delayMinute(Clock::time_point now) const EXCLUDES(m_delayMutex);

    [[nodiscard]] uint64_t drops(DropReason reason) const noexcept
    {
        return m_drops[static_cast<size_t>(reason)].load(std::memory_order_relaxed);
    }
    [[nodiscard]] uint64_t cuts(DropReason reason) const noexcept
    {
        return m_cuts[static_cast<size_t>(reason)].load(std::memory_order_relaxed);
    }
    [[nodiscard]] DropCounts drops() const noexcept { return load(m_drops); }
    [[nodiscard]] DropCounts cuts() const noexcept { return load(m_cuts); }
    /** The counters now, the delay summarised over the minute up to `now`. */
    [[nodiscard]] CameraSnapshot snapshot(
        std::string cameraId, Clock::time_point now = Clock::now()) const EXCLUDES(m_delayMutex);

private:
    using AtomicCounts = std::array<std::atomic<uint64_t>, kDropReasonCount>;
    static DropCounts load(const AtomicCounts& counts) noexcept;

    AtomicCounts m_drops{};
    AtomicCounts m_cuts{};
    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_converted{0};
    std::atomic<uint64_t> m_objectPackets{0};
    std::atomic<uint64_t> m_eventPackets{0};
    std::atomic<int64_t> m_lastMessageUnixMs{0};
    std::atomic<uint64_t> m_withoutEngineTime{0};
    std::atomic<uint64_t> m_outsideFrameHistory{0};
    mutable Mutex m_delayMutex;
    DelayWindow m_delays GUARDED_BY(m_delayMutex);
    DelayHistogram m_delayHistogram GUARDED_BY(m_delayMutex);
};

/**
 * Why an AI engine's peer was refused, as the metrics' "reason" label names it; "AI engine
 * refused" tells the same reasons as texts (ingress_policy.h). A message too large is counted
 * apart (EngineCounters::tooLarge).
 */
struct RefusalReasonInfo
{
    const char* name; //< The label value.
    const char* text; //< As the event and the log line give it.
};

inline constexpr RefusalReasonInfo kRefusalReasons[] = {
    {"address_not_allowed", "address not allowed"},
    {"unknown_key", "unknown key"},
    {"handshake_failed", "handshake failed"},
    {"camera_not_authorised", "camera not authorised"},
    {"too_many_connections", "too many connections"},
    {"other", ""}, //< A reason of none of the above (from a receiver of another version).
};

constexpr size_t kRefusalReasonCount = std::size(kRefusalReasons);

/**
 * Refusals by reason, and the distinct addresses refused in the last minute: libzmq reconnects a
 * refused peer every few hundred milliseconds, so that one engine left out counts many refusals
 * but one address. At most kMaxAddresses are told apart (beyond, the figure is that bound).
 * Threads: any (the relay's, the ZAP handler's); the addresses under the object's own lock.
 */
class RefusalCounters
{
public:
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr size_t kMaxAddresses = 4096;

    /** A refusal of `address` for `reason` (a text of kRefusalReasons). */
    void refused(const std::string& address, const std::string& reason, Clock::time_point now)
        EXCLUDES(m_mutex);

    [[nodiscard]] std::array<uint64_t, kRefusalReasonCount> counts() const noexcept;
    /** The distinct addresses refused in the minute up to `now`. */
    [[nodiscard]] uint64_t recentAddresses(Clock::time_point now) const EXCLUDES(m_mutex);

private:
    std::array<std::atomic<uint64_t>, kRefusalReasonCount> m_counts{};
    mutable Mutex m_mutex;
    /** Address → when it was last refused; entries older than kWindow are dropped. */
    mutable std::map<std::string, Clock::time_point> m_recent GUARDED_BY(m_mutex);
};

/**
 * What the relay is now, beside the counts: the metrics file's state gauges. Made by the relay
 * at each write of the file.
 */
struct EngineState
{
    enum class ReceiverMode { isolated, inServer, restarting };

    int servicePort = 0; //< As set (the port that listens, or should).
    bool listening = false;
    ReceiverMode receiverMode = ReceiverMode::restarting;
    bool encryption = false; //< CurveZMQ in force.
    bool allowList = false; //< An address allow-list in force.
    bool diagnosticCopyOpen = false;
    int64_t diagnosticCopyWatchers = 0;
    int64_t engineQueueBudgetBytes = 0; //< For all cameras' queues together.
    int64_t cameraQueueBudgetBytes = 0; //< For each camera's queue.
    /** False in the file's last write, when the engine is released. */
    bool running = true;
};

/** One engine's counters at one moment. */
struct EngineSnapshot
{
    uint64_t received = 0; //< Messages taken from the service port.
    uint64_t receivedBytes = 0; //< Their bytes.
    uint64_t relayed = 0; //< Handed to a camera's queue.
    uint64_t noCamera = 0; //< Matched no camera of this engine.
    int64_t enginesConnected = 0; //< AI-engine connections now.
    uint64_t connections = 0; //< AI-engine connections accepted since the start.
    uint64_t disconnects = 0;
    uint64_t refusedPeers = 0; //< Handshakes and messages refused by the ingress policy.
    uint64_t receiverRestarts = 0; //< Receiver processes that ended and were replaced.
    /** Messages the receiver took but the relay never got (relay behind, receiver died). */
    uint64_t receiverLost = 0;
    /** Messages over the size limit, refused (with their connection) by the service port. */
    uint64_t tooLarge = 0;
    /** refusedPeers by reason, in the order of kRefusalReasons. */
    std::array<uint64_t, kRefusalReasonCount> refusedByReason{};
    uint64_t refusedAddresses = 0; //< Distinct, in the last minute.
};

/** The counters of one engine's relay; written by the relay and the ZAP handler's thread. */
struct EngineCounters
{
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> receivedBytes{0};
    std::atomic<uint64_t> relayed{0};
    std::atomic<uint64_t> noCamera{0};
    std::atomic<int64_t> enginesConnected{0};
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> disconnects{0};
    std::atomic<uint64_t> refusedPeers{0};
    std::atomic<uint64_t> receiverRestarts{0};
    std::atomic<uint64_t> receiverLost{0};
    std::atomic<uint64_t> tooLarge{0};
    RefusalCounters refusals;

    /** The counters, the refused addresses those of the minute up to `now`. */
    [[nodiscard]] EngineSnapshot snapshot(Clock::time_point now = Clock::now()) const;
};

/**
 * The counters of one engine and of every camera named to it. A camera's counters, once made,
 * stay until the engine ends (its counts must not go back to zero for a monitoring system when
 * its agent is made anew); cameras are named by the server's agents only, never by the network.
 */
class IngestCounters
{
public:
    /** The counters of the camera with this id (without braces), made on first use. */
    [[nodiscard]] std::shared_ptr<CameraCounters> camera(const std::string& cameraId)
        EXCLUDES(m_mutex);

    EngineCounters& engine() { return m_engine; }
    const EngineCounters& engine() const { return m_engine; }

    /** Every camera's counters, ordered by camera id, delays up to `now`. */
    [[nodiscard]] std::vector<CameraSnapshot> cameras(
        Clock::time_point now = Clock::now()) const EXCLUDES(m_mutex);

    /** The engine's id as the server gave it (setEngineInfo); empty until then. */
    void setEngineId(std::string engineId) EXCLUDES(m_mutex);
    [[nodiscard]] std::string engineId() const EXCLUDES(m_mutex);

private:
    EngineCounters m_engine;
    mutable Mutex m_mutex;
    std::map<std::string, std::shared_ptr<CameraCounters>> m_cameras GUARDED_BY(m_mutex);
    std::string m_engineId GUARDED_BY(m_mutex);
};

} // namespace nx::vms_server_plugins::analytics::sample
