// skyloom-receiver: the AI engines' side of the plugin, in a process of its own, so that nothing
// a network peer sends is parsed inside the video-management server. The plugin's engine starts
// it with the channel as descriptor 3, its own process id and, when the server runs as root, the
// user to run as (--user=UID:GID); it ends with the engine (or its thread), and at once if the
// engine is gone already.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <optional>
#include <streambuf>
#include <string>

#include <zmq.h>

#include <nx/kit/debug.h>

#include "receiver_loop.h"
#include "sandbox.h"
#include "user_switch.h"

namespace {

using nx::vms_server_plugins::analytics::sample::ReceiverLoop;

constexpr int kChannelFd = 3;
constexpr char kParentOption[] = "--parent=";

/** Print statements' output, line by line, as log frames to the engine. */
class LogLines: public std::streambuf
{
public:
    explicit LogLines(ReceiverLoop& loop): m_loop(loop) {}

protected:
    int_type overflow(int_type c) override
    {
        if (c != traits_type::eof())
            m_line.push_back(static_cast<char>(c));
        return traits_type::not_eof(c);
    }

    std::streamsize xsputn(const char* text, std::streamsize count) override
    {
        m_line.append(text, static_cast<size_t>(count));
        return count;
    }

    int sync() override
    {
        size_t start = 0;
        for (size_t end; (end = m_line.find('\n', start)) != std::string::npos; start = end + 1)
            m_loop.log(m_line.substr(start, end - start));
        m_line.erase(0, start);
        return 0;
    }

private:
    ReceiverLoop& m_loop;
    std::string m_line;
};

/** What follows the option's name ("--parent="); null if it is not given. */
template<size_t N>
const char* optionValue(int argc, char** argv, const char (&option)[N])
{
    for (int i = 1; i < argc; ++i)
    {
        if (std::strncmp(argv[i], option, N - 1) == 0)
            return argv[i] + N - 1;
    }
    return nullptr;
}

pid_t parentOf(int argc, char** argv)
{
    const char* const parent = optionValue(argc, argv, kParentOption);
    return parent ? static_cast<pid_t>(std::atol(parent)) : 0;
}

/** The working directory, and the user if the engine names one; what could not be left. */
std::optional<std::string> leaveServer(int argc, char** argv)
{
    using namespace nx::vms_server_plugins::analytics::sample;
    const char* const user = optionValue(argc, argv, kUserOption);
    const std::optional<UserIds> ids = user ? parseUserIds(user) : std::nullopt;
    const std::optional<std::string> left = leaveServerPlace(ids);
    if (!user || ids)
        return left;
    const std::string malformed = std::string(kUserOption) + user + ": not UID:GID";
    return left ? *left + "; " + malformed : malformed;
}

/** The sandbox, told together with what leaveServer() could not do. */
std::optional<std::string> enterSandboxAfter(const std::optional<std::string>& left)
{
    const std::optional<std::string> sandbox =
        nx::vms_server_plugins::analytics::sample::enterSandbox();
    if (left && sandbox)
        return *left + "; " + *sandbox;
    return left ? left : sandbox;
}

int run(const std::optional<std::string>& left)
{
    ReceiverLoop loop(kChannelFd);
    LogLines lines(loop);
    std::ostream output(&lines);
    nx::kit::debug::redirectOutput(&output);
    try
    {
        // libsodium picks its source of randomness now, while files may still be opened.
        char publicKey[41];
        char secretKey[41];
        (void) zmq_curve_keypair(publicKey, secretKey);
        const int status = loop.run([&left]() { return enterSandboxAfter(left); });
        // No destructors, no exit handlers: the work is done (the engine closed the channel),
        // and the filter allows only what serving needs.
        _exit(status);
    }
    catch (const std::exception& e)
    {
        loop.log(std::string("threadFuncZeromqLoop receiver failed: ") + e.what());
        (void) loop.flushNow();
        _exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // First, while this is the only thread; a change of user clears the parent-death signal.
    const std::optional<std::string> left = leaveServer(argc, argv);
    // Never outlive the engine's thread that started this process; if it is gone already, the
    // signal was missed: leave at once.
    const pid_t parent = parentOf(argc, argv);
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || parent <= 0 || getppid() != parent)
        return 2;
    if (fcntl(kChannelFd, F_SETFL, O_NONBLOCK) != 0)
        return 2;
    // Whatever else a spawn left open is not ours.
    closefrom(kChannelFd + 1);
    signal(SIGPIPE, SIG_IGN);
    // One heap for all threads: thread arenas reserve 64 MiB of address space each.
    mallopt(M_ARENA_MAX, 1);
    // Nothing of the server's within reach by a relative path (its working directory holds the
    // diagnostic copy and the log): the receiver opens no file, its keys come over the channel.
    if (chdir("/") != 0)
        return 2;

    return run(left);
}
