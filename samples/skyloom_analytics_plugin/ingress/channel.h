// The private channel between the engine and its receiver process: a stream socket of a
// socketpair carrying length-prefixed frames. Every frame is a little-endian 32-bit payload
// length, a one-byte type and the payload; the payload's fields are laid out per type below.
// The receiver sends the AI engines' messages and what happened on the service port; the engine
// sends the receiver its configuration. Whatever the engine reads is checked strictly: a frame
// of an unknown type, too long, or whose fields overrun it is an error value, never a guess.
//
// ChannelReader and ChannelWriter use a non-blocking descriptor and never wait on the peer: the
// reader takes what is there, the writer keeps what the socket cannot take yet, up to a bound.
//
// Threads: each reader and writer by one thread at a time; the encoders on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nx::vms_server_plugins::analytics::sample {

enum class FrameType: uint8_t
{
    // Receiver to engine.
    message = 'M', //< u16 user id length, user id, u16 peer length, peer, message bytes.
    event = 'E', //< u8 level, u16 caption length, caption, description.
    log = 'L', //< One log line, without the print prefix.
    refused = 'R', //< u16 address length, address, reason.
    connected = 'C', //< Address.
    disconnected = 'D', //< Address.
    stats = 'S', //< u64 messages dropped since the last stats frame, u64 messages queued now.
    pong = 'O', //< Empty: the answer to a ping.
    // Engine to receiver.
    config = 'G', //< The listener's configuration as JSON text.
    /** u8 1 (subscribe) or 0 (unsubscribe), the prefix (SubscriptionLimits bound it). */
    subscription = 'U',
    ping = 'P', //< Empty: the engine asks whether the receiver still runs its loop.
};

/** One decoded frame; the views point into the reader's buffer until its next read. */
struct Frame
{
    FrameType type = FrameType::log;
    std::string_view first; //< User id, caption or address (per type).
    std::string_view second; //< Peer address (message frames).
    std::string_view body; //< Message bytes, description, reason, log line or JSON.
    uint8_t level = 0; //< Event frames.
    uint64_t dropped = 0; //< Stats frames.
    uint64_t queued = 0; //< Stats frames.
    bool subscribe = false; //< Subscription frames; the prefix is `body`.
};

struct ChannelLimits
{
    /** The largest AI-engine message plus its fields. */
    static constexpr uint32_t kMaxPayload = 4 * 1024 * 1024 + 4096;
    /** Texts beside a message (user id, address, caption). */
    static constexpr size_t kMaxField = 1024;
    static constexpr size_t kHeaderSize = 5;
};

// Encoders: each returns the whole frame, header included. Fields longer than kMaxField are cut.
[[nodiscard]] std::string encodeMessage(
    std::string_view userId, std::string_view peer, std::string_view bytes);
[[nodiscard]] std::string encodeEvent(
    uint8_t level, std::string_view caption, std::string_view description);
[[nodiscard]] std::string encodeText(FrameType type, std::string_view text);
[[nodiscard]] std::string encodeRefused(std::string_view address, std::string_view reason);
[[nodiscard]] std::string encodeStats(uint64_t dropped, uint64_t queued);
[[nodiscard]] std::string encodeSubscription(bool subscribe, std::string_view prefix);
/** A frame without payload (ping, pong). */
[[nodiscard]] std::string encodeEmpty(FrameType type);

/** Why the bytes read are no frame; stable texts, for the log and the restart event. */
enum class ChannelError
{
    none,
    tooLong,
    unknownType,
    badFields,
};

[[nodiscard]] const char* channelErrorText(ChannelError error);

/**
 * Decodes one payload of the given type. `fromReceiver`: the engine's side, which accepts only
 * the receiver's types (and the receiver only configuration and subscription frames).
 */
[[nodiscard]] ChannelError decodePayload(
    uint8_t type, std::string_view payload, bool fromReceiver, Frame* frame);

class ChannelReader
{
public:
    enum class Status { frame, needMore, closed, error };

    /** `fromReceiver`: which side's frames this reader accepts. */
    explicit ChannelReader(bool fromReceiver): m_fromReceiver(fromReceiver) {}

    /**
     * The next whole frame among the bytes read so far, or reads more (at most one read of the
     * descriptor per call when nothing whole is buffered). `closed`: the peer closed or the read
     * failed (errno kept); `error`: the bytes are malformed, see error().
     */
    [[nodiscard]] Status next(int fd, Frame* frame);

    [[nodiscard]] ChannelError error() const { return m_error; }

    /** Whether part of a frame is buffered (lost if the peer is gone). */
    [[nodiscard]] bool partial() const { return m_end > m_begin; }

    /** Bytes read from the descriptor so far. */
    [[nodiscard]] uint64_t bytesRead() const { return m_bytesRead; }

    /** Takes bytes as if read from the descriptor (tests and in-memory use). */
    void append(std::string_view bytes);

    /** The next whole frame among the bytes already buffered; needMore if none. */
    [[nodiscard]] Status parseBuffered(Frame* frame);

private:
    const bool m_fromReceiver;
    std::vector<char> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    uint64_t m_bytesRead = 0;
    ChannelError m_error = ChannelError::none;
};

class ChannelWriter
{
public:
    /** `maxQueuedBytes`: beyond it push() refuses frames (the caller counts the drop). */
    explicit ChannelWriter(size_t maxQueuedBytes): m_maxQueuedBytes(maxQueuedBytes) {}

    /** Queues a whole frame; false (nothing queued) when the bound would be passed. */
    [[nodiscard]] bool push(std::string frame);

    /** Queues a frame whatever the bound (configuration and rare events). */
    void pushAlways(std::string frame);

    /**
     * Writes what the socket takes without blocking. False when the peer is gone or the write
     * failed otherwise (errno kept); would-block is not a failure.
     */
    [[nodiscard]] bool flush(int fd);

    [[nodiscard]] bool empty() const { return m_frames.empty(); }
    [[nodiscard]] size_t queuedBytes() const { return m_queuedBytes; }
    /** Frames waiting, the one being written included. */
    [[nodiscard]] size_t queuedFrames() const { return m_frames.size(); }

private:
    const size_t m_maxQueuedBytes;
    std::deque<std::string> m_frames;
    size_t m_offset = 0; //< Bytes of the front frame already written.
    size_t m_queuedBytes = 0;
};

} // namespace nx::vms_server_plugins::analytics::sample
