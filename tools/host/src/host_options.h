// Command line of skyloom-host: parsing into HostOptions and the usage text. Argument mistakes
// come back as one line of text, never as an exception. Pure functions; any thread.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "settings/settings_table.h"

namespace skyloom::host {

struct HostOptions
{
    /** Empty: the default plugin path (see resolvePluginPath() in main). */
    std::string pluginPath;

    /** The plugin's default service port. */
    int port = nx::vms_server_plugins::analytics::sample::setting::kServicePort.defaultValue
        .number();

    /** Device ids as the server reports them: in braces. */
    std::vector<std::string> cameraIds;

    double fps = 30.0;

    /** Engine settings given with --engine-set, over the model defaults and --port. */
    std::map<std::string, std::string> engineSettings;
    /** Per-camera settings given with --set, applied to every camera over the model defaults. */
    std::map<std::string, std::string> settings;

    /** Seconds from the first frame; 0 runs until interrupted. */
    double durationS = 0.0;

    bool json = false;
    bool quiet = false;
    std::string svgDir;
    std::string expectPath;

    /** How long to wait for the plugin to listen on the service port. */
    double readyTimeoutS = 15.0;

    bool help = false;
    bool version = false;
};

struct ParsedHostArgs
{
    std::optional<HostOptions> options; //< Set when the arguments were good.
    std::string error; //< One line when they were not.
};

/** Device id of the n-th generated camera (1-based); camera 1 is the sample messages' id. */
std::string generatedCameraId(int n);

/** The id in braces, as the server reports device ids; an id already in braces is kept. */
std::string bracedCameraId(const std::string& id);

/** The id as the plugin names the camera (in its subscription and counters): without braces. */
[[nodiscard]] std::string unbracedCameraId(const std::string& cameraId);

/** The plugin's subscription prefix for a device id: {"src_uuid":"<id without braces>". */
[[nodiscard]] std::string subscriptionPrefix(const std::string& cameraId);

/** The arguments without the program name. */
ParsedHostArgs parseHostArgs(const std::vector<std::string>& args);

std::string hostUsage();

} // namespace skyloom::host
