// What skyloom-host reads from the plugin's manifests: the defaults of a settings model (the
// server delivers them together with the user's values) and a one-line account of a device
// agent manifest. Pure functions; any thread.
#pragma once

#include <map>
#include <string>

namespace skyloom::host {

using SettingsMap = std::map<std::string, std::string>;

/**
 * Every named item with a "defaultValue" under manifest[modelKey], as the server sends values:
 * booleans as "true"/"false", numbers in decimal, texts as they are. Items of repeated templates
 * (names with '#') are left out. An unreadable manifest gives no defaults.
 */
SettingsMap settingDefaults(const std::string& manifestText, const std::string& modelKey);

/** The defaults with the user's values on top. */
SettingsMap mergedSettings(const SettingsMap& defaults, const SettingsMap& userValues);

/** "27 event types, 13 object types", or what is wrong with the manifest. */
std::string manifestSummary(const std::string& deviceAgentManifest);

} // namespace skyloom::host
