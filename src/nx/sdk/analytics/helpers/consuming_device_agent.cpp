#include "consuming_device_agent.h"

#include <utility>

#include <nx/kit/debug.h>
#include <nx/sdk/analytics/i_compound_metadata_packet.h>
#include <nx/sdk/analytics/i_event_metadata_packet.h>
#include <nx/sdk/analytics/i_object_metadata_packet.h>
#include <nx/sdk/helpers/plugin_diagnostic_event.h>
#include <nx/sdk/helpers/string.h>
#include <nx/sdk/helpers/to_string.h>

#undef NX_PRINT_PREFIX
#define NX_PRINT_PREFIX (this->logUtils.printPrefix())
#undef NX_DEBUG_ENABLE_OUTPUT
#define NX_DEBUG_ENABLE_OUTPUT (this->logUtils.enableOutput)

namespace nx::sdk::analytics {

namespace {

std::string makePrintPrefix(const IDeviceInfo* deviceInfo)
{
    std::string idPart;
    if (deviceInfo)
    {
        const char* const id = deviceInfo->id();
        idPart = ("_" + std::string(id ? id : "")).substr(0, 10);
    }
    return "[device" + idPart + "..}] ";
}

} // namespace

ConsumingDeviceAgent::ConsumingDeviceAgent(const IDeviceInfo* deviceInfo, bool enableOutput):
    logUtils(enableOutput, makePrintPrefix(deviceInfo))
{
    NX_KIT_ASSERT(deviceInfo, "");
    NX_PRINT << "Created " << this;
}

ConsumingDeviceAgent::~ConsumingDeviceAgent()
{
    NX_PRINT << "Destroyed " << this;
}

void ConsumingDeviceAgent::doSetSettings(
    Result<const ISettingsResponse*>* outResult, const IStringMap* settings)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]()
        {
            if (!logUtils.convertAndOutputStringMap(&m_settings, settings, "Received settings"))
            {
                *outResult = error(ErrorCode::invalidParams, "Settings are invalid");
                return;
            }
            *outResult = settingsReceived();
        });
}

void ConsumingDeviceAgent::getPluginSideSettings(
    Result<const ISettingsResponse*>* /*outResult*/) const
{
}

void ConsumingDeviceAgent::getManifest(Result<const IString*>* outResult) const
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { *outResult = makePtr<String>(manifestString()).releasePtr(); });
}

void ConsumingDeviceAgent::setHandler(IHandler* handler)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = sharePtr(handler);
}

void ConsumingDeviceAgent::doPushDataPacket(Result<void>* outResult, IDataPacket* dataPacket)
{
    logUtils.guardBoundaryCall(__func__, outResult,
        [&]() { pushDataPacket(outResult, dataPacket); });
}

void ConsumingDeviceAgent::pushDataPacket(Result<void>* outResult, IDataPacket* dataPacket)
{
    if (!dataPacket)
    {
        reportPushError(outResult, ErrorCode::invalidParams, "dataPacket is null; discarding it.");
        return;
    }

    if (dataPacket->timestampUs() < 0)
    {
        reportPushError(outResult, ErrorCode::invalidParams,
            "dataPacket has invalid timestamp " + std::to_string(dataPacket->timestampUs())
                + "; discarding the packet.");
        return;
    }

    if (!pushToSubclass(outResult, dataPacket))
        return;

    {
        // Checked under the lock: setHandler() may be replacing the handler on another thread.
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_handler)
        {
            reportPushError(outResult, ErrorCode::internalError, "setHandler() was not called.");
            return;
        }
    }

    std::vector<IMetadataPacket*> metadataPackets;
    const bool pulled = pullMetadataPackets(&metadataPackets);
    if (!pulled)
    {
        // Not delivered, but the references that the subclass handed over are still released.
        for (IMetadataPacket* const metadataPacket: metadataPackets)
        {
            if (metadataPacket)
                metadataPacket->releaseRef();
        }
        reportPushError(outResult, ErrorCode::otherError, "pullMetadataPackets() failed.");
        return;
    }

    processPulledPackets(metadataPackets);
}

/** Hands the packet to the hook of its kind; false (with the error reported) stops the push. */
bool ConsumingDeviceAgent::pushToSubclass(Result<void>* outResult, IDataPacket* dataPacket)
{
    if (const auto videoPacket = nx::sdk::queryInterface<ICompressedVideoPacket>(dataPacket))
    {
        if (pushCompressedVideoFrame(videoPacket.get()))
            return true;
        reportPushError(outResult, ErrorCode::otherError, "pushCompressedVideoFrame() failed.");
        return false;
    }

    if (const auto videoFrame = nx::sdk::queryInterface<IUncompressedVideoFrame>(dataPacket))
    {
        if (pushUncompressedVideoFrame(videoFrame.get()))
            return true;
        reportPushError(outResult, ErrorCode::otherError, "pushUncompressedVideoFrame() failed.");
        return false;
    }

    if (const auto customPacket = nx::sdk::queryInterface<ICustomMetadataPacket>(dataPacket))
    {
        if (pushCustomMetadataPacket(customPacket.get()))
            return true;
        reportPushError(outResult, ErrorCode::otherError, "pushCustomMetadataPacket() failed.");
        return false;
    }

    reportPushError(outResult, ErrorCode::invalidParams, "Unsupported frame supplied; ignored.");
    return false;
}

void ConsumingDeviceAgent::processPulledPackets(
    const std::vector<IMetadataPacket*>& metadataPackets)
{
    // Each reference is adopted before anything can throw, so none is lost.
    std::vector<Ptr<IMetadataPacket>> packets;
    packets.reserve(metadataPackets.size());
    for (IMetadataPacket* const metadataPacket: metadataPackets)
        packets.push_back(toPtr(metadataPacket));

    const std::lock_guard<std::mutex> lock(m_mutex);
    for (size_t i = 0; i < packets.size(); ++i)
    {
        processMetadataPacket(packets[i].get(), static_cast<int>(i));
        packets[i].reset();
    }
}

void ConsumingDeviceAgent::reportPushError(
    Result<void>* outResult, ErrorCode errorCode, const std::string& message)
{
    NX_PRINT << "doPushDataPacket" << "() " << (logUtils.enableOutput ? "END " : "") << "-> "
        << toString(errorCode) << ": " << message;
    *outResult = error(errorCode, message);
}

void ConsumingDeviceAgent::processMetadataPacket(IMetadataPacket* metadataPacket, int packetIndex)
{
    const std::string packetIndexName =
        (packetIndex == -1) ? "" : (" #" + std::to_string(packetIndex));

    if (!m_handler)
    {
        NX_PRINT << "processMetadataPacket" << "(): "
            << "INTERNAL ERROR: setHandler() was not called; ignoring the packet";
        return;
    }

    if (!metadataPacket)
    {
        NX_OUTPUT << "processMetadataPacket" << "(): WARNING: Null metadata packet"
            << packetIndexName << " found; discarded.";
        return;
    }

    NX_KIT_ASSERT(metadataPacket->timestampUs() >= 0, "");
    m_handler->handleMetadata(metadataPacket);
}

bool ConsumingDeviceAgent::pushCompressedVideoFrame(const ICompressedVideoPacket* /*videoFrame*/)
{
    return true;
}

bool ConsumingDeviceAgent::pushUncompressedVideoFrame(
    const IUncompressedVideoFrame* /*videoFrame*/)
{
    return true;
}

bool ConsumingDeviceAgent::pushCustomMetadataPacket(
    const ICustomMetadataPacket* /*customMetadataPacket*/)
{
    return true;
}

bool ConsumingDeviceAgent::pullMetadataPackets(
    std::vector<IMetadataPacket*>* /*metadataPackets*/)
{
    return true;
}

Result<const ISettingsResponse*> ConsumingDeviceAgent::settingsReceived()
{
    return Result<const ISettingsResponse*>();
}

void ConsumingDeviceAgent::pushMetadataPacket(IMetadataPacket* metadataPacket)
{
    const Ptr<IMetadataPacket> packet = toPtr(metadataPacket);
    const std::lock_guard<std::mutex> lock(m_mutex);
    processMetadataPacket(packet.get(), -1);
}

void ConsumingDeviceAgent::pushPluginDiagnosticEvent(
    IPluginDiagnosticEvent::Level level, std::string caption, std::string description)
{
    const std::lock_guard<std::mutex> lock(m_mutex);

    if (!m_handler)
    {
        NX_PRINT << "pushPluginDiagnosticEvent" << "(): "
            << "INTERNAL ERROR: setHandler() was not called; ignoring Plugin Diagnostic Event.";
        return;
    }

    const auto event = makePtr<PluginDiagnosticEvent>(
        level, std::move(caption), std::move(description));
    NX_OUTPUT << "Producing Plugin Diagnostic Event:\n" << event->toString();
    m_handler->handlePluginDiagnosticEvent(event.get());
}

void ConsumingDeviceAgent::pushManifest(const std::string& manifest)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handler)
        m_handler->pushManifest(makePtr<String>(manifest).get());
}

std::string ConsumingDeviceAgent::settingValue(const std::string& name)
{
    return m_settings[name];
}

void ConsumingDeviceAgent::logMetadataPacketIfNeeded(
    const IMetadataPacket* metadataPacket, const std::string& packetIndexName) const
{
    if (!logUtils.enableOutput || !NX_KIT_ASSERT(metadataPacket, ""))
        return;

    std::string packetName;
    if (nx::sdk::queryInterface<IObjectMetadataPacket>(metadataPacket))
    {
        packetName = "Object";
    }
    else if (nx::sdk::queryInterface<IEventMetadataPacket>(metadataPacket))
    {
        packetName = "Event";
    }
    else
    {
        NX_PRINT << "logMetadataPacketIfNeeded" << "(): WARNING: Metadata packet"
            << packetIndexName << " has unknown type.";
        packetName = "Unknown";
    }
    packetName += " metadata packet" + packetIndexName;

    const auto compoundPacket = nx::sdk::queryInterface<ICompoundMetadataPacket>(metadataPacket);
    if (compoundPacket)
    {
        if (compoundPacket->count() == 0)
        {
            NX_PRINT << "logMetadataPacketIfNeeded" << "(): WARNING: " << packetName
                << " is empty.";
        }
        else if (compoundPacket->timestampUs() == 0)
        {
            NX_PRINT << "logMetadataPacketIfNeeded" << "(): WARNING: " << packetName
                << " has timestamp 0.";
        }
    }
}

} // namespace nx::sdk::analytics
