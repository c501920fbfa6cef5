#include "channel.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "subscriptions.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

/** Bytes asked for per read: a few large messages, or many small ones, per system call. */
constexpr size_t kReadChunk = 256 * 1024;

/** Frames handed to one writev. */
constexpr int kFramesPerWrite = 64;

void putU16(std::string& out, size_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void putU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

void putU64(std::string& out, uint64_t value)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

uint64_t getLittleEndian(std::string_view bytes)
{
    uint64_t value = 0;
    for (size_t i = bytes.size(); i-- > 0;)
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    return value;
}

std::string_view bounded(std::string_view field)
{
    return field.substr(0, ChannelLimits::kMaxField);
}

/** A frame with room for its payload; the length is filled in by finish(). */
std::string start(FrameType type, size_t payloadReserve)
{
    std::string frame;
    frame.reserve(ChannelLimits::kHeaderSize + payloadReserve);
    frame.append(4, '\0');
    frame.push_back(static_cast<char>(type));
    return frame;
}

std::string finish(std::string frame)
{
    std::string length;
    putU32(length, static_cast<uint32_t>(frame.size() - ChannelLimits::kHeaderSize));
    frame.replace(0, length.size(), length);
    return frame;
}

/** Reads a u16-length-prefixed field off the front of `payload`; false if it overruns. */
bool takeField(std::string_view* payload, std::string_view* field)
{
    if (payload->size() < 2)
        return false;
    const auto length = static_cast<size_t>(getLittleEndian(payload->substr(0, 2)));
    if (length > ChannelLimits::kMaxField || payload->size() - 2 < length)
        return false;
    *field = payload->substr(2, length);
    payload->remove_prefix(2 + length);
    return true;
}

bool isReceiverType(uint8_t type)
{
    switch (static_cast<FrameType>(type))
    {
        case FrameType::message:
        case FrameType::event:
        case FrameType::log:
        case FrameType::refused:
        case FrameType::connected:
        case FrameType::disconnected:
        case FrameType::stats:
        case FrameType::pong:
            return true;
        case FrameType::config:
        case FrameType::subscription:
        case FrameType::ping:
            return false;
    }
    return false;
}

bool isEngineType(uint8_t type)
{
    return type == static_cast<uint8_t>(FrameType::config)
        || type == static_cast<uint8_t>(FrameType::subscription)
        || type == static_cast<uint8_t>(FrameType::ping);
}

} // namespace

std::string encodeMessage(std::string_view userId, std::string_view peer, std::string_view bytes)
{
    userId = bounded(userId);
    peer = bounded(peer);
    std::string frame = start(FrameType::message, 4 + userId.size() + peer.size() + bytes.size());
    putU16(frame, userId.size());
    frame.append(userId);
    putU16(frame, peer.size());
    frame.append(peer);
    frame.append(bytes);
    return finish(std::move(frame));
}

std::string encodeEvent(uint8_t level, std::string_view caption, std::string_view description)
{
    caption = bounded(caption);
    description = bounded(description);
    std::string frame = start(FrameType::event, 3 + caption.size() + description.size());
    frame.push_back(static_cast<char>(level));
    putU16(frame, caption.size());
    frame.append(caption);
    frame.append(description);
    return finish(std::move(frame));
}

std::string encodeText(FrameType type, std::string_view text)
{
    // Configuration is the engine's own and may be long (many certificates); the rest is cut.
    if (type != FrameType::config)
        text = bounded(text);
    std::string frame = start(type, text.size());
    frame.append(text);
    return finish(std::move(frame));
}

std::string encodeRefused(std::string_view address, std::string_view reason)
{
    address = bounded(address);
    reason = bounded(reason);
    std::string frame = start(FrameType::refused, 2 + address.size() + reason.size());
    putU16(frame, address.size());
    frame.append(address);
    frame.append(reason);
    return finish(std::move(frame));
}

std::string encodeStats(uint64_t dropped, uint64_t queued)
{
    std::string frame = start(FrameType::stats, 16);
    putU64(frame, dropped);
    putU64(frame, queued);
    return finish(std::move(frame));
}

std::string encodeEmpty(FrameType type)
{
    return finish(start(type, 0));
}

std::string encodeSubscription(bool subscribe, std::string_view prefix)
{
    std::string frame = start(FrameType::subscription, 1 + prefix.size());
    frame.push_back(subscribe ? 1 : 0);
    frame.append(prefix);
    return finish(std::move(frame));
}

const char* channelErrorText(ChannelError error)
{
    switch (error)
    {
        case ChannelError::none: return "no error";
        case ChannelError::tooLong: return "frame longer than the limit";
        case ChannelError::unknownType: return "frame of an unknown type";
        case ChannelError::badFields: return "frame fields overrun or malformed";
    }
    return "unknown error";
}

ChannelError decodePayload(
    uint8_t type, std::string_view payload, bool fromReceiver, Frame* frame)
{
    if (fromReceiver ? !isReceiverType(type) : !isEngineType(type))
        return ChannelError::unknownType;
    *frame = Frame{};
    frame->type = static_cast<FrameType>(type);
    switch (frame->type)
    {
        case FrameType::message:
            if (!takeField(&payload, &frame->first) || !takeField(&payload, &frame->second))
                return ChannelError::badFields;
            frame->body = payload;
            return ChannelError::none;
        case FrameType::event:
            if (payload.empty())
                return ChannelError::badFields;
            frame->level = static_cast<uint8_t>(payload[0]);
            payload.remove_prefix(1);
            if (frame->level > 2 || !takeField(&payload, &frame->first)
                || payload.size() > ChannelLimits::kMaxField)
            {
                return ChannelError::badFields;
            }
            frame->body = payload;
            return ChannelError::none;
        case FrameType::refused:
            if (!takeField(&payload, &frame->first) || payload.size() > ChannelLimits::kMaxField)
                return ChannelError::badFields;
            frame->body = payload;
            return ChannelError::none;
        case FrameType::connected:
        case FrameType::disconnected:
            if (payload.size() > ChannelLimits::kMaxField)
                return ChannelError::badFields;
            frame->first = payload;
            return ChannelError::none;
        case FrameType::log:
            if (payload.size() > ChannelLimits::kMaxField)
                return ChannelError::badFields;
            frame->body = payload;
            return ChannelError::none;
        case FrameType::stats:
            if (payload.size() != 16)
                return ChannelError::badFields;
            frame->dropped = getLittleEndian(payload.substr(0, 8));
            frame->queued = getLittleEndian(payload.substr(8, 8));
            return ChannelError::none;
        case FrameType::config:
            frame->body = payload;
            return ChannelError::none;
        case FrameType::subscription:
            if (payload.empty() || static_cast<uint8_t>(payload[0]) > 1
                || payload.size() - 1 > SubscriptionLimits::kMaxPrefixLength)
            {
                return ChannelError::badFields;
            }
            frame->subscribe = payload[0] == 1;
            frame->body = payload.substr(1);
            return ChannelError::none;
        case FrameType::ping:
        case FrameType::pong:
            return payload.empty() ? ChannelError::none : ChannelError::badFields;
    }
    return ChannelError::unknownType;
}

void ChannelReader::append(std::string_view bytes)
{
    if (bytes.empty())
        return; //< An empty buffer has no data pointer to copy to.
    if (m_buffer.size() - m_end < bytes.size())
        m_buffer.resize(m_end + bytes.size());
    std::memcpy(m_buffer.data() + m_end, bytes.data(), bytes.size());
    m_end += bytes.size();
}

ChannelReader::Status ChannelReader::parseBuffered(Frame* frame)
{
    if (m_error != ChannelError::none)
        return Status::error;
    const size_t available = m_end - m_begin;
    if (available < ChannelLimits::kHeaderSize)
        return Status::needMore;
    const std::string_view head(m_buffer.data() + m_begin, ChannelLimits::kHeaderSize);
    const uint64_t length = getLittleEndian(head.substr(0, 4));
    const auto type = static_cast<uint8_t>(head[4]);
    // Judged before the payload arrives: a bad length must not make the reader wait for, or
    // allocate, gigabytes.
    if (length > ChannelLimits::kMaxPayload)
    {
        m_error = ChannelError::tooLong;
        return Status::error;
    }
    if (m_fromReceiver ? !isReceiverType(type) : !isEngineType(type))
    {
        m_error = ChannelError::unknownType;
        return Status::error;
    }
    if (available - ChannelLimits::kHeaderSize < length)
        return Status::needMore;
    const std::string_view payload(
        m_buffer.data() + m_begin + ChannelLimits::kHeaderSize, static_cast<size_t>(length));
    m_error = decodePayload(type, payload, m_fromReceiver, frame);
    if (m_error != ChannelError::none)
        return Status::error;
    m_begin += ChannelLimits::kHeaderSize + static_cast<size_t>(length);
    return Status::frame;
}

ChannelReader::Status ChannelReader::next(int fd, Frame* frame)
{
    const Status buffered = parseBuffered(frame);
    if (buffered != Status::needMore)
        return buffered;

    // Room for a chunk: the unread rest moves to the front first (the views handed out before
    // this call are no longer used).
    if (m_begin > 0)
    {
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
    }
    // A buffer grown for one large message goes back to its usual size once it is used up.
    if (m_end == 0 && m_buffer.size() > 2 * kReadChunk)
        m_buffer = std::vector<char>(kReadChunk);
    if (m_buffer.size() - m_end < kReadChunk)
        m_buffer.resize(m_end + kReadChunk);
    const ssize_t count = ::read(fd, m_buffer.data() + m_end, m_buffer.size() - m_end);
    if (count == 0)
        return Status::closed;
    if (count < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR
            ? Status::needMore : Status::closed;
    m_end += static_cast<size_t>(count);
    m_bytesRead += static_cast<uint64_t>(count);
    return parseBuffered(frame);
}

bool ChannelWriter::push(std::string frame)
{
    if (m_queuedBytes + frame.size() > m_maxQueuedBytes && !m_frames.empty())
        return false;
    pushAlways(std::move(frame));
    return true;
}

void ChannelWriter::pushAlways(std::string frame)
{
    m_queuedBytes += frame.size();
    m_frames.push_back(std::move(frame));
}

bool ChannelWriter::flush(int fd)
{
    while (!m_frames.empty())
    {
        iovec parts[kFramesPerWrite];
        int count = 0;
        for (auto it = m_frames.begin(); it != m_frames.end() && count < kFramesPerWrite; ++it)
        {
            const size_t skip = count == 0 ? m_offset : 0;
            parts[count].iov_base = const_cast<char*>(it->data() + skip);
            parts[count].iov_len = it->size() - skip;
            ++count;
        }
        msghdr header{};
        header.msg_iov = parts;
        header.msg_iovlen = static_cast<size_t>(count);
        // sendmsg, not writev: MSG_NOSIGNAL, so that a peer gone is an error, not SIGPIPE.
        const ssize_t written = ::sendmsg(fd, &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written < 0)
        {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        auto left = static_cast<size_t>(written);
        while (left > 0)
        {
            const size_t rest = m_frames.front().size() - m_offset;
            if (left < rest)
            {
                m_offset += left;
                break;
            }
            left -= rest;
            m_queuedBytes -= m_frames.front().size();
            m_frames.pop_front();
            m_offset = 0;
        }
        if (m_offset > 0)
            return true; //< The socket is full.
    }
    return true;
}

} // namespace nx::vms_server_plugins::analytics::sample
