// Settings from arbitrary bytes, delivered the way the server delivers them: a string map into
// doSetSettings of the plugin's engine and of a device agent. Every delivery must succeed, the
// agent's time correction must follow the integer rule (a text that does not convert keeps the
// previous value), and every object must be gone once the input is done.
//
// Input: records separated by '\n'. A record whose first byte is below the number of known keys
// sets that key to the rest of the record; otherwise "key=value", or the record as a key with
// an empty value.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <nx/kit/utils.h>
#include <nx/sdk/ptr.h>

#include <skyloom/testhost/boundary_calls.h>
#include <skyloom/testhost/device_agent_handler.h>
#include <skyloom/testhost/device_info.h>
#include <skyloom/testhost/string_map.h>
#include <skyloom/testhost/video_packets.h>

#include "agent/device_agent.h"
#include "engine.h"
#include "fuzz_support.h"

namespace {

using namespace skyloom::testhost;
using nx::sdk::Ptr;
using nx::vms_server_plugins::analytics::sample::DeviceAgent;
using nx::vms_server_plugins::analytics::sample::Engine;

constexpr int64_t kFrameTimestampUs = 1598863206064000;

const char* const kKnownKeys[] = {
    "enableMetadata", "enableDebugDump", "skipNullFaceObject", "skipNullPlateObject",
    "showCounter", "timeCorrection", "ServicePort", "",
    "ServiceAddress", "AllowedEngineAddresses", //< Texts; the file settings are not fuzzed.
};
constexpr size_t kKnownKeyCount = sizeof(kKnownKeys) / sizeof(kKnownKeys[0]);

StringMap::Items settingsFromBytes(const uint8_t* data, size_t size)
{
    StringMap::Items items;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= bytes.size())
    {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        const std::string record = bytes.substr(start, end - start);
        start = end + 1;

        if (!record.empty() && static_cast<unsigned char>(record[0]) < kKnownKeyCount)
        {
            items[kKnownKeys[static_cast<unsigned char>(record[0])]] = record.substr(1);
            continue;
        }
        const size_t equals = record.find('=');
        if (equals == std::string::npos)
            items[record] = "";
        else
            items[record.substr(0, equals)] = record.substr(equals + 1);
    }
    return items;
}

/** The map as the plugin reads it: texts end at their first zero byte. */
std::map<std::string, std::string> asDelivered(const StringMap::Items& items)
{
    std::map<std::string, std::string> delivered;
    for (const auto& [key, value]: items)
        delivered[std::string(key.c_str())] = std::string(value.c_str());
    return delivered;
}

void fuzzEngine(const StringMap::Items& items)
{
    // The relay thread only sleeps in its first seconds and stops at once on release, so no port
    // is ever bound from a fuzzed setting.
    const Ptr<Engine> engine(new Engine());
    const Ptr<StringMap> settings(new StringMap(items));
    FUZZ_CHECK(doSetSettings(engine.get(), settings.get()).isOk());
    FUZZ_CHECK(doSetSettings(engine.get(), settings.get()).isOk());
}

void pushFrame(DeviceAgent* agent)
{
    const Ptr<CompressedVideoPacket> frame(new CompressedVideoPacket(kFrameTimestampUs));
    FUZZ_CHECK(doPushDataPacket(agent, frame.get()).isOk());
}

void fuzzDeviceAgent(const StringMap::Items& items)
{
    const Ptr<DeviceInfo> deviceInfo(new DeviceInfo(std::string(DeviceInfo::kDefaultId)));
    const Ptr<DeviceAgent> agent(
        new DeviceAgent(deviceInfo.get(), DeviceAgent::ReceiveThread::none));
    const Ptr<DeviceAgentHandler> handler(new DeviceAgentHandler());
    agent->setHandler(handler.get());

    const auto delivered = asDelivered(items);
    int timeCorrectionMs = 0;
    if (const auto it = delivered.find("timeCorrection"); it != delivered.end())
        nx::kit::utils::parseInt(it->second, &timeCorrectionMs);

    const Ptr<StringMap> settings(new StringMap(items));
    FUZZ_CHECK(doSetSettings(agent.get(), settings.get()).isOk());
    pushFrame(agent.get());
    FUZZ_CHECK(agent->lastFrameTimestampUs()
        == kFrameTimestampUs + static_cast<int64_t>(timeCorrectionMs) * 1000);

    // A later delivery without the key keeps the stored text, so the correction stays.
    FUZZ_CHECK(doSetSettings(agent.get(), Settings{{"showCounter", "true"}}).isOk());
    pushFrame(agent.get());
    FUZZ_CHECK(agent->lastFrameTimestampUs()
        == kFrameTimestampUs + static_cast<int64_t>(timeCorrectionMs) * 1000);

    FUZZ_CHECK(handler->snapshot().diagnosticEvents.empty());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/)
{
    skyloom::fuzz::discardLogOutput();
    skyloom::fuzz::registryStats();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const StringMap::Items items = settingsFromBytes(data, size);
    fuzzEngine(items);
    fuzzDeviceAgent(items);
    skyloom::fuzz::checkRegistryBalanced();
    return 0;
}
