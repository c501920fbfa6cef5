#include <skyloom/testhost/raw_zmtp_peer.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

namespace skyloom::testhost {

namespace {

constexpr unsigned char kGreeting[64] =
    {0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0x7f, 3, 1, 'N', 'U', 'L', 'L'};

constexpr unsigned char kCommandFlag = 0x04;
constexpr unsigned char kMoreFlag = 0x01;
constexpr unsigned char kLongFlag = 0x02;

/** What sendFrames() puts into one write, unless a single frame is larger. */
constexpr size_t kBatchBytes = 64 * 1024;

/** Flags and size of a frame of `size` bytes, then the body follows. */
std::string frameHeader(unsigned char flags, uint64_t size, bool longForm = false)
{
    std::string header;
    if (size <= 255 && !longForm)
    {
        header.push_back(static_cast<char>(flags));
        header.push_back(static_cast<char>(size));
        return header;
    }
    header.push_back(static_cast<char>(flags | kLongFlag));
    for (int shift = 56; shift >= 0; shift -= 8)
        header.push_back(static_cast<char>((size >> shift) & 0xff));
    return header;
}

} // namespace

RawZmtpPeer::RawZmtpPeer(int port, const char* sourceAddress)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in source{};
    source.sin_family = AF_INET;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if ((sourceAddress
            && (inet_pton(AF_INET, sourceAddress, &source.sin_addr) != 1
                || bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof(source)) != 0))
        || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        close(fd);
        return;
    }
    m_fd = fd;
}

RawZmtpPeer::~RawZmtpPeer()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool RawZmtpPeer::greet()
{
    return writeAll(kGreeting, sizeof(kGreeting));
}

bool RawZmtpPeer::sendHandshake()
{
    const std::string ready = std::string("\x04\x19\x05READY\x0bSocket-Type", 20)
        + std::string("\0\0\0\x03PUB", 7);
    return greet() && writeAll(ready.data(), ready.size());
}

bool RawZmtpPeer::handshake()
{
    if (!sendHandshake())
        return false;
    unsigned char reply[sizeof(kGreeting) + 2];
    if (!readAll(reply, sizeof(reply)) || reply[sizeof(kGreeting)] != kCommandFlag)
        return false;
    std::string command(reply[sizeof(kGreeting) + 1], '\0');
    return readAll(command.data(), command.size()) && command.compare(0, 6, "\x05READY") == 0;
}

bool RawZmtpPeer::sendFrame(std::string_view body, bool more)
{
    const std::string header = frameHeader(more ? kMoreFlag : 0, body.size());
    return writeAll(header.data(), header.size()) && writeAll(body.data(), body.size());
}

bool RawZmtpPeer::sendFrames(std::string_view body, bool more, int64_t count)
{
    const std::string header = frameHeader(more ? kMoreFlag : 0, body.size());
    const size_t frameSize = header.size() + body.size();
    if (frameSize > kBatchBytes)
    {
        for (int64_t i = 0; i < count; ++i)
        {
            if (!sendFrame(body, more))
                return false;
        }
        return true;
    }
    const int64_t perBatch = static_cast<int64_t>(kBatchBytes / frameSize);
    std::string batch;
    batch.reserve(static_cast<size_t>(perBatch) * frameSize);
    for (int64_t i = 0; i < std::min(perBatch, count); ++i)
        batch.append(header).append(body);
    for (int64_t left = count; left > 0;)
    {
        const int64_t copies = std::min(left, perBatch);
        if (!writeAll(batch.data(), static_cast<size_t>(copies) * frameSize))
            return false;
        left -= copies;
    }
    return true;
}

bool RawZmtpPeer::sendFrameStart(uint64_t announcedSize, std::string_view partialBody)
{
    if (partialBody.size() >= announcedSize)
        return false;
    const std::string header = frameHeader(0, announcedSize, /*longForm*/ true);
    return writeAll(header.data(), header.size())
        && writeAll(partialBody.data(), partialBody.size());
}

bool RawZmtpPeer::sendPing(std::chrono::milliseconds ttl)
{
    // TTL in tenths of a second, network order; no context.
    const auto tenths = static_cast<uint16_t>(ttl.count() / 100);
    std::string ping = "\x04PING";
    ping.push_back(static_cast<char>(tenths >> 8));
    ping.push_back(static_cast<char>(tenths & 0xff));
    const std::string header = frameHeader(kCommandFlag, ping.size());
    return writeAll(header.data(), header.size()) && writeAll(ping.data(), ping.size());
}

int64_t RawZmtpPeer::floodUntilHeldBack(std::string_view body, std::chrono::milliseconds quiet)
{
    if (m_fd < 0)
        return 0;
    const std::string message = frameHeader(0, body.size()) + std::string(body);
    std::string batch;
    for (int i = 0; i < 256; ++i)
        batch += message;
    const int flags = fcntl(m_fd, F_GETFL);
    fcntl(m_fd, F_SETFL, flags | O_NONBLOCK);
    int64_t bytes = 0;
    size_t offset = 0; //< Into the batch, which is resent from its start once complete.
    for (;;)
    {
        const ssize_t written =
            send(m_fd, batch.data() + offset, batch.size() - offset, MSG_NOSIGNAL);
        if (written > 0)
        {
            bytes += written;
            offset = (offset + static_cast<size_t>(written)) % batch.size();
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            break;
        pollfd item{m_fd, POLLOUT, 0};
        if (poll(&item, 1, static_cast<int>(quiet.count())) == 0)
            break; //< Nothing taken for `quiet`: the server holds it back.
    }
    fcntl(m_fd, F_SETFL, flags);
    return bytes / static_cast<int64_t>(message.size());
}

bool RawZmtpPeer::readUntilClosed()
{
    char buffer[4096];
    for (;;)
    {
        const ssize_t got = m_fd >= 0 ? read(m_fd, buffer, sizeof(buffer)) : -1;
        if (got == 0)
            return true;
        if (got < 0)
            return errno == ECONNRESET;
    }
}

void RawZmtpPeer::abort()
{
    if (m_fd < 0)
        return;
    const linger reset{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    close(m_fd);
    m_fd = -1;
}

bool RawZmtpPeer::writeAll(const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (m_fd >= 0 && size > 0)
    {
        const ssize_t written = send(m_fd, bytes, size, MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return m_fd >= 0;
}

bool RawZmtpPeer::readAll(void* data, size_t size)
{
    char* bytes = static_cast<char*>(data);
    while (m_fd >= 0 && size > 0)
    {
        const ssize_t got = read(m_fd, bytes, size);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return m_fd >= 0;
}

} // namespace skyloom::testhost
