// skyloom-capture: records the messages that reach a running plugin (its diagnostic copy)
// or, listening in the plugin's place, that an AI engine sends; each with its receive time, for
// replay by skyloom-publish --pace recorded. One thread: it polls a ZeroMQ SUB socket and
// writes one line per message, flushed at once. Usage: --help.

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <zmq.hpp>

#include "capture_options.h"
#include "capture_record.h"
#include "copy_discovery.h"
#include "interruption.h"

namespace {

using namespace skyloom::capture;
using skyloom::tools::interrupted;
using skyloom::tools::outputClosed;
using skyloom::tools::stopOnSignals;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "skyloom-capture";
constexpr int kExitNothing = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitRefused = 3;
constexpr auto kPollInterval = std::chrono::milliseconds(100);
constexpr auto kProgressInterval = std::chrono::seconds(5);

void printError(const std::string& text)
{
    std::cerr << kProgram << ": " << text << std::endl;
}

int64_t wallClockUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
}

/** The "src_uuid" as the text spells it, for the line per message. */
std::string sourceIdOf(const std::string& text)
{
    const std::string head = "{\"src_uuid\":\"";
    if (text.compare(0, head.size(), head) != 0)
        return "(no src_uuid first)";
    const size_t end = text.find('"', head.size());
    return end == std::string::npos
        ? "(unterminated)" : text.substr(head.size(), end - head.size());
}

struct Totals
{
    int64_t messages = 0;
    int64_t bytes = 0;
};

class Recorder
{
public:
    /** `shown`: the endpoint as the user knows it (the options' may lead through /proc). */
    Recorder(const CaptureOptions& options, std::string shown, std::ostream& out):
        m_options(options), m_shown(std::move(shown)), m_out(out)
    {
    }

    /** Receives until the count, the duration or a signal ends it; throws zmq::error_t. */
    Totals run()
    {
        zmq::context_t context;
        zmq::socket_t socket(context, zmq::socket_type::sub);
        socket.set(zmq::sockopt::linger, 0);
        if (m_options.cameras.empty())
            socket.set(zmq::sockopt::subscribe, "");
        for (const std::string& camera: m_options.cameras)
            socket.set(zmq::sockopt::subscribe, cameraPrefix(camera));
        if (m_options.bind)
            socket.bind(m_options.endpoint);
        else
            socket.connect(m_options.endpoint);
        std::cerr << kProgram << ": recording from " << m_shown << " to "
            << m_options.outputPath << std::endl;

        const auto start = Clock::now();
        auto nextProgress = start + kProgressInterval;
        Totals totals;
        while (!interrupted() && !finished(totals, start))
        {
            if (readable(socket))
                record(socket, &totals);
            if (m_options.quiet && Clock::now() >= nextProgress)
            {
                nextProgress = Clock::now() + kProgressInterval;
                std::cerr << kProgram << ": recorded " << totals.messages << " messages ("
                    << totals.bytes << " bytes) so far" << std::endl;
            }
        }
        return totals;
    }

private:
    /**
     * Whether a message waits, after at most kPollInterval. A signal interrupts the wait
     * (poll(2) is never restarted): that is the loop's cue to look at interrupted(), not a
     * failure.
     */
    static bool readable(zmq::socket_t& socket)
    {
        zmq::pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
        try
        {
            zmq::poll(&item, 1, kPollInterval);
        }
        catch (const zmq::error_t& e)
        {
            if (e.num() != EINTR)
                throw;
            return false;
        }
        return (item.revents & ZMQ_POLLIN) != 0;
    }

    bool finished(const Totals& totals, Clock::time_point start) const
    {
        if (m_options.count && totals.messages >= *m_options.count)
            return true;
        return m_options.durationS > 0
            && Clock::now() - start >= std::chrono::duration<double>(m_options.durationS);
    }

    void record(zmq::socket_t& socket, Totals* totals)
    {
        zmq::message_t message;
        if (!socket.recv(message, zmq::recv_flags::dontwait))
            return;
        const int64_t receivedUs = wallClockUs();
        // The engine sends single-part messages; further parts of another sender are skipped.
        while (message.more())
        {
            zmq::message_t part;
            if (!socket.recv(part, zmq::recv_flags::dontwait))
                break;
        }
        const std::string text = message.to_string();
        m_out << captureLine(receivedUs, text) << '\n';
        m_out.flush();
        // Standard output whose reader has gone ends the recording as Ctrl-C does; the record
        // that met the closed pipe was not delivered and is not counted.
        if (!m_out && m_options.outputPath == "-" && outputClosed())
            return;
        if (!m_out)
            throw std::runtime_error(std::string("cannot write: ") + std::strerror(errno));
        ++totals->messages;
        totals->bytes += static_cast<int64_t>(text.size());
        if (!m_options.quiet && m_options.outputPath != "-")
        {
            std::cout << "received #" << totals->messages << " for " << sourceIdOf(text) << " ("
                << text.size() << " bytes)" << std::endl;
        }
    }

private:
    const CaptureOptions& m_options;
    const std::string m_shown;
    std::ostream& m_out;
};

/** Empty when the host of a tcp://HOST:PORT endpoint to connect to resolves; else why not. */
std::string endpointHostProblem(const CaptureOptions& options)
{
    const std::string scheme = "tcp://";
    if (options.bind || options.endpoint.rfind(scheme, 0) != 0)
        return {};
    const size_t colon = options.endpoint.rfind(':');
    std::string host = options.endpoint.substr(scheme.size(), colon - scheme.size());
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found)
        freeaddrinfo(found);
    return status == 0 ? std::string()
        : "cannot resolve the host name '" + host + "': " + gai_strerror(status);
}

/**
 * Finds the private copy, or checks the one that --connect names, as the plugin checks it;
 * empty, with the endpoint to connect to in *options, or the error (copy->refused: not to be
 * trusted).
 */
std::string checkPrivateCopy(CaptureOptions* options, DiscoveredCopy* copy, std::string* shown)
{
    if (options->bind)
        return {};
    if (options->endpoint.empty())
    {
        *copy = findDiagnosticCopy(options->serverDirectory);
    }
    else if (const auto named = privateCopyOf(options->endpoint))
    {
        *copy = findDiagnosticCopy(named->first, named->second);
    }
    else
    {
        return {};
    }
    if (!copy->error.empty())
        return copy->error;
    options->endpoint = copy->endpoint;
    *shown = copy->shown;
    return {};
}

int run(CaptureOptions options)
{
    if (const std::string problem = endpointHostProblem(options); !problem.empty())
    {
        printError(problem);
        return kExitBadArguments;
    }
    std::ofstream file;
    if (options.outputPath != "-")
    {
        errno = 0;
        file.open(options.outputPath, std::ios::binary | std::ios::trunc);
        if (!file)
        {
            printError("cannot write " + options.outputPath + ": "
                + (errno != 0 ? std::strerror(errno) : "cannot open it"));
            return kExitBadArguments;
        }
    }
    // Held while recording: the copy's endpoint leads through its directory's descriptor.
    DiscoveredCopy copy;
    std::string shown = options.endpoint;
    if (const std::string problem = checkPrivateCopy(&options, &copy, &shown); !problem.empty())
    {
        printError(problem);
        return copy.refused ? kExitRefused : kExitNothing;
    }
    Recorder recorder(options, shown, options.outputPath == "-" ? std::cout : file);
    Totals totals;
    try
    {
        totals = recorder.run();
    }
    catch (const zmq::error_t& e)
    {
        printError((options.bind ? "cannot listen on " : "cannot subscribe to ")
            + shown + ": " + e.what());
        return e.num() == EINVAL ? kExitBadArguments : kExitNothing;
    }
    catch (const std::exception& e)
    {
        printError(options.outputPath + ": " + e.what());
        return kExitNothing;
    }
    std::cerr << kProgram << ": recorded " << totals.messages << " message"
        << (totals.messages == 1 ? "" : "s") << " (" << totals.bytes << " bytes) to "
        << options.outputPath << std::endl;
    if (totals.messages == 0)
    {
        printError(options.bind ? "nothing was received: did the engine connect to this port?"
            : "nothing was received: is the plugin running with its loopback relay, and do "
              "messages reach it?");
        return kExitNothing;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    // First of all: even the usage text may meet a closed output.
    stopOnSignals();
    try
    {
        const ParsedCaptureArgs parsed =
            parseCaptureArgs(std::vector<std::string>(argv + 1, argv + argc));
        if (!parsed.options)
        {
            printError(parsed.error);
            return kExitBadArguments;
        }
        if (parsed.options->help)
        {
            std::cout << captureUsage();
            return 0;
        }
        if (parsed.options->version)
        {
            std::cout << kProgram << " " << SKYLOOM_VERSION << std::endl;
            return 0;
        }
        return run(*parsed.options);
    }
    catch (const std::exception& e)
    {
        printError(std::string("unexpected error: ") + e.what());
        return kExitNothing;
    }
}
