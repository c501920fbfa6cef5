// The two settings models, written from the settings table: the engine's, which the plugin
// manifest carries as "engineSettingsModel", and each camera's, which the engine manifest carries
// as "deviceAgentSettingsModel". Each is the value of that member, written for its place in its
// manifest (a member of the top object, four blanks in) in the exact text that the server has
// always been given: the manifests belong to the binary contract. Also a model's defaults as
// the server delivers them. Pure functions; any thread.
#pragma once

#include <map>
#include <string>

#include "settings/settings_table.h"

namespace nx::vms_server_plugins::analytics::sample {

/** The plugin manifest's "engineSettingsModel": the engine settings in their groups. */
[[nodiscard]] std::string engineSettingsModel();

/**
 * The engine manifest's "deviceAgentSettingsModel": the camera settings in their group, then
 * the "ROI" section (polygons and lines that the dialog offers; no setting of the plugin).
 */
[[nodiscard]] std::string deviceAgentSettingsModel();

/** Every setting of the model by name, with its default in the form the server delivers it. */
[[nodiscard]] std::map<std::string, std::string> modelDefaults(SettingsModel model);

} // namespace nx::vms_server_plugins::analytics::sample
