// The per-camera settings under which every benchmark runs the device agent: the plugin's
// defaults, except that every detection is shown (the track gate is open). Plain values.
#pragma once

#include <map>
#include <string>

namespace skyloom::bench {

inline std::map<std::string, std::string> benchAgentSettings()
{
    return {
        {"enableMetadata", "true"},
        {"enableDebugDump", "false"},
        {"skipNullFaceObject", "true"},
        {"skipNullPlateObject", "true"},
        {"showCounter", "true"},
        {"timeCorrection", "0"},
    };
}

} // namespace skyloom::bench
