#include "offline_check.h"

#include <string_view>
#include <utility>

#include <nx/kit/debug.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/video_packets.h>

#include "agent/device_agent.h"
#include "conversion/log_texts.h"
#include "settings/settings_model.h"

namespace skyloom::publish {

namespace {

using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::MessageConverter;
using nx::vms_server_plugins::analytics::sample::modelDefaults;
using nx::vms_server_plugins::analytics::sample::SettingsModel;
namespace log_texts = nx::vms_server_plugins::analytics::sample::log_texts;

/** Any non-zero time: only its being set matters, packets are stamped with it. */
constexpr int64_t kFrameTimestampUs = 1600000000000000;

/** The server's form of a device id: the "src_uuid" text in braces. */
std::string deviceIdFor(const std::string& sourceId)
{
    return "{" + sourceId + "}";
}

/** A log line of the agent, without its print prefix: "operation: detail". */
std::string reasonText(std::string_view operation, std::string_view what, std::string_view detail)
{
    std::string text(operation);
    text += what;
    text += detail;
    return text;
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
    /** Filled by the agent's log observer while one message is handled. */
    std::vector<std::string> lines;
};

OfflineChecker::OfflineChecker(CheckSettings settings):
    m_settings(std::move(settings))
{
    // The agents' log lines reach the check through their observers; no file is written.
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

    Camera* const observed = camera.get();
    camera->agent->cameraLog().setObserver(
        [observed](std::string_view operation, std::string_view what, std::string_view detail)
        {
            // Cuts are read from the drop counts; every other line of the agent is a failure.
            if (what != log_texts::kMessageCut)
                observed->lines.push_back(reasonText(operation, what, detail));
        });
    slot = std::move(camera);
    return *slot;
}

CheckedMessage OfflineChecker::check(const std::string& sourceId, const std::string& text)
{
    CheckedMessage result;
    result.cameraId = deviceIdFor(sourceId);
    Camera& camera = cameraFor(result.cameraId);
    result.cameraIndex = camera.index;
    camera.lines.clear();
    camera.handler->clear();
    const MessageConverter::Drops before = camera.agent->converter().drops();

    camera.agent->handleMessage(text);

    const MessageConverter::Drops& after = camera.agent->converter().drops();
    result.packets = camera.handler->packets();
    result.drops = std::move(camera.lines);
    camera.lines.clear();
    if (after.incompleteAlarms > before.incompleteAlarms)
    {
        result.drops.push_back(std::string(log_texts::kEventConversion)
            + ": no event: the alarm lacks a \"caption\", \"description\" or \"source\" "
              "(absent or null)");
    }
    const uint64_t beyondLimit = after.elementsBeyondLimit - before.elementsBeyondLimit;
    if (beyondLimit > 0)
    {
        result.drops.push_back(std::to_string(beyondLimit) + " list elements beyond the first "
            + std::to_string(MessageConverter::kMaxListElements) + " dropped");
    }
    const uint64_t beyondBound =
        after.objectsBeyondAttributeBound - before.objectsBeyondAttributeBound;
    if (beyondBound > 0)
    {
        result.drops.push_back(std::to_string(beyondBound) + " objects beyond "
            + std::to_string(MessageConverter::maxAttributeBytes(text.size()))
            + " bytes of attributes dropped");
    }
    const uint64_t textsCut = after.textsCut - before.textsCut;
    if (textsCut > 0)
    {
        result.notes.push_back(std::to_string(textsCut) + " texts cut to "
            + std::to_string(MessageConverter::kMaxTextBytes) + " bytes");
    }
    return result;
}

} // namespace skyloom::publish
