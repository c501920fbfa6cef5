// skyloom-publish: plays the AI engine for the plugin. One thread: it checks the messages,
// connects a ZeroMQ PUB socket to the service port, waits for the subscription to settle, sends
// at the asked rate and reports. Usage: --help.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include "curve_keys.h"
#include "message_source.h"
#include "options.h"
#include "sample_messages.h"

namespace {

using namespace skyloom::publish;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "skyloom-publish";
constexpr int kExitRejected = 1;
constexpr int kExitBadArguments = 2;
constexpr int kLingerMs = 2000;

volatile std::sig_atomic_t g_interrupted = 0;

void onSignal(int)
{
    g_interrupted = 1;
}

void printError(const std::string& text)
{
    std::cerr << kProgram << ": " << text << std::endl;
}

std::string wallClockText()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d",
        local.tm_hour, local.tm_min, local.tm_sec, static_cast<int>(ms));
    return text;
}

/** Notices whether the PUB socket has a live connection to the service port. */
class ConnectionWatch: public zmq::monitor_t
{
public:
    bool connected() const { return m_connected; }
    bool everConnected() const { return m_everConnected; }

    /** Handles the events that are waiting; returns at once. */
    void poll()
    {
        while (check_event(0))
        {
        }
    }

private:
    void on_event_connected(const zmq_event_t&, const char*) override
    {
        m_connected = true;
        m_everConnected = true;
    }

    void on_event_disconnected(const zmq_event_t&, const char*) override
    {
        m_connected = false;
    }

private:
    bool m_connected = false;
    bool m_everConnected = false;
};

/** Sleeps until `deadline` in short steps; false when interrupted. */
bool waitUntil(Clock::time_point deadline, ConnectionWatch* watch)
{
    while (!g_interrupted)
    {
        watch->poll();
        const auto now = Clock::now();
        if (now >= deadline)
            return true;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(20)));
    }
    return false;
}

int64_t plannedSends(const PublishOptions& options, size_t readyCount)
{
    if (options.count)
        return options.loop ? *options.count
                            : std::min<int64_t>(*options.count, static_cast<int64_t>(readyCount));
    return options.loop ? INT64_MAX : static_cast<int64_t>(readyCount);
}

void reportPrepared(const PreparedMessages& prepared)
{
    for (const Rejection& warning: prepared.warnings)
        printError(warning.origin + ": warning: " + warning.problem);
    for (const Rejection& rejection: prepared.rejected)
        printError(rejection.origin + ": not sent: " + rejection.problem);
}

struct SendResult
{
    int64_t sent = 0;
    bool everConnected = false;
};

SendResult publish(const PublishOptions& options, const std::vector<Outgoing>& ready)
{
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::pub);
    socket.set(zmq::sockopt::linger, kLingerMs);
    if (!options.serverKeyFile.empty())
    {
        if (const std::string error = applyCurveKeys(socket, options.serverKeyFile, options.keyFile);
            !error.empty())
        {
            throw std::runtime_error(error);
        }
    }
    ConnectionWatch watch;
    watch.init(socket, "inproc://skyloom-publish-monitor",
        ZMQ_EVENT_CONNECTED | ZMQ_EVENT_DISCONNECTED);
    socket.connect(options.endpoint());

    // A PUB socket drops what it sends before the subscriber's subscription has arrived.
    waitUntil(Clock::now() + std::chrono::milliseconds(options.settleMs), &watch);
    if (!watch.connected() && !g_interrupted)
    {
        printError("warning: nothing listens at " + options.endpoint() + " yet (is the plugin "
            "loaded, its ServicePort " + std::to_string(options.port) + ", the port open?); "
            "messages sent before a connection are lost");
    }

    SendResult result;
    const int64_t planned = plannedSends(options, ready.size());
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.ratePerSecond));
    const auto start = Clock::now();
    for (int64_t i = 0; i < planned; ++i)
    {
        if (!waitUntil(start + interval * i, &watch))
            break;
        const Outgoing& message = ready[static_cast<size_t>(i) % ready.size()];
        socket.send(zmq::buffer(message.text), zmq::send_flags::none);
        ++result.sent;
        if (!options.quiet)
        {
            std::cout << wallClockText() << " sent #" << result.sent << " to " << message.sourceId
                << " (" << message.origin << ")" << std::endl;
        }
    }
    watch.poll();
    result.everConnected = watch.everConnected();
    socket.close(); //< lingers until the queue is flushed or kLingerMs passed
    return result;
}

int listSamples()
{
    for (size_t i = 0; i < kSampleMessageCount; ++i)
        std::cout << kSampleMessages[i].name << std::endl;
    return 0;
}

int run(const PublishOptions& options)
{
    const LoadedMessages loaded = loadMessages(options.sourcePath);
    if (!loaded.error.empty())
    {
        printError(loaded.error);
        return kExitBadArguments;
    }
    const PreparedMessages prepared = prepareMessages(loaded.messages, options);
    reportPrepared(prepared);
    if (prepared.ready.empty())
    {
        printError("nothing to send");
        return kExitRejected;
    }
    const int status = prepared.rejected.empty() ? 0 : kExitRejected;
    if (options.dryRun)
    {
        for (const Outgoing& message: prepared.ready)
            std::cout << message.text << std::endl;
        return status;
    }

    SendResult result;
    try
    {
        result = publish(options, prepared.ready);
    }
    catch (const zmq::error_t& e)
    {
        printError("cannot publish to " + options.endpoint() + ": " + e.what());
        return e.num() == EINVAL ? kExitBadArguments : kExitRejected;
    }
    catch (const std::runtime_error& e)
    {
        printError(e.what()); //< An unreadable certificate.
        return kExitBadArguments;
    }
    std::cout << kProgram << ": sent " << result.sent << " message"
        << (result.sent == 1 ? "" : "s") << " to " << options.endpoint() << " ("
        << prepared.rejected.size() << " rejected)" << std::endl;
    if (!result.everConnected)
    {
        printError("no subscriber ever connected to " + options.endpoint()
            + ": every message was dropped");
        return kExitRejected;
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    try
    {
        if (argc == 4 && std::string(argv[1]) == "--make-certificate")
            return makeCertificate(argv[2], argv[3]);
        const ParsedArgs parsed = parsePublishArgs(std::vector<std::string>(argv + 1, argv + argc));
        if (!parsed.options)
        {
            printError(parsed.error);
            return kExitBadArguments;
        }
        const PublishOptions& options = *parsed.options;
        if (options.help)
        {
            std::cout << publishUsage();
            return 0;
        }
        if (options.listSamples)
            return listSamples();
        std::signal(SIGINT, onSignal);
        std::signal(SIGTERM, onSignal);
        return run(options);
    }
    catch (const std::exception& e)
    {
        printError(std::string("unexpected error: ") + e.what());
        return kExitRejected;
    }
}
