// The plugin's agent for one camera. It subscribes to the engine's loopback relay for the
// messages whose "src_uuid" names its camera, has each converted into object and event metadata
// (MessageConverter) and pushes the packets to the server's handler, stamped with the time of
// the latest video frame.
//
// Threads: the server's threads construct and destroy the agent, deliver settings and video
// frames; the agent's own receive thread (threadFuncZeromqProcess) runs every conversion and
// push. Settings and the frame time are single atomic values shared between the two, read once
// per message; the converter belongs to the receive thread. The destructor stops and joins the
// receive thread (within about a second).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nx/sdk/analytics/helpers/consuming_device_agent.h>
#include <nx/sdk/analytics/i_compressed_video_packet.h>
#include <nx/sdk/analytics/i_metadata_packet.h>
#include <nx/sdk/i_device_info.h>
#include <nx/sdk/ptr.h>

#include "message_converter.h"

namespace zmq { class socket_t; }

namespace nx::vms_server_plugins::analytics::sample {

class DeviceAgent: public nx::sdk::analytics::ConsumingDeviceAgent
{
public:
    /** Whether the constructor starts the receive thread; `none` serves tools that feed
     * messages through handleMessage() themselves (tests, benchmarks, fuzzing). */
    enum class ReceiveThread { start, none };

    static constexpr const char* kRelayEndpoint = "tcp://127.0.0.1:688";

    /** `clock` times the track-id renewal rule; tests give one they can advance. */
    explicit DeviceAgent(const nx::sdk::IDeviceInfo* deviceInfo,
        ReceiveThread receiveThread = ReceiveThread::start, TrackIdentity::Clock clock = {});
    virtual ~DeviceAgent() override;

    /**
     * The whole handling of one received message once a video frame has been seen: strict JSON
     * parse, optional debug dump, event and meta conversions, pushes. Never throws. Called by the
     * receive thread; with ReceiveThread::none, by the owner's single feeding thread.
     */
    void handleMessage(std::string_view text);

    const std::string& zeromqFilter() const { return m_zeromqFilter; }
    int64_t lastFrameTimestampUs() const { return m_lastFrameTimestampUs.load(); }

    /** The converter's state, for the thread that feeds the messages (receive thread). */
    const MessageConverter& converter() const { return m_converter; }
    /** The camera's log, for the thread that feeds the messages (to observe its lines). */
    CameraLog& cameraLog() { return m_log; }

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
    bool receiveUntilStopped();
    /** Throws the ZeroMQ error of a failed receive. */
    void pollUntilStopped(zmq::socket_t& socket);
    void waitBeforeRetry();
    void logMessageException(const char* text) noexcept;

    void applyBooleanSetting(const char* key, std::atomic<bool>& member, const char* logLabel);
    /** The settings that one message is converted with, each read once. */
    ConversionSettings conversionSettings() const;

private:
    /** Written by the video hooks (server threads), read by the receive thread. */
    std::atomic<int64_t> m_lastFrameTimestampUs{0};
    std::string m_zeromqFilter;
    /** Receive thread only (after construction). */
    CameraLog m_log;
    MessageConverter m_converter; //< Writes to m_log.
    std::thread m_thread;
    /** Set once by the destructor, read by the receive thread at the top of every pass. */
    std::atomic<bool> m_terminated{false};

    // Settings: written by settingsReceived (server thread), read by the receive thread and, for
    // the time correction, by the video hook.
    std::atomic<bool> m_enableMetadata{true};
    std::atomic<bool> m_skipNullFaceObject{true};
    std::atomic<bool> m_skipNullPlateObject{true};
    std::atomic<bool> m_showCounter{false};
    std::atomic<bool> m_enableDebugDump{false};
    std::atomic<int> m_timeCorrection{0};
};

} // namespace nx::vms_server_plugins::analytics::sample
