// The per-camera settings under which every benchmark runs the device agent: the plugin's
// defaults (from its settings table), except that every detection is shown (the track gate is
// open). Plain values.
#pragma once

#include <map>
#include <string>

#include "settings/settings_model.h"

namespace skyloom::bench {

/** The plugin's settings table: the benchmarks name each setting they give by its row. */
namespace setting = nx::vms_server_plugins::analytics::sample::setting;

inline std::map<std::string, std::string> benchAgentSettings()
{
    namespace sample = nx::vms_server_plugins::analytics::sample;
    std::map<std::string, std::string> settings =
        sample::modelDefaults(sample::SettingsModel::deviceAgent);
    settings[setting::kEnableMetadata.name] = "true";
    return settings;
}

} // namespace skyloom::bench
