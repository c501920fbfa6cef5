#include "port_release.h"

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr const char* kListenState = "0A";
constexpr std::chrono::milliseconds kLookAgain{10};

/** Whether a line of the table ("sl local_address rem_address st ...") listens on the port. */
bool listensOn(const std::string& line, int port)
{
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    if (!(fields >> slot >> local >> remote >> state) || state != kListenState)
        return false;
    const size_t colon = local.rfind(':');
    if (colon == std::string::npos)
        return false;
    try
    {
        return std::stoi(local.substr(colon + 1), nullptr, 16) == port;
    }
    catch (const std::exception&)
    {
        return false;
    }
}

bool tableListens(const char* path, int port)
{
    std::ifstream table(path);
    std::string line;
    std::getline(table, line); //< The header.
    while (std::getline(table, line))
    {
        if (listensOn(line, port))
            return true;
    }
    return false;
}

} // namespace

bool tcpPortListening(int port)
{
    return tableListens("/proc/net/tcp", port) || tableListens("/proc/net/tcp6", port);
}

bool waitUntilPortClosed(int port, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (tcpPortListening(port))
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(kLookAgain);
    }
    return true;
}

} // namespace nx::vms_server_plugins::analytics::sample
