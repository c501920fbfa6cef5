// The plugin's agent for one camera. It subscribes to its engine's relay, in-process on the
// ZeroMQ context that the engine shares with it (RelayContext), for the messages whose "src_uuid"
// names its camera, has each converted into object and event metadata (MessageConverter) and
// pushes the packets to the server's handler, stamped with the time of the latest video frame
// or, with "timestampSource" "engineFrame", of the kept frame nearest to the AI engine's own
// time of the message's frame (FrameHistory). For every message that names its frame's time it
// measures how late the AI engine answers, into the camera's counters (which summarise it for
// whoever reads them), and tells the operator a correction, or that the engine's clock is another one. The
// time its thread spends on messages is added to the engine's IngressBudgets, where the relay
// counts it against a receiver's share of a core.
//
// Threads: the server's threads construct and destroy the agent, deliver settings and video
// frames; the agent's own receive thread (threadFuncZeromqProcess) runs every conversion and
// push. Settings and the frame time are single atomic values shared between the two, read once
// per message, and the frame history has one writer (the video hooks) and one reader (the
// receive thread); the converter and the delay measurement belong to the receive thread. The
// receive thread sleeps until a message or a stop arrives; the destructor wakes it (Wakeup) and
// joins it at once, after the push in progress. So a handler must never drop the agent's last
// reference from inside a call it gets from the agent (on the receive thread): the agent cannot
// wait for itself. Until the thread has its wake-up (see the constructor) it opens no socket and
// sees a stop within 50 ms.
// The agent holds its share of the context: it may outlive its engine, and then receives nothing
// more; an agent made without a context receives nothing at all.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nx/sdk/analytics/helpers/consuming_device_agent.h>
#include <nx/sdk/analytics/i_compressed_video_packet.h>
#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/i_device_info.h>
#include <nx/sdk/ptr.h>

#include "agent/frame_history.h"
#include "common/wakeup.h"
#include "conversion/engine_time.h"
#include "conversion/message_converter.h"
#include "conversion/message_parser.h"
#include "health/camera_log.h"
#include "health/engine_delay.h"
#include "health/drop.h"
#include "health/drop_report.h"
#include "relay/relay_context.h"
#include "settings/settings_table.h"

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

class DeviceAgent: public nx::sdk::analytics::ConsumingDeviceAgent
{
public:
    /** Whether the constructor starts the receive thread; `none` serves tools that feed
     * messages through handleMessage() themselves (tests, benchmarks, fuzzing). */
    enum class ReceiveThread { start, none };

    /**
     * Without a relay context: the agent receives nothing (the thread is never started).
     * `now` times the camera's rules (track-id renewal, the log's rate, drop events); tests give
     * one they can advance.
     */
    explicit DeviceAgent(const nx::sdk::IDeviceInfo* deviceInfo,
        ReceiveThread receiveThread = ReceiveThread::start, NowSource now = {});

    /**
     * Receives from the relay of the engine that shares `relayContext` (may be null, as above).
     * Made also when the process has no descriptor left: the wake-up is made here, before the
     * receive thread starts, or else by that thread before it opens its socket, tried every
     * second (the failures go to the camera log, at its rate). A thread that the system refuses
     * is logged, and the agent then receives nothing.
     */
    DeviceAgent(const nx::sdk::IDeviceInfo* deviceInfo, RelayContext relayContext,
        ReceiveThread receiveThread = ReceiveThread::start, NowSource now = {});
    virtual ~DeviceAgent() override;

    /**
     * The whole handling of one received message once a video frame has been seen: strict JSON
     * parse, optional debug dump, event and meta conversions, pushes; what it lost is counted and
     * logged, and returned. Never throws. Called by the receive thread; with
     * ReceiveThread::none, by the owner's single feeding thread.
     */
    MessageDrops handleMessage(std::string_view text) noexcept;

    const std::string& zeromqFilter() const { return m_zeromqFilter; }
    int64_t lastFrameTimestampUs() const { return m_lastFrameTimestampUs.load(); }

    /** The converter's state, for the thread that feeds the messages (receive thread). */
    const MessageConverter& converter() const { return m_converter; }
    /** The camera's counters (shared with the engine's relay when the agent has one). */
    const CameraCounters& counters() const { return m_dropReport.counters(); }

    /**
     * What the receive thread does with each message it takes: counts it, drops it if the
     * camera has no video frame yet, else handles it; then raises "Messages dropped" if due.
     * Receive thread; with ReceiveThread::none, the owner's single feeding thread.
     */
    void receiveMessage(std::string_view text);

protected:
    virtual std::string manifestString() const override;
    virtual bool pushCompressedVideoFrame(
        const nx::sdk::analytics::ICompressedVideoPacket* videoFrame) override;
    virtual bool pushUncompressedVideoFrame(
        const nx::sdk::analytics::IUncompressedVideoFrame* videoFrame) override;
    virtual bool pullMetadataPackets(
        std::vector<nx::sdk::analytics::IMetadataPacket*>* metadataPackets) override;
    virtual void doSetNeededMetadataTypes(
        nx::sdk::Result<void>* outResult,
        const nx::sdk::analytics::IMetadataTypes* neededMetadataTypes) override;
    virtual nx::sdk::Result<const nx::sdk::ISettingsResponse*> settingsReceived() override;

private:
    void threadFuncZeromqProcess();
    /** One life of the socket: false after a logged failure (the caller retries). */
    [[nodiscard]] bool receiveUntilStopped();
    /**
     * Connects to the relay once its endpoint is bound (never before: see RelayEndpoint); false
     * if the agent is stopped first.
     */
    [[nodiscard]] bool connectWhenBound(
        zmq::socket_t& socket, RelayEndpoint& endpoint, const Wakeup& wakeup);
    void pollUntilStopped(zmq::socket_t& socket, QueueBudget::Account& account, Wakeup& wakeup);
    /** Handles every message queued for this agent, looking at the stop flag between them. */
    void receiveWaitingMessages(zmq::socket_t& socket, QueueBudget::Account& account);
    /** The message as a whole could not be read. */
    /** handleMessage() of a parsed message: dump, conversion, pushes. */
    MessageDrops handleParsed(JsonValue message, size_t messageBytes, Clock::time_point now);
    MessageDrops dropMessage(DropReason reason, const char* text) noexcept;
    /** Counts the message's conversion and what it lost, and logs the losses. */
    void account(const MessageConverter::Conversion& conversion) noexcept;
    /**
     * Counts and logs what a message lost: the message as dropped (once) if it was not
     * delivered, otherwise each loss as elements cut.
     */
    void tell(const MessageDrops& lost, bool delivered) noexcept;
    /** The first loss that drops a message, if any (cuts alone never do). */
    [[nodiscard]] static std::optional<DropReason> firstDropReason(const MessageDrops& lost);
    /** Raises the "Messages dropped" event if one is due. Never throws. */
    void reportDropsIfDue() noexcept;
    /** The wake-up, made now if it is not yet; null (the reason logged) if it cannot be. */
    Wakeup* wakeup() noexcept;
    /** Waits for the stop or the timeout, also without a wake-up. */
    void pauseUnlessStopped(std::chrono::milliseconds timeout) noexcept;

    void applyBooleanSetting(
        const Setting& setting, std::atomic<bool>& member, const char* logLabel);
    /** The settings that one message is converted with, each read once. */
    ConversionSettings conversionSettings() const;

    /** The time for a message's packets, and whether its engine time lay beyond the frames. */
    struct PacketTime
    {
        int64_t us = 0;
        bool outsideFrameHistory = false;
    };
    [[nodiscard]] PacketTime packetTime(const EngineTime& engineTime) const noexcept;
    /** Counts a converted message's engine time into the delay (or as missing). */
    void noteEngineTime(
        const EngineTime& engineTime, const PacketTime& time, Clock::time_point now) noexcept;
    /** At most once a second: raises what the minute's delays advise. */
    void updateEngineDelay(Clock::time_point now) noexcept;

private:
    /** Written by the video hooks (server threads), read by the receive thread. */
    std::atomic<int64_t> m_lastFrameTimestampUs{0};
    /** The frames' own times: written by the video hooks, read by the receive thread. */
    FrameHistory m_frames;
    const NowSource m_now;
    /** Receive thread only. */
    DelayAdvice m_delayAdvice;
    Clock::time_point m_nextDelayUpdate{};
    /** When a frame time was last counted; the minute is not looked at once it has emptied. */
    std::optional<Clock::time_point> m_lastDelayAt;
    std::string m_zeromqFilter;
    /** Receive thread only (after construction). */
    CameraLog m_log;
    DropReport m_dropReport; //< Counts into the camera's shared counters.
    MessageConverter m_converter;
    MessageParser m_parser; //< Of the receive thread, like the converter.
    /** This agent's share of its engine's context; null for an agent made without one. */
    const RelayContext m_relayContext;
    /**
     * Wakes the receive thread for the stop. Made by the constructor, or by the receive thread
     * when the process had no descriptor left then; published once (the destructor reads it
     * after setting m_terminated, the thread checks m_terminated after publishing it, so one of
     * them always sees the other). Deleted by the destructor after the join.
     */
    std::atomic<Wakeup*> m_wakeup{nullptr};
    std::thread m_thread;
    /** Set once by the destructor (before the wake-up), read by the receive thread. */
    std::atomic<bool> m_terminated{false};

    // Settings: written by settingsReceived (server thread), read by the receive thread and, for
    // the time correction, by the video hook. Until then, the table's agent start values.
    std::atomic<bool> m_enableMetadata{setting::kEnableMetadata.agentStart.isTrue()};
    std::atomic<bool> m_skipNullFaceObject{setting::kSkipNullFaceObject.agentStart.isTrue()};
    std::atomic<bool> m_skipNullPlateObject{setting::kSkipNullPlateObject.agentStart.isTrue()};
    std::atomic<bool> m_showCounter{setting::kShowCounter.agentStart.isTrue()};
    std::atomic<bool> m_enableDebugDump{setting::kEnableDebugDump.agentStart.isTrue()};
    std::atomic<int> m_timeCorrection{setting::kTimeCorrection.agentStart.number()};
    /** "timestampSource" is "engineFrame". */
    std::atomic<bool> m_stampWithEngineFrame{std::string_view(
        setting::kTimestampSource.agentStart.text) == setting::kEngineFrameChoice.value};
};

} // namespace nx::vms_server_plugins::analytics::sample
