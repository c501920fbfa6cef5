// The relay's look at whether a port still listens (when the service port moves from the server
// into a new receiver): a listening socket of either family is seen, its connections are not.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include <gtest/gtest.h>

#include "ingress/port_release.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

/** A socket bound to a port the kernel chose on the loopback address of the family. */
struct Bound
{
    explicit Bound(int family): fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_storage address{};
        socklen_t size = 0;
        if (family == AF_INET6)
        {
            auto* const v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            size = sizeof(*v6);
        }
        else
        {
            auto* const v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            size = sizeof(*v4);
        }
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0
            || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        {
            return;
        }
        port = ntohs(family == AF_INET6
            ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
            : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    }
    ~Bound() { closeNow(); }

    void closeNow()
    {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    int fd = -1;
    int port = 0;
};

TEST(PortRelease, ListeningSocketsOfEitherFamilyAreSeenUntilClosed)
{
    for (const int family: {AF_INET, AF_INET6})
    {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        Bound socket(family);
        ASSERT_GT(socket.port, 0);
        EXPECT_FALSE(tcpPortListening(socket.port)) << "bound, not listening";
        ASSERT_EQ(0, listen(socket.fd, 1));
        EXPECT_TRUE(tcpPortListening(socket.port));
        EXPECT_FALSE(waitUntilPortClosed(socket.port, 50ms));
        socket.closeNow();
        EXPECT_TRUE(waitUntilPortClosed(socket.port, 5s));
    }
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
