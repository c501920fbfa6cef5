#include "plugin_settings.h"

#include <nlohmann/json.hpp>

namespace skyloom::host {

namespace {

std::string settingText(const nlohmann::json& value)
{
    if (value.is_boolean())
        return value.get<bool>() ? "true" : "false";
    if (value.is_string())
        return value.get<std::string>();
    return value.dump();
}

void collectDefaults(const nlohmann::json& node, SettingsMap* defaults)
{
    if (node.is_object())
    {
        const auto name = node.find("name");
        const auto defaultValue = node.find("defaultValue");
        if (name != node.end() && name->is_string() && defaultValue != node.end()
            && name->get<std::string>().find('#') == std::string::npos)
        {
            (*defaults)[name->get<std::string>()] = settingText(*defaultValue);
        }
    }
    if (node.is_object() || node.is_array())
    {
        for (const auto& child: node)
            collectDefaults(child, defaults);
    }
}

} // namespace

SettingsMap settingDefaults(const std::string& manifestText, const std::string& modelKey)
{
    SettingsMap defaults;
    try
    {
        const nlohmann::json manifest = nlohmann::json::parse(manifestText);
        if (manifest.is_object() && manifest.contains(modelKey))
            collectDefaults(manifest[modelKey], &defaults);
    }
    catch (const std::exception&)
    {
        defaults.clear();
    }
    return defaults;
}

SettingsMap mergedSettings(const SettingsMap& defaults, const SettingsMap& userValues)
{
    SettingsMap merged = defaults;
    for (const auto& [key, value]: userValues)
        merged[key] = value;
    return merged;
}

std::string manifestSummary(const std::string& deviceAgentManifest)
{
    try
    {
        const nlohmann::json manifest = nlohmann::json::parse(deviceAgentManifest);
        const auto count = [&](const char* key) -> size_t
        {
            return manifest.contains(key) && manifest[key].is_array() ? manifest[key].size() : 0;
        };
        return std::to_string(count("eventTypes")) + " event types, "
            + std::to_string(count("objectTypes")) + " object types";
    }
    catch (const std::exception& e)
    {
        return std::string("a manifest that is not JSON (") + e.what() + ")";
    }
}

} // namespace skyloom::host
