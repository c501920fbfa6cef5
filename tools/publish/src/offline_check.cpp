#include "offline_check.h"

#include <utility>

#include <nx/kit/debug.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/video_packets.h>

#include "agent/device_agent.h"
#include "health/drop.h"
#include "settings/settings_model.h"

namespace skyloom::publish {

namespace {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::Drop;
using nx::vms_server_plugins::analytics::sample::DropReason;
using nx::vms_server_plugins::analytics::sample::dropReasonInfo;
using nx::vms_server_plugins::analytics::sample::MessageDrops;
using nx::vms_server_plugins::analytics::sample::MessageConverter;
using nx::vms_server_plugins::analytics::sample::modelDefaults;
using nx::vms_server_plugins::analytics::sample::SettingsModel;

/** Any non-zero time: only its being set matters, packets are stamped with it. */
constexpr int64_t kFrameTimestampUs = 1600000000000000;

/** The server's form of a device id: the "src_uuid" text in braces. */
std::string deviceIdFor(const std::string& sourceId)
{
    return "{" + sourceId + "}";
}

/** The counters' name of the drop's reason; "" for a drop that no counter counts. */
std::string reasonName(const Drop& drop)
{
    return drop.reason ? dropReasonInfo(*drop.reason).name : "";
}

/** A drop as the agent's log line gives it, without the print prefix; or as a rule gives it. */
std::string dropText(const Drop& drop)
{
    return std::string(drop.operation) + (drop.line ? drop.line : ": ") + drop.detail;
}

} // namespace

const CheckSettings& defaultAgentSettings()
{
    // The defaults of the engine manifest's device agent settings model, from the table that
    // writes it; the end-to-end test compares them with what skyloom-host reads from the
    // plugin's own manifest.
    static const CheckSettings defaults = modelDefaults(SettingsModel::deviceAgent);
    return defaults;
}

struct OfflineChecker::Camera
{
    int index = 0;
    Ptr<testhost::DeviceInfo> info;
    Ptr<testhost::DeviceAgentHandler> handler;
    Ptr<DeviceAgent> agent;
};

OfflineChecker::OfflineChecker(CheckSettings settings):
    m_settings(std::move(settings))
{
    // What the agents lose is read from the values they return; no file is written.
    nx::kit::debug::redirectOutput(nullptr);

    // The settings are judged once, by an agent that handles nothing.
    const Ptr<testhost::DeviceInfo> info(new testhost::DeviceInfo(
        std::string(testhost::DeviceInfo::kDefaultId)));
    const Ptr<DeviceAgent> probe(new DeviceAgent(info.get(), DeviceAgent::ReceiveThread::none));
    const testhost::SettingsResult result = testhost::doSetSettings(probe.get(), m_settings);
    if (!result.isOk())
        m_settingsProblem = "the settings were refused: " + result.errorMessage;
    for (const auto& [key, error]: result.errors)
        m_settingsProblem += (m_settingsProblem.empty() ? "" : "; ") + key + ": " + error;
}

OfflineChecker::~OfflineChecker() = default;

OfflineChecker::Camera& OfflineChecker::cameraFor(const std::string& deviceId)
{
    std::unique_ptr<Camera>& slot = m_cameras[deviceId];
    if (slot)
        return *slot;

    auto camera = std::make_unique<Camera>();
    camera->index = static_cast<int>(m_cameras.size());
    camera->info = Ptr<testhost::DeviceInfo>(new testhost::DeviceInfo(deviceId));
    camera->handler = Ptr<testhost::DeviceAgentHandler>(new testhost::DeviceAgentHandler());
    camera->agent = Ptr<DeviceAgent>(
        new DeviceAgent(camera->info.get(), DeviceAgent::ReceiveThread::none));
    camera->agent->setHandler(camera->handler.get());
    (void) testhost::doSetSettings(camera->agent.get(), m_settings); //< Judged by the probe.
    const Ptr<testhost::CompressedVideoPacket> frame(
        new testhost::CompressedVideoPacket(kFrameTimestampUs));
    (void) testhost::doPushDataPacket(camera->agent.get(), frame.get());

    slot = std::move(camera);
    return *slot;
}

CheckedMessage OfflineChecker::check(const std::string& sourceId, const std::string& text)
{
    CheckedMessage result;
    result.cameraId = deviceIdFor(sourceId);
    Camera& camera = cameraFor(result.cameraId);
    result.cameraIndex = camera.index;
    camera.handler->clear();

    const MessageDrops lost = camera.agent->handleMessage(text);

    result.packets = camera.handler->packets();
    // What has a log line of its own first, then what a rule left out, then the cuts.
    for (const Drop& drop: lost.drops)
    {
        if (drop.line)
            result.addDrop(dropText(drop), reasonName(drop));
    }
    for (const Drop& drop: lost.drops)
    {
        if (!drop.line && !drop.reason)
            result.addDrop(dropText(drop));
    }
    const std::string listCut = dropReasonInfo(DropReason::listCut).name;
    if (lost.cuts.elements > 0)
    {
        result.addDrop(std::to_string(lost.cuts.elements) + " list elements beyond the first "
            + std::to_string(MessageConverter::kMaxListElements) + " dropped", listCut);
    }
    if (lost.cuts.objects > 0)
    {
        result.addDrop(std::to_string(lost.cuts.objects) + " objects beyond "
            + std::to_string(lost.cuts.attributeBound) + " bytes of attributes dropped",
            listCut);
    }
    if (lost.cuts.texts > 0)
    {
        result.notes.push_back(std::to_string(lost.cuts.texts) + " texts cut to "
            + std::to_string(MessageConverter::kMaxTextBytes) + " bytes");
    }
    return result;
}

} // namespace skyloom::publish
