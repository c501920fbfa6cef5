// Base of a device agent fed with data packets: sorts them by kind for the subclass, turns its
// answers into result slots, keeps the settings and the server's handler, and serialises every
// call into that handler under one mutex. IDeviceAgent operations run on server threads; the
// push*() helpers may be called from any thread. Pointers stored into result slots carry one
// reference for the server.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nx/sdk/analytics/i_compressed_video_packet.h>
#include <nx/sdk/analytics/i_consuming_device_agent.h>
#include <nx/sdk/helpers/log_utils.h>
#include <nx/sdk/i_device_info.h>
#include <nx/sdk/ptr.h>
#include <nx/sdk/ref_countable.h>

namespace nx::sdk::analytics {

class ConsumingDeviceAgent: public RefCountable<IConsumingDeviceAgent>
{
protected:
    /** `deviceInfo` is borrowed: only its id is read, for the print prefix. */
    ConsumingDeviceAgent(const IDeviceInfo* deviceInfo, bool enableOutput);

public:
    virtual ~ConsumingDeviceAgent() override;

    // IDeviceAgent and IConsumingDeviceAgent, in slot order.
    virtual void doSetSettings(
        Result<const ISettingsResponse*>* outResult, const IStringMap* settings) override;
    virtual void getPluginSideSettings(Result<const ISettingsResponse*>* outResult) const override;
    virtual void getManifest(Result<const IString*>* outResult) const override;
    virtual void setHandler(IHandler* handler) override;
    virtual void doSetNeededMetadataTypes(
        Result<void>* outResult, const IMetadataTypes* neededMetadataTypes) override = 0;
    virtual void doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket) override;

protected:
    // Operations of the subclass, in slot order after those of the interfaces. The packets are
    // borrowed for the call. The push hooks answer false to fail doPushDataPacket().

    /** The device agent manifest (JSON text). */
    virtual std::string manifestString() const = 0;

    virtual bool pushCompressedVideoFrame(const ICompressedVideoPacket* videoFrame);
    virtual bool pushUncompressedVideoFrame(const IUncompressedVideoFrame* videoFrame);
    virtual bool pushCustomMetadataPacket(const ICustomMetadataPacket* customMetadataPacket);

    /**
     * Called after each successful push; each packet added carries one reference, which the
     * base takes over (null entries are skipped).
     */
    virtual bool pullMetadataPackets(std::vector<IMetadataPacket*>* metadataPackets);

    /** Called after new settings were stored; by default success with no settings response. */
    virtual Result<const ISettingsResponse*> settingsReceived();

protected:
    /** Takes over the one reference that `metadataPacket` carries; dropped before setHandler(). */
    void pushMetadataPacket(IMetadataPacket* metadataPacket);

    void pushPluginDiagnosticEvent(
        IPluginDiagnosticEvent::Level level, std::string caption, std::string description);

    void pushManifest(const std::string& manifest);

    /**
     * The stored value, or the empty text (entered into the settings then) for an unknown name.
     * Server threads only: the settings carry no lock.
     */
    std::string settingValue(const std::string& name);

    /** With output on, warns about an absent, unknown, empty or zero-time packet. */
    void logMetadataPacketIfNeeded(
        const IMetadataPacket* metadataPacket, const std::string& packetIndexName) const;

protected:
    LogUtils logUtils;

private:
    void pushDataPacket(Result<void>* outResult, IDataPacket* dataPacket);
    bool pushToSubclass(Result<void>* outResult, IDataPacket* dataPacket);
    void processPulledPackets(const std::vector<IMetadataPacket*>& metadataPackets);
    void reportPushError(Result<void>* outResult, ErrorCode errorCode, const std::string& message);

    /** Hands one packet to the handler; m_mutex must be held. -1 means "not from a batch". */
    void processMetadataPacket(IMetadataPacket* metadataPacket, int packetIndex);

private:
    std::mutex m_mutex; //< Guards m_handler, held during every call into it.
    Ptr<IDeviceAgent::IHandler> m_handler;
    std::map<std::string, std::string> m_settings; //< Written and read on server threads.
};

} // namespace nx::sdk::analytics
