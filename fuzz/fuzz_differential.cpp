// Arbitrary bytes through the plugin's message handling (simdjson) and through the reference
// handling on nlohmann::json (tests/reference), which must agree: the same drop of the whole
// message, or the same engine time, packets, drops and cuts. The first byte picks the settings
// (bits 0 to 3: "enableMetadata", "skipNullFaceObject", "skipNullPlateObject", "showCounter");
// the rest holds one or more messages separated by a 0x1E byte, handled in order by one pair of
// converters, so that what the alarms teach the track caches is compared too.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "differential.h"

namespace {

using namespace nx::vms_server_plugins::analytics::sample;

constexpr char kSeparator = '\x1E';
const std::string kCameraId = "8f120e8a-2ced-c84a-aa40-59a59f563488";

ConversionSettings settingsFor(uint8_t selector)
{
    ConversionSettings settings;
    settings.enableMetadata = (selector & 1) != 0;
    settings.skipNullFaceObject = (selector & 2) != 0;
    settings.skipNullPlateObject = (selector & 4) != 0;
    settings.showCounter = (selector & 8) != 0;
    return settings;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const ConversionSettings settings = settingsFor(data[0]);
    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    reference::Differential differential(kCameraId);
    while (true)
    {
        const size_t end = rest.find(kSeparator);
        const std::string_view message = rest.substr(0, end);
        const std::string differences = differential.differences(message, settings);
        if (!differences.empty())
        {
            std::fprintf(stderr, "The plugin and the reference differ on %zu bytes:\n%s\n",
                message.size(), differences.c_str());
            std::abort();
        }
        if (end == std::string_view::npos)
            break;
        rest.remove_prefix(end + 1);
    }
    return 0;
}
