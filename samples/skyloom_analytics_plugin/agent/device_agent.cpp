// The device agent's frame: construction and the subscription prefix, the receive thread, the
// handling of one message (parse, dump, convert, push), the video hooks, settings and the
// manifest. The conversions live in MessageConverter.
#include "device_agent.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include <zmq.hpp>

#include <nx/kit/debug.h>
#include <nx/kit/utils.h>
#include <nx/sdk/helpers/settings_response.h>

#include "common/envelope_prefix.h"
#include "common/server_text.h"
#include "conversion/json_text.h"
#include "conversion/json_values.h"
#include "conversion/log_texts.h"
#include "conversion/type_ids.h"
#include "health/event_captions.h"
#include "ingress/cpu_share.h"
#include "settings/settings_table.h"

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::vms_server_plugins::analytics::sample {

using namespace nx::sdk;
using namespace nx::sdk::analytics;

namespace {

constexpr std::chrono::milliseconds kRetryDelay{1000};
constexpr std::chrono::milliseconds kPollErrorPause{50};
/** How soon a stop is seen while the agent has no wake-up descriptor. */
constexpr std::chrono::milliseconds kStopCheckInterval{50};

/** Messages queued for this agent (by the relay's publisher and here) beyond which ZeroMQ drops. */
constexpr int kReceiveHighWaterMark = 100;

/** Messages handled between two readings of the thread's time (a system call each). */
constexpr int kMessagesPerTimeReading = 16;

/**
 * How long an idle agent sleeps before it looks again whether the relay dropped messages of its
 * camera (a camera may get none at all while its queue is full or its AI engine unauthorised).
 */
constexpr std::chrono::milliseconds kIdleReportCheck = DropReport::kInterval;


/** The camera's id as the AI engine writes it in "src_uuid". */
std::string cameraIdOf(const IDeviceInfo* deviceInfo)
{
    std::string id = (deviceInfo && deviceInfo->id()) ? deviceInfo->id() : "";
    // The server reports ids in braces; the AI engine writes them without. Any other form is
    // taken as it is, whatever its length.
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        id = id.substr(1, id.size() - 2);
    return id;
}

/** Frame time plus a correction in milliseconds, saturated instead of overflowing. */
int64_t correctedTimestampUs(int64_t frameTimestampUs, int timeCorrectionMs)
{
    const int64_t correctionUs = static_cast<int64_t>(timeCorrectionMs) * 1000;
    int64_t result = 0;
    if (__builtin_add_overflow(frameTimestampUs, correctionUs, &result))
    {
        return correctionUs > 0
            ? std::numeric_limits<int64_t>::max()
            : std::numeric_limits<int64_t>::min();
    }
    return result;
}

} // namespace

//-------------------------------------------------------------------------------------------------
// Lifecycle.

DeviceAgent::DeviceAgent(
    const IDeviceInfo* deviceInfo, ReceiveThread receiveThread, NowSource now):
    DeviceAgent(deviceInfo, /*relayContext*/ nullptr, receiveThread, std::move(now))
{
}

DeviceAgent::DeviceAgent(const IDeviceInfo* deviceInfo, RelayContext relayContext,
    ReceiveThread receiveThread, NowSource now):
    ConsumingDeviceAgent(deviceInfo, /*enableOutput*/ true),
    m_now(nowOrClock(now)),
    m_zeromqFilter(envelopePrefix(cameraIdOf(deviceInfo))),
    m_log(logUtils, now),
    m_dropReport(relayContext ? relayContext->counters.camera(cameraIdOf(deviceInfo)) : nullptr,
        now),
    m_converter(cameraIdOf(deviceInfo), std::move(now)),
    m_relayContext(std::move(relayContext))
{
    NX_PRINT << "DeviceAgent" << " m_zeromqFilter: " << m_zeromqFilter;

    if (receiveThread == ReceiveThread::none)
        return;
    if (!m_relayContext)
    {
        NX_PRINT << "DeviceAgent" << " made without an engine's relay: receives nothing";
        return;
    }
    (void) wakeup(); //< Without a descriptor now, the thread makes it later.
    // Last: the thread reads every field above.
    try
    {
        m_thread = std::thread([this]() { threadFuncZeromqProcess(); });
    }
    catch (const std::exception& e)
    {
        // Out of threads: the camera exists but receives nothing; the server may ask again.
        NX_PRINT << "DeviceAgent" << " cannot start its receive thread: " << e.what();
    }
}

DeviceAgent::~DeviceAgent()
{
    m_terminated = true;
    if (Wakeup* const wakeup = m_wakeup.load())
        wakeup->notify();
    if (m_thread.joinable())
    {
        // Joining itself would throw; only reachable if a handler drops the agent's last
        // reference from inside a push made by the receive thread. The server must not do that
        // (see the header): the push then returns into a destroyed agent and a destroyed handler
        // lock. Detaching at least does not end the process at once with std::terminate.
        if (m_thread.get_id() == std::this_thread::get_id())
        {
            m_thread.detach();
            return; //< The wake-up stays: the thread still holds it.
        }
        m_thread.join();
    }
    delete m_wakeup.load();
}

Wakeup* DeviceAgent::wakeup() noexcept
{
    if (Wakeup* const existing = m_wakeup.load())
        return existing;
    try
    {
        auto* const made = new Wakeup();
        m_wakeup.store(made);
        return made;
    }
    catch (const std::exception& e)
    {
        // No descriptor left: the receive thread tries again after a pause.
        m_log.write(log_texts::kReceiveLoop, " cannot create its wake-up: ", e.what());
    }
    return nullptr;
}

void DeviceAgent::pauseUnlessStopped(std::chrono::milliseconds timeout) noexcept
{
    if (Wakeup* const wakeup = m_wakeup.load())
    {
        (void) wakeup->waitFor(timeout);
        return;
    }
    // Without a wake-up, short naps: a stop is seen within one.
    for (auto slept = std::chrono::milliseconds::zero(); slept < timeout && !m_terminated;
        slept += kStopCheckInterval)
    {
        std::this_thread::sleep_for(kStopCheckInterval);
    }
}

//-------------------------------------------------------------------------------------------------
// Receive thread.

void DeviceAgent::threadFuncZeromqProcess()
{
    // Nothing may leave the thread; even a failing log line is swallowed here.
    try
    {
        NX_PRINT << "threadFuncZeromqProcess" << " start!!";
        while (!m_terminated)
        {
            // After a failure, a pause that a stop cuts short.
            if (!receiveUntilStopped())
                pauseUnlessStopped(kRetryDelay);
        }
        NX_PRINT << "threadFuncZeromqProcess" << " terminated!!";
    }
    catch (...)
    {
    }
}

bool DeviceAgent::receiveUntilStopped()
{
    // Names the step in progress for the failure line.
    Wakeup* const wakeup = this->wakeup();
    if (!wakeup)
        return false;
    const char* step = " cannot create the socket: ";
    try
    {
        // The thread's own share, declared before the socket so that the socket is closed
        // first: terminating the context waits for its sockets, so the last share must never
        // be dropped while this socket is open (as it would be if a push released the agent
        // and its destructor, run on this thread, dropped the agent's share).
        const RelayContext context = m_relayContext;
        // The bytes the relay charged for messages a closed socket took with it are not owed.
        const std::shared_ptr<QueueBudget::Account> account =
            context->queueBudget.account(m_zeromqFilter);
        account->refund(account->bytes());
        zmq::socket_t socket(*context->context, zmq::socket_type::sub);
        // A stopping agent must not wait for undelivered data.
        socket.set(zmq::sockopt::linger, 0);
        // ZeroMQ bounds its queues by message count, not bytes: keep a slow camera's backlog of
        // large messages from growing the server process by gigabytes.
        socket.set(zmq::sockopt::rcvhwm, kReceiveHighWaterMark);
        // The relay binds after its start-up delay (later if it lacks descriptors), and never
        // if the engine is gone; until then nothing arrives.
        step = " cannot connect to the relay: ";
        if (!connectWhenBound(socket, context->endpoint, *wakeup))
            return true; //< Stopped.
        step = " cannot subscribe: ";
        socket.set(zmq::sockopt::subscribe, m_zeromqFilter);
        step = " receive failed: ";
        pollUntilStopped(socket, *account, *wakeup);
        return true;
    }
    // A failure that comes back at every retry is held to the camera log's rate.
    catch (const std::exception& e)
    {
        m_log.write(log_texts::kReceiveLoop, step, e.what());
    }
    catch (...)
    {
        m_log.write(log_texts::kReceiveLoop, step, "unknown error");
    }
    return false;
}

bool DeviceAgent::connectWhenBound(zmq::socket_t& socket, RelayEndpoint& endpoint,
    const Wakeup& wakeup)
{
    while (!m_terminated)
    {
        if (endpoint.connectIfBound(socket))
            return true;
        pollfd items[] = {{wakeup.fd(), POLLIN, 0}, {endpoint.fd(), POLLIN, 0}};
        if (poll(items, 2, static_cast<int>(kIdleReportCheck.count())) < 0 && errno != EINTR)
        {
            m_log.write(log_texts::kReceiveLoop, " poll Error: ", std::strerror(errno));
            pauseUnlessStopped(kPollErrorPause);
        }
    }
    return false;
}

void DeviceAgent::pollUntilStopped(
    zmq::socket_t& socket, QueueBudget::Account& account, Wakeup& wakeup)
{
    while (!m_terminated)
    {
        zmq_pollitem_t items[] = {
            {socket.handle(), 0, ZMQ_POLLIN, 0},
            {nullptr, wakeup.fd(), ZMQ_POLLIN, 0},
        };
        // An idle agent sleeps until a message, its stop, or the next look at its drops.
        const int ready = zmq_poll(items, 2, static_cast<long>(kIdleReportCheck.count()));
        if (ready == 0)
        {
            reportDropsIfDue();
            updateEngineDelay(m_now());
            continue;
        }
        if (ready < 0)
        {
            if (zmq_errno() == EINTR)
                continue;
            m_log.write(log_texts::kReceiveLoop, " poll Error: ", zmq_strerror(zmq_errno()));
            // A poll that keeps failing must not turn into a busy loop.
            pauseUnlessStopped(kPollErrorPause);
            continue;
        }
        if (items[1].revents & ZMQ_POLLIN)
            return; //< Only the destructor notifies, after setting m_terminated.
        if (items[0].revents & ZMQ_POLLIN)
            receiveWaitingMessages(socket, account);
    }
}

void DeviceAgent::receiveWaitingMessages(zmq::socket_t& socket, QueueBudget::Account& account)
{
    // This thread's time for the messages counts against a receiver's share of a core; read
    // every few messages, so that the relay sees a long run of them as it goes.
    std::atomic<int64_t>& spent = m_relayContext->ingressBudgets.agentsCpuNs;
    std::chrono::nanoseconds start = CpuShare::threadTime();
    const auto count = [&]()
        {
            const std::chrono::nanoseconds now = CpuShare::threadTime();
            spent.fetch_add((now - start).count(), std::memory_order_relaxed);
            start = now;
        };
    for (int received = 1; !m_terminated; ++received)
    {
        zmq::message_t message;
        // Not blocking: a stopping agent must never hang here. A real receive failure throws
        // and makes the caller re-create the socket.
        if (!socket.recv(message, zmq::recv_flags::dontwait))
            break;
        // Off the queue: the relay may charge the next messages against these bytes.
        account.refund(static_cast<int64_t>(message.size()));
        receiveMessage(std::string_view(static_cast<const char*>(message.data()), message.size()));
        if (received % kMessagesPerTimeReading == 0)
            count();
    }
    count();
}

void DeviceAgent::receiveMessage(std::string_view text)
{
    m_dropReport.counters().received();
    const bool videoSeen = m_lastFrameTimestampUs.load() != 0;
    m_dropReport.messageArrived(videoSeen);
    if (videoSeen)
        handleMessage(text);
    else
        m_dropReport.drop(DropReason::beforeVideo, 1, {}); //< Nothing to stamp packets with.
    reportDropsIfDue();
}

void DeviceAgent::reportDropsIfDue() noexcept
{
    try
    {
        if (std::optional<std::string> description =
            m_dropReport.due(m_lastFrameTimestampUs.load() != 0))
        {
            NX_PRINT << log_texts::kReceiveLoop << " " << kDropsCaption << ": " << *description;
            pushPluginDiagnosticEvent(IPluginDiagnosticEvent::Level::warning, kDropsCaption,
                std::move(*description));
        }
    }
    catch (...)
    {
        // Out of memory for a report: the counts stay, and the next report tells them.
    }
}

MessageDrops DeviceAgent::handleMessage(std::string_view text) noexcept
{
    // One clock read for the message: the converter was given the same source.
    const Clock::time_point now = m_now();
    m_converter.noteMessage(now);
    MessageDrops lost;
    try
    {
        const MessageParser::Result parsed = m_parser.parse(text);
        lost = parsed.parsed()
            ? handleParsed(parsed.message, text.size(), now)
            : dropMessage(parsed.reason, parsed.failure.c_str());
    }
    catch (const std::exception& e)
    {
        lost = dropMessage(DropReason::malformed, e.what());
    }
    catch (...)
    {
        lost = dropMessage(DropReason::malformed, "unknown exception");
    }
    m_parser.finish();
    return lost;
}

MessageDrops DeviceAgent::handleParsed(
    JsonValue message, size_t messageBytes, Clock::time_point now)
{
    if (m_enableDebugDump)
    {
        // Pretty-printed over several lines; the texts in it stay escaped.
        NX_PRINT << log_texts::kReceiveLoop << " recv_msg: "
            << textForLog(jsonText(message, /*indent*/ 2, /*ensureAscii*/ false),
                std::string::npos, /*keepLineFeeds*/ true);
    }

    const EngineTime engineTime = engineTimeOf(message);
    const PacketTime time = packetTime(engineTime);
    MessageConverter::Conversion conversion =
        m_converter.convert(message, messageBytes, conversionSettings(), time.us);
    account(conversion);
    if (conversion.forThisCamera)
        noteEngineTime(engineTime, time, now);
    for (auto& packet: conversion.packets)
        pushMetadataPacket(packet.releasePtr());
    m_converter.recycle(std::move(conversion.packets));
    updateEngineDelay(now);
    return std::move(conversion.lost);
}

MessageDrops DeviceAgent::dropMessage(DropReason reason, const char* text) noexcept
{
    MessageDrops lost;
    try
    {
        lost.drops.push_back(
            Drop{reason, 1, log_texts::kReceiveLoop, log_texts::kException, {}, text ? text : ""});
    }
    catch (...)
    {
        lost.untold[static_cast<size_t>(reason)] = 1;
    }
    tell(lost, /*delivered*/ false);
    return lost;
}

void DeviceAgent::account(const MessageConverter::Conversion& conversion) noexcept
{
    // Nothing of it reached the server, for a counted reason: the message was dropped (once,
    // under its first such reason), and its counters say so instead of "converted".
    const bool delivered = conversion.forThisCamera
        && (!conversion.packets.empty() || !firstDropReason(conversion.lost));
    tell(conversion.lost, delivered);
    CameraCounters& counters = m_dropReport.counters();
    if (delivered)
        counters.converted();
    // Every packet made is pushed at once.
    counters.pushed(
        conversion.packets.size() - conversion.eventPackets, conversion.eventPackets);
}

std::optional<DropReason> DeviceAgent::firstDropReason(const MessageDrops& lost)
{
    for (const Drop& drop: lost.drops)
    {
        if (drop.reason && dropReasonInfo(*drop.reason).dropsMessages)
            return drop.reason;
    }
    for (size_t reason = 0; reason < kDropReasonCount; ++reason)
    {
        if (lost.untold[reason] > 0 && kDropReasons[reason].dropsMessages)
            return static_cast<DropReason>(reason);
    }
    return std::nullopt;
}

void DeviceAgent::tell(const MessageDrops& lost, bool delivered) noexcept
{
    if (!delivered)
    {
        const std::optional<DropReason> reason = firstDropReason(lost);
        const auto first = std::find_if(lost.drops.begin(), lost.drops.end(),
            [&](const Drop& drop) { return drop.reason == reason; });
        if (reason)
        {
            m_dropReport.drop(*reason, 1,
                first == lost.drops.end() ? std::string_view() : std::string_view(first->detail));
        }
    }
    for (const Drop& drop: lost.drops)
    {
        if (drop.reason && delivered)
            m_dropReport.cut(*drop.reason, drop.count, drop.detail);
        if (drop.line)
            m_log.write(drop.operation, drop.line, drop.detail);
    }
    for (size_t reason = 0; reason < kDropReasonCount; ++reason)
    {
        if (lost.untold[reason] > 0 && delivered)
            m_dropReport.cut(static_cast<DropReason>(reason), lost.untold[reason], {});
    }
    if (lost.cuts.any())
    {
        try
        {
            m_log.write(log_texts::kReceiveLoop, log_texts::kMessageCut,
                MessageConverter::cutLine(lost.cuts));
        }
        catch (...)
        {
            // No memory for the line: the counts are in the counters.
        }
    }
}

ConversionSettings DeviceAgent::conversionSettings() const
{
    ConversionSettings settings;
    settings.enableMetadata = m_enableMetadata;
    settings.skipNullFaceObject = m_skipNullFaceObject;
    settings.skipNullPlateObject = m_skipNullPlateObject;
    settings.showCounter = m_showCounter;
    return settings;
}

//-------------------------------------------------------------------------------------------------
// Packet time and the AI engine's delay.

DeviceAgent::PacketTime DeviceAgent::packetTime(const EngineTime& engineTime) const noexcept
{
    const int64_t latestFrameUs = m_lastFrameTimestampUs.load();
    if (!m_stampWithEngineFrame || !engineTime.found())
        return {latestFrameUs, false};
    const std::optional<FrameHistory::Match> match = m_frames.nearest(engineTime.us);
    if (!match)
        return {latestFrameUs, true};
    // Beyond the kept frames by more than a frame interval: the engine named a frame that this
    // agent never saw, or no longer keeps. Unsigned: the distance of any two 64-bit times fits.
    const auto beyond = [](int64_t later, int64_t earlier)
        {
            return later > earlier ? static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier)
                : uint64_t{0};
        };
    const auto interval = static_cast<uint64_t>(match->span.frameIntervalUs());
    if (beyond(match->span.oldestUs, engineTime.us) > interval
        || beyond(engineTime.us, match->span.newestUs) > interval)
    {
        return {latestFrameUs, true};
    }
    return {correctedTimestampUs(match->frameUs, m_timeCorrection), false};
}

void DeviceAgent::noteEngineTime(
    const EngineTime& engineTime, const PacketTime& time, Clock::time_point now) noexcept
{
    CameraCounters& counters = m_dropReport.counters();
    if (time.outsideFrameHistory)
        counters.outsideFrameHistory();
    if (!engineTime.found())
    {
        counters.withoutEngineTime(now);
        return;
    }
    const std::optional<int64_t> latestFrameUs = m_frames.newest();
    if (!latestFrameUs)
        return; //< Only a feeder that skips the check for video gets here.
    int64_t delayUs = 0;
    if (__builtin_sub_overflow(*latestFrameUs, engineTime.us, &delayUs))
    {
        delayUs = engineTime.us < 0
            ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    counters.engineDelay(delayUs, now);
    m_lastDelayAt = now;
}

void DeviceAgent::updateEngineDelay(Clock::time_point now) noexcept
{
    try
    {
        if (now < m_nextDelayUpdate)
            return;
        m_nextDelayUpdate = now + std::chrono::seconds(1);
        // A camera whose engine names no frame times (or no longer) costs its idle wake-ups
        // nothing more.
        if (!m_lastDelayAt || now - *m_lastDelayAt >= DelayWindow::kWindow)
            return;
        const DelayMinute minute = m_dropReport.counters().delayMinute(now);
        const std::optional<FrameHistory::Span> frames = m_frames.span();
        std::optional<DelayEvent> event = m_delayAdvice.advise(minute,
            frames ? frames->frameIntervalUs() : 0, m_timeCorrection, !m_stampWithEngineFrame,
            now);
        if (!event)
            return;
        NX_PRINT << log_texts::kReceiveLoop << " " << event->caption << ": "
            << event->description;
        pushPluginDiagnosticEvent(
            IPluginDiagnosticEvent::Level::info, event->caption, std::move(event->description));
    }
    catch (...)
    {
        // Out of memory for a summary or its text: the next second tries again.
    }
}

//-------------------------------------------------------------------------------------------------
// Video hooks and the server's other calls.

bool DeviceAgent::pushCompressedVideoFrame(const ICompressedVideoPacket* videoFrame)
{
    if (!videoFrame)
        return false;
    m_frames.add(videoFrame->timestampUs());
    m_lastFrameTimestampUs = correctedTimestampUs(videoFrame->timestampUs(), m_timeCorrection);
    return true;
}

bool DeviceAgent::pushUncompressedVideoFrame(const IUncompressedVideoFrame* videoFrame)
{
    if (!videoFrame)
        return false;
    m_frames.add(videoFrame->timestampUs());
    m_lastFrameTimestampUs = videoFrame->timestampUs();
    return true;
}

bool DeviceAgent::pullMetadataPackets(std::vector<IMetadataPacket*>* /*metadataPackets*/)
{
    return true; //< Every packet leaves through the receive thread.
}

void DeviceAgent::doSetNeededMetadataTypes(
    Result<void>* /*outResult*/, const IMetadataTypes* /*neededMetadataTypes*/)
{
    // The agent sends the same metadata whatever the server asks for.
}

//-------------------------------------------------------------------------------------------------
// Settings.

void DeviceAgent::applyBooleanSetting(
    const Setting& setting, std::atomic<bool>& member, const char* logLabel)
{
    member = settingValue(setting.name) == "true";
    NX_PRINT << "settingsReceived" << logLabel << (member ? 1 : 0);
}

Result<const ISettingsResponse*> DeviceAgent::settingsReceived()
{
    try
    {
        auto response = makePtr<SettingsResponse>();

        applyBooleanSetting(setting::kEnableMetadata, m_enableMetadata, " m_enableMetadata:");
        applyBooleanSetting(setting::kEnableDebugDump, m_enableDebugDump, " m_enableDebugDump:");
        applyBooleanSetting(
            setting::kSkipNullFaceObject, m_skipNullFaceObject, " m_skipNullFaceObject:");
        applyBooleanSetting(
            setting::kSkipNullPlateObject, m_skipNullPlateObject, " m_skipNullPlateObject:");
        applyBooleanSetting(setting::kShowCounter, m_showCounter, " m_showCounter:");

        int timeCorrection = 0;
        if (nx::kit::utils::parseInt(settingValue(setting::kTimeCorrection.name), &timeCorrection))
            m_timeCorrection = timeCorrection;
        NX_PRINT << "settingsReceived" << " m_timeCorrection:" << m_timeCorrection.load();

        // Any other text than the one choice (the server sends only the model's) keeps the rule
        // of the latest frame, the default.
        m_stampWithEngineFrame =
            settingValue(setting::kTimestampSource.name) == setting::kEngineFrameChoice.value;
        NX_PRINT << "settingsReceived" << " m_timestampSource:" << (m_stampWithEngineFrame
            ? setting::kEngineFrameChoice.value : setting::kLatestFrameChoice.value);

        return response.releasePtr();
    }
    catch (const std::exception& e)
    {
        // Only resource exhaustion gets here; the server must still get an answer.
        return error(ErrorCode::internalError, std::string("settingsReceived: ") + e.what());
    }
}

//-------------------------------------------------------------------------------------------------
// Manifest.

std::string DeviceAgent::manifestString() const
{
    return deviceAgentManifest();
}

} // namespace nx::vms_server_plugins::analytics::sample
