// skyloom-publish: plays the AI engine for the plugin. One thread: it checks the messages,
// connects a ZeroMQ XPUB socket to the service port (or to several servers' ports), waits until
// the plugin has subscribed (an XPUB socket hears each subscription, so a refused or missing
// plugin shows), sends at the asked rate (or at a capture's recorded pace) without blocking,
// counts what could not be sent and reports. With --check it sends nothing and runs each message
// through the plugin's own handling instead. Usage: --help.

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <zmq.hpp>

#include <nlohmann/json.hpp>

#include "curve_keys.h"
#include "envelope.h"
#include "interruption.h"
#include "message_source.h"
#include "offline_check.h"
#include "options.h"
#include "packet_view.h"
#include "sample_messages.h"
#include "settings/settings_table.h"

namespace {

using namespace skyloom::publish;
namespace setting = nx::vms_server_plugins::analytics::sample::setting;
using skyloom::tools::interrupted;
using skyloom::tools::reportStream;
using skyloom::tools::stopOnSignals;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = "skyloom-publish";
constexpr int kExitRejected = 1;
constexpr int kExitBadArguments = 2;
constexpr int kLingerMs = 2000;
constexpr auto kProgressInterval = std::chrono::seconds(5);

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

/** Notices whether the socket ever reached the service port, and refused handshakes. */
class ConnectionWatch: public zmq::monitor_t
{
public:
    static constexpr int kEvents = ZMQ_EVENT_CONNECTED | ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL
        | ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL | ZMQ_EVENT_HANDSHAKE_FAILED_AUTH;

    bool everConnected() const { return m_everConnected; }
    bool handshakeFailed() const { return m_handshakeFailed; }

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
        m_everConnected = true;
    }

    void on_event_handshake_failed_no_detail(const zmq_event_t&, const char*) override
    {
        m_handshakeFailed = true;
    }

    void on_event_handshake_failed_protocol(const zmq_event_t&, const char*) override
    {
        m_handshakeFailed = true;
    }

    void on_event_handshake_failed_auth(const zmq_event_t&, const char*) override
    {
        m_handshakeFailed = true;
    }

private:
    bool m_everConnected = false;
    bool m_handshakeFailed = false;
};

/**
 * The subscriptions that the XPUB socket has heard: byte 1 and the topic for a subscription, 0
 * and the topic when the last subscriber of a topic has gone (a disconnect included). The
 * plugin subscribes to everything (""), or to each of its cameras' envelope prefixes. A message
 * that matches no subscription reaches nobody, so it is not sent but counted.
 */
class Subscriptions
{
public:
    explicit Subscriptions(zmq::socket_t* socket): m_socket(socket) {}

    /** Reads the subscription messages that are waiting; returns at once. */
    void poll()
    {
        zmq::message_t message;
        while (m_socket->recv(message, zmq::recv_flags::dontwait))
        {
            if (message.size() == 0)
                continue;
            const std::string topic(message.data<char>() + 1, message.size() - 1);
            if (message.data<unsigned char>()[0] == 1)
                m_topics.insert(topic);
            else if (message.data<unsigned char>()[0] == 0)
                m_topics.erase(topic);
        }
    }

    [[nodiscard]] bool any() const { return !m_topics.empty(); }

    /** Whether a subscriber takes the message: a topic begins it. */
    [[nodiscard]] bool matches(const std::string& text) const
    {
        for (const std::string& topic: m_topics)
        {
            if (text.compare(0, topic.size(), topic) == 0)
                return true;
        }
        return false;
    }

private:
    zmq::socket_t* const m_socket;
    std::set<std::string> m_topics;
};

/**
 * Sleeps until `deadline` (or, given `done`, until it says so) in short steps, calling `tick` at
 * each; false when interrupted.
 */
bool waitUntil(Clock::time_point deadline, ConnectionWatch* watch,
    const std::function<void()>& tick = {}, const std::function<bool()>& done = {})
{
    while (!interrupted())
    {
        watch->poll();
        if (tick)
            tick();
        const auto now = Clock::now();
        if (now >= deadline || (done && done()))
            return true;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(20)));
    }
    return false;
}

/**
 * Puts the engine's frame time into each message as it is sent (--stamp-delay): the wall clock,
 * which the server's video frames also carry, minus a delay drawn anew for every message.
 */
class EngineTimeStamper
{
public:
    explicit EngineTimeStamper(std::optional<PublishOptions::StampDelay> delay):
        m_delay(delay), m_random(std::random_device{}())
    {
    }

    /** The text to send; unchanged without --stamp-delay or if it is not a JSON object. */
    std::string stamped(const std::string& text)
    {
        if (!m_delay)
            return text;
        std::uniform_int_distribution<int64_t> jitter(-m_delay->jitterMs, m_delay->jitterMs);
        const int64_t delayUs = (m_delay->ms + jitter(m_random)) * 1000;
        const int64_t nowUs = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch()).count();
        return withEngineTime(text, nowUs - delayUs).value_or(text);
    }

private:
    const std::optional<PublishOptions::StampDelay> m_delay;
    std::mt19937_64 m_random;
};

/** When each send is due, counted from the first one. */
class Schedule
{
public:
    Schedule(const PublishOptions& options, const std::vector<Outgoing>& ready):
        m_options(options), m_ready(ready)
    {
        m_interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(1.0 / options.ratePerSecond));
        if (options.pace == PublishOptions::Pace::recorded)
        {
            m_firstUs = *ready.front().receivedUs;
            // A loop starts again one --rate interval after the capture's last message.
            m_passSpan = offsetOf(ready.size() - 1) + m_interval;
        }
    }

    Clock::duration dueAfterStart(int64_t sendIndex) const
    {
        if (m_options.pace == PublishOptions::Pace::rate)
            return m_interval * sendIndex;
        const size_t size = m_ready.size();
        const int64_t pass = sendIndex / static_cast<int64_t>(size);
        return m_passSpan * pass + offsetOf(static_cast<size_t>(sendIndex) % size);
    }

private:
    Clock::duration offsetOf(size_t index) const
    {
        const double recordedUs = static_cast<double>(*m_ready[index].receivedUs - m_firstUs);
        // A capture's clock may step back (time set by NTP): never wait a negative time.
        return std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::micro>(std::max(0.0, recordedUs)
                / m_options.speed));
    }

private:
    const PublishOptions& m_options;
    const std::vector<Outgoing>& m_ready;
    Clock::duration m_interval{};
    Clock::duration m_passSpan{};
    int64_t m_firstUs = 0;
};

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
    int64_t notSent = 0; //< Nobody subscribed, or the plugin's queue was full.
    /** Set when the plugin did not subscribe within --wait-timeout: why, as far as known. */
    std::string notAdmitted;
};

std::string secondsText(double seconds)
{
    std::ostringstream text;
    text << seconds;
    return text.str();
}

/** Why no subscription came, from what the connection monitor saw. */
std::string notAdmittedText(const PublishOptions& options, const ConnectionWatch& watch)
{
    std::string text = "not admitted or nothing listening at " + options.endpointsText()
        + ": the plugin did not subscribe within " + secondsText(options.waitTimeoutS) + " s (";
    if (watch.handshakeFailed())
    {
        text += std::string("the handshake was refused: see the server's event \"AI engine "
            "refused\"; check ") + setting::kAllowedEngineAddresses.name + " and the keys";
    }
    else if (watch.everConnected())
    {
        text += "a connection was made, but no subscription came: refused by the plugin's "
            "allow-list or keys, or not the plugin's service port?";
    }
    else
    {
        text += std::string("no connection: is the plugin loaded, its ")
            + setting::kServicePort.name + " " + std::to_string(options.port)
            + ", the port open?";
    }
    return text + "); nothing was sent";
}

SendResult publish(const PublishOptions& options, const std::vector<Outgoing>& ready)
{
    zmq::context_t context;
    zmq::socket_t socket(context, zmq::socket_type::xpub);
    socket.set(zmq::sockopt::linger, kLingerMs);
    // A full queue makes a send fail (EAGAIN, counted) instead of dropping the message unseen.
    socket.set(zmq::sockopt::xpub_nodrop, 1);
    if (!options.serverKeyFile.empty())
    {
        const std::string error =
            applyCurveKeys(socket, options.serverKeyFile, options.keyFile);
        if (!error.empty())
            throw std::runtime_error(error);
    }
    ConnectionWatch watch;
    watch.init(socket, "inproc://skyloom-publish-monitor", ConnectionWatch::kEvents);
    for (const std::string& endpoint: options.endpoints())
        socket.connect(endpoint);
    Subscriptions subscriptions(&socket);

    SendResult result;
    if (options.wait)
    {
        // Also covers the plugin's start: it listens some seconds after its engine is made.
        waitUntil(Clock::now() + std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(options.waitTimeoutS)),
            &watch, {}, [&]() { subscriptions.poll(); return subscriptions.any(); });
        if (!subscriptions.any())
        {
            if (!interrupted())
                result.notAdmitted = notAdmittedText(options, watch);
            return result;
        }
    }
    else
    {
        waitUntil(Clock::now() + std::chrono::milliseconds(options.settleMs), &watch);
        subscriptions.poll();
        if (!subscriptions.any() && !interrupted())
        {
            printError("warning: the plugin at " + options.endpointsText() + " has not subscribed "
                "(yet): messages are not sent until it has");
        }
    }

    EngineTimeStamper stamper(options.stampDelay);
    const int64_t planned = plannedSends(options, ready.size());
    const Schedule schedule(options, ready);
    const auto start = Clock::now();
    // Under -q a line every few seconds, also while a replay waits through a long pause.
    auto nextProgress = start + kProgressInterval;
    const auto progress = [&]()
    {
        if (!options.quiet || Clock::now() < nextProgress)
            return;
        nextProgress = Clock::now() + kProgressInterval;
        std::cout << kProgram << ": " << wallClockText() << " sent " << result.sent
            << (planned == INT64_MAX ? std::string() : " of " + std::to_string(planned))
            << " messages (" << result.notSent << " not sent)" << std::endl;
    };
    for (int64_t i = 0; i < planned; ++i)
    {
        if (!waitUntil(start + schedule.dueAfterStart(i), &watch, progress))
            break;
        const Outgoing& message = ready[static_cast<size_t>(i) % ready.size()];
        const std::string text = stamper.stamped(message.text);
        subscriptions.poll();
        const char* notSentReason = nullptr;
        if (!subscriptions.any())
            notSentReason = "the plugin is not subscribed";
        else if (!subscriptions.matches(text))
            notSentReason = "no plugin subscribed to its camera";
        else if (!socket.send(zmq::buffer(text), zmq::send_flags::dontwait))
            notSentReason = "the plugin's queue is full";
        if (notSentReason)
            ++result.notSent;
        else
            ++result.sent;
        if (!options.quiet && notSentReason)
        {
            std::cout << wallClockText() << " not sent: message to " << message.destination()
                << " (" << message.origin << "): " << notSentReason << std::endl;
        }
        else if (!options.quiet)
        {
            std::cout << wallClockText() << " sent #" << result.sent << " to "
                << message.destination() << " (" << message.origin << ")" << std::endl;
        }
    }
    socket.close(); //< lingers until the queue is flushed or kLingerMs passed
    return result;
}

int listSamples()
{
    for (size_t i = 0; i < kSampleMessageCount; ++i)
        std::cout << kSampleMessages[i].name << std::endl;
    return 0;
}

/** Empty when the host name resolves; otherwise why not (the resolver's text). */
std::string hostProblem(const std::string& host)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found)
        freeaddrinfo(found);
    if (status == 0)
        return {};
    return "cannot resolve the host name '" + host + "': " + gai_strerror(status);
}

/** What --check prints for one message: a line of verdict, then its packets or reasons. */
void printChecked(const std::string& origin, const CheckedMessage& checked, bool asJson)
{
    if (asJson)
    {
        nlohmann::json reasons = nlohmann::json::array();
        for (const std::string& reason: checked.dropReasons)
            reasons.push_back(reason.empty() ? nlohmann::json() : nlohmann::json(reason));
        nlohmann::json packets = nlohmann::json::array();
        for (const auto& packet: checked.packets)
        {
            packets.push_back(nlohmann::json::parse(skyloom::host::packetJsonLine(
                skyloom::host::PacketEvent{checked.cameraIndex, checked.cameraId, packet})));
        }
        const nlohmann::json line{
            {"origin", origin},
            {"cameraId", checked.cameraId},
            {"verdict", checked.dropped() ? "dropped" : "ok"},
            {"drops", checked.drops},
            {"dropReasons", reasons},
            {"notes", checked.notes},
            {"packets", packets},
        };
        std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
            << std::endl;
        return;
    }
    std::cout << origin << ": " << (checked.dropped() ? "DROPPED" : "ok") << ", "
        << checked.packets.size() << " packet" << (checked.packets.size() == 1 ? "" : "s")
        << (checked.cameraId.empty() ? "" : " for " + checked.cameraId) << std::endl;
    for (const std::string& drop: checked.drops)
        std::cout << "  dropped: " << drop << std::endl;
    for (const std::string& note: checked.notes)
        std::cout << "  note: " << note << std::endl;
    for (const auto& packet: checked.packets)
    {
        std::cout << "  " << skyloom::host::packetLine(
            skyloom::host::PacketEvent{checked.cameraIndex, checked.cameraId, packet}) << std::endl;
    }
}

std::string settingsText(const CheckSettings& settings)
{
    std::string text;
    for (const auto& [key, value]: settings)
        text += (text.empty() ? "" : " ") + key + "=" + value;
    return text;
}

/** Checks each message in order, as each camera it goes to would handle it. */
int runCheck(const PublishOptions& options, const std::vector<Message>& messages)
{
    CheckSettings settings = defaultAgentSettings();
    for (const auto& [key, value]: options.settings)
    {
        if (settings.count(key) == 0)
            printError("warning: --set " + key + ": not in the plugin's settings model");
        settings[key] = value;
    }
    OfflineChecker checker(settings);
    if (!checker.settingsProblem().empty())
    {
        printError(checker.settingsProblem());
        return kExitBadArguments;
    }
    if (!options.quiet && !options.json)
        std::cout << kProgram << ": settings: " << settingsText(settings) << std::endl;

    int64_t checked = 0;
    int64_t dropped = 0;
    for (const Message& message: messages)
    {
        if (interrupted())
            break; //< Ctrl-C, or nobody reads the verdicts any more.
        // Rewritten as for sending; the agent itself judges everything after delivery.
        const PreparedMessages prepared = prepareMessages({message}, options);
        for (const Rejection& warning: prepared.warnings)
            printError(warning.origin + ": warning: " + warning.problem);
        for (const Rejection& rejection: prepared.rejected)
        {
            CheckedMessage result; //< It would never reach the agent.
            result.addDrop(rejection.problem);
            printChecked(rejection.origin, result, options.json);
            ++checked;
            ++dropped;
        }
        for (const Outgoing& outgoing: prepared.ready)
        {
            CheckedMessage result;
            if (const auto cameraId = deliveredCameraId(outgoing.text))
            {
                result = checker.check(*cameraId, outgoing.text);
                // The agent says nothing about a message it has no use for.
                const EnvelopeCheck envelope = checkEnvelope(outgoing.text);
                if (result.packets.empty() && !result.dropped() && !envelope.deliverable())
                    result.addDrop("nothing converted: " + envelope.problem);
            }
            else
            {
                result.addDrop(
                    "never delivered to a camera: " + checkEnvelope(outgoing.text).problem);
            }
            printChecked(outgoing.origin, result, options.json);
            ++checked;
            dropped += result.dropped() ? 1 : 0;
        }
    }
    if (!options.json)
    {
        reportStream() << kProgram << ": checked " << checked << " message"
            << (checked == 1 ? "" : "s") << ", " << dropped
            << " would be dropped in whole or in part" << std::endl;
    }
    return dropped == 0 ? 0 : kExitRejected;
}

/** Empty when every message has a receive time; otherwise the first that has none. */
std::string recordedPaceProblem(const std::vector<Message>& messages)
{
    for (const Message& message: messages)
    {
        if (!message.receivedUs)
        {
            return message.origin + ": no receive time: --pace recorded and --speed replay "
                "captures of skyloom-capture";
        }
    }
    return {};
}

int run(const PublishOptions& options)
{
    const LoadedMessages loaded =
        loadMessages(sourceToRead(options, isatty(STDIN_FILENO) == 1));
    if (!loaded.error.empty())
    {
        printError(loaded.error);
        return kExitBadArguments;
    }
    if (options.pace == PublishOptions::Pace::recorded && !options.offlineCheck)
    {
        if (const std::string problem = recordedPaceProblem(loaded.messages); !problem.empty())
        {
            printError(problem);
            return kExitBadArguments;
        }
    }
    if (options.offlineCheck)
    {
        PublishOptions checkOptions = options;
        checkOptions.check = false; //< Every message is judged, undeliverable ones included.
        return runCheck(checkOptions, loaded.messages);
    }
    const PreparedMessages prepared = prepareMessages(loaded.messages, options);
    reportPrepared(prepared);
    if (prepared.ready.empty())
    {
        printError("nothing to send");
        return kExitRejected;
    }
    const int status = prepared.rejected.empty() ? 0 : kExitRejected;
    if (options.print)
    {
        for (size_t i = 0; i < prepared.ready.size() && !interrupted(); ++i)
            std::cout << prepared.ready[i].text << std::endl;
        return status;
    }
    for (const std::string& endpoint: options.endpoints())
    {
        // tcp://HOST:PORT; an IPv6 address in brackets.
        std::string host = endpoint.substr(6, endpoint.rfind(':') - 6);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        if (const std::string problem = hostProblem(host); !problem.empty())
        {
            printError(problem);
            return kExitBadArguments;
        }
    }

    SendResult result;
    try
    {
        result = publish(options, prepared.ready);
    }
    catch (const zmq::error_t& e)
    {
        printError("cannot publish to " + options.endpointsText() + ": " + e.what());
        return e.num() == EINVAL ? kExitBadArguments : kExitRejected;
    }
    catch (const std::runtime_error& e)
    {
        printError(e.what()); //< An unreadable certificate.
        return kExitBadArguments;
    }
    if (!result.notAdmitted.empty())
    {
        printError(result.notAdmitted);
        return kExitRejected;
    }
    reportStream() << kProgram << ": sent " << result.sent << " message"
        << (result.sent == 1 ? "" : "s") << " (" << result.notSent << " not sent) to "
        << options.endpointsText() << " (" << prepared.rejected.size() << " rejected)"
        << std::endl;
    if (result.sent == 0)
    {
        printError("nothing was sent to " + options.endpointsText());
        return kExitRejected;
    }
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    // First of all: even the usage text may meet a closed output.
    stopOnSignals();
    try
    {
        if (argc > 1 && std::string(argv[1]) == "--make-certificate")
            return makeCertificate(std::vector<std::string>(argv + 2, argv + argc));
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
        if (options.version)
        {
            std::cout << kProgram << " " << SKYLOOM_VERSION << std::endl;
            return 0;
        }
        if (options.listSamples)
            return listSamples();
        return run(options);
    }
    catch (const std::exception& e)
    {
        printError(std::string("unexpected error: ") + e.what());
        return kExitRejected;
    }
}
