#include "raw_curve_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <sodium.h>
#include <zmq.h>

namespace skyloom::hardening {

namespace {

using namespace std::chrono;

constexpr unsigned char kCommandFlag = 0x04;
constexpr unsigned char kLongFlag = 0x02;
constexpr size_t kKeySize = crypto_box_PUBLICKEYBYTES;
constexpr size_t kCookieSize = 96;

std::string greeting()
{
    std::string bytes(64, '\0');
    bytes[0] = static_cast<char>(0xff);
    bytes[9] = 0x7f;
    bytes[10] = 3;
    bytes[11] = 0;
    std::memcpy(&bytes[12], "CURVE", 5);
    return bytes; //< as-server 0.
}

std::string command(const std::string& body)
{
    std::string frame;
    if (body.size() <= 255)
    {
        frame.push_back(static_cast<char>(kCommandFlag));
        frame.push_back(static_cast<char>(body.size()));
    }
    else
    {
        frame.push_back(static_cast<char>(kCommandFlag | kLongFlag));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.push_back(static_cast<char>((static_cast<uint64_t>(body.size()) >> shift) & 0xff));
    }
    return frame + body;
}

/** A 24-byte nonce: a 16- or 8-byte prefix and the rest. */
std::string nonce(const char* prefix, const std::string& rest)
{
    return std::string(prefix) + rest;
}

std::string shortNonce(uint64_t counter)
{
    std::string bytes(8, '\0');
    for (int i = 7; i >= 0; --i, counter >>= 8)
        bytes[static_cast<size_t>(i)] = static_cast<char>(counter & 0xff);
    return bytes;
}

const unsigned char* bytesOf(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

/** Box [plain](from's secret -> to's public), with its 16-byte tag in front. */
std::string box(const std::string& plain, const std::string& nonceBytes, const std::string& to,
    const std::string& fromSecret)
{
    std::string sealed(plain.size() + crypto_box_MACBYTES, '\0');
    if (crypto_box_easy(reinterpret_cast<unsigned char*>(sealed.data()), bytesOf(plain),
        plain.size(), bytesOf(nonceBytes), bytesOf(to), bytesOf(fromSecret)) != 0)
    {
        return {};
    }
    return sealed;
}

struct KeyPair
{
    std::string publicKey = std::string(kKeySize, '\0');
    std::string secretKey = std::string(crypto_box_SECRETKEYBYTES, '\0');

    KeyPair()
    {
        crypto_box_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
            reinterpret_cast<unsigned char*>(secretKey.data()));
    }
};

} // namespace

RawCurvePeer::RawCurvePeer(int port)
{
    if (sodium_init() < 0)
        return;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    {
        close(fd);
        return;
    }
    m_fd = fd;
}

RawCurvePeer::~RawCurvePeer()
{
    if (m_fd >= 0)
        close(m_fd);
}

bool RawCurvePeer::initiateWithNewKey(const std::string& serverPublicKeyZ85)
{
    std::string server(kKeySize, '\0');
    if (serverPublicKeyZ85.size() != 40
        || !zmq_z85_decode(reinterpret_cast<uint8_t*>(server.data()), serverPublicKeyZ85.c_str()))
    {
        return false;
    }
    unsigned char theirGreeting[64];
    if (!writeAll(greeting()) || !readAll(theirGreeting, sizeof(theirGreeting)))
        return false;

    const KeyPair permanent;
    const KeyPair transient;
    // HELLO: version, anti-amplification padding, C', short nonce, Box [64 zeros](C'->S).
    const std::string helloNonce = shortNonce(1);
    const std::string helloBox = box(std::string(64, '\0'),
        nonce("CurveZMQHELLO---", helloNonce), server, transient.secretKey);
    if (helloBox.empty() || !writeAll(command(std::string("\x05HELLO\x01\x00", 8)
        + std::string(72, '\0') + transient.publicKey + helloNonce + helloBox)))
    {
        return false;
    }

    // WELCOME: long nonce, Box [S' + cookie](S->C').
    std::string welcome;
    if (!readCommand(&welcome) || welcome.size() != 8 + 16 + crypto_box_MACBYTES + kKeySize
        + kCookieSize || welcome.compare(0, 8, "\x07WELCOME") != 0)
    {
        return false;
    }
    std::string opened(kKeySize + kCookieSize, '\0');
    const std::string welcomeNonce = nonce("WELCOME-", welcome.substr(8, 16));
    if (crypto_box_open_easy(reinterpret_cast<unsigned char*>(opened.data()),
        bytesOf(welcome) + 24, welcome.size() - 24, bytesOf(welcomeNonce), bytesOf(server),
        bytesOf(transient.secretKey)) != 0)
    {
        return false;
    }
    const std::string serverTransient = opened.substr(0, kKeySize);
    const std::string cookie = opened.substr(kKeySize);

    // INITIATE: cookie, short nonce, Box [C + vouch nonce + vouch + metadata](C'->S'), the
    // vouch being Box [C' + S](C->S').
    std::string vouchNonce(16, '\0');
    randombytes_buf(vouchNonce.data(), vouchNonce.size());
    const std::string vouch = box(transient.publicKey + server, nonce("VOUCH---", vouchNonce),
        serverTransient, permanent.secretKey);
    const std::string metadata = std::string("\x0bSocket-Type", 12)
        + std::string("\0\0\0\x03PUB", 7);
    const std::string initiateNonce = shortNonce(2);
    const std::string initiateBox = box(permanent.publicKey + vouchNonce + vouch + metadata,
        nonce("CurveZMQINITIATE", initiateNonce), serverTransient, transient.secretKey);
    return !vouch.empty() && !initiateBox.empty()
        && writeAll(command(std::string("\x08INITIATE", 9) + cookie + initiateNonce
            + initiateBox));
}

RawCurvePeer::Ending RawCurvePeer::readUntilClosed(milliseconds timeout)
{
    Ending ending;
    const auto deadline = steady_clock::now() + timeout;
    char buffer[4096];
    while (m_fd >= 0)
    {
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd item{m_fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&item, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t got = read(m_fd, buffer, sizeof(buffer));
        if (got <= 0)
        {
            ending.closed = got == 0 || errno == ECONNRESET;
            break;
        }
        ending.bytes.append(buffer, static_cast<size_t>(got));
    }
    return ending;
}

bool RawCurvePeer::writeAll(const std::string& bytes)
{
    size_t done = 0;
    while (m_fd >= 0 && done < bytes.size())
    {
        const ssize_t written = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (written <= 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return m_fd >= 0;
}

bool RawCurvePeer::readAll(unsigned char* data, size_t size)
{
    size_t done = 0;
    while (m_fd >= 0 && done < size)
    {
        const ssize_t got = read(m_fd, data + done, size - done);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return m_fd >= 0;
}

bool RawCurvePeer::readCommand(std::string* body)
{
    unsigned char head[2];
    if (!readAll(head, sizeof(head)) || (head[0] & kCommandFlag) == 0)
        return false;
    uint64_t size = head[1];
    if (head[0] & kLongFlag)
    {
        unsigned char rest[7];
        if (!readAll(rest, sizeof(rest)))
            return false;
        for (const unsigned char byte: rest)
            size = (size << 8) | byte;
    }
    if (size > 4096)
        return false;
    body->assign(static_cast<size_t>(size), '\0');
    return readAll(reinterpret_cast<unsigned char*>(body->data()), body->size());
}

} // namespace skyloom::hardening
