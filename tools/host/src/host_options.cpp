#include "host_options.h"

#include <cstdint>
#include <cstdio>
#include <functional>

#include "doc_directory.h"
#include "command_line.h"
#include "option_values.h"

namespace skyloom::host {

namespace {

namespace setting = nx::vms_server_plugins::analytics::sample::setting;
using skyloom::tools::kDocDirectory;
using skyloom::tools::parseNumber;
using skyloom::tools::parseWhole;

std::string cameraIdProblem(const std::string& id)
{
    if (id.empty() || id == "{}")
        return "it is empty";
    for (const char c: id)
    {
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
            return "it holds a quote, a backslash or a control character";
    }
    return {};
}

struct State
{
    HostOptions options;
    int generatedCameras = 0;
};

using Handler = std::function<std::string(State*, const std::string&)>;

struct OptionDefinition
{
    const char* name;
    bool takesValue;
    Handler handler;
};

const std::vector<OptionDefinition>& optionDefinitions()
{
    static const std::vector<OptionDefinition> definitions{
        {"--plugin", true, [](State* s, const std::string& v) -> std::string
            {
                s->options.pluginPath = v;
                return {};
            }},
        {"--port", true, [](State* s, const std::string& v) -> std::string
            {
                int64_t port = 0;
                if (!parseWhole(v, 1, 65535, &port))
                    return "bad port '" + v + "': expected a whole number from 1 to 65535";
                s->options.port = static_cast<int>(port);
                return {};
            }},
        {"--cameras", true, [](State* s, const std::string& v) -> std::string
            {
                int64_t count = 0;
                if (!parseWhole(v, 1, 64, &count))
                    return "bad camera count '" + v + "': expected 1 to 64";
                s->generatedCameras = static_cast<int>(count);
                return {};
            }},
        {"--camera", true, [](State* s, const std::string& v) -> std::string
            {
                if (const std::string problem = cameraIdProblem(v); !problem.empty())
                    return "bad camera id '" + v + "': " + problem;
                s->options.cameraIds.push_back(bracedCameraId(v));
                return {};
            }},
        {"--fps", true, [](State* s, const std::string& v) -> std::string
            {
                if (!parseNumber(v, 0.1, 1000.0, &s->options.fps))
                    return "bad frame rate '" + v + "': expected 0.1 to 1000 frames per second";
                return {};
            }},
        {"--set", true, [](State* s, const std::string& v) -> std::string
            {
                const size_t equals = v.find('=');
                if (equals == std::string::npos || equals == 0)
                    return "bad setting '" + v + "': expected key=value";
                s->options.settings[v.substr(0, equals)] = v.substr(equals + 1);
                return {};
            }},
        {"--engine-set", true, [](State* s, const std::string& v) -> std::string
            {
                const size_t equals = v.find('=');
                if (equals == std::string::npos || equals == 0)
                    return "bad engine setting '" + v + "': expected key=value";
                s->options.engineSettings[v.substr(0, equals)] = v.substr(equals + 1);
                return {};
            }},
        {"--duration", true, [](State* s, const std::string& v) -> std::string
            {
                if (!parseNumber(v, 0.0, 31.0e6, &s->options.durationS))
                    return "bad duration '" + v + "': expected seconds, 0 or more";
                return {};
            }},
        {"--ready-timeout", true, [](State* s, const std::string& v) -> std::string
            {
                if (!parseNumber(v, 0.0, 3600.0, &s->options.readyTimeoutS))
                    return "bad ready timeout '" + v + "': expected 0 to 3600 seconds";
                return {};
            }},
        {"--svg", true, [](State* s, const std::string& v) -> std::string
            {
                if (v.empty())
                    return "--svg needs a directory";
                s->options.svgDir = v;
                return {};
            }},
        {"--expect", true, [](State* s, const std::string& v) -> std::string
            {
                if (v.empty())
                    return "--expect needs a file";
                s->options.expectPath = v;
                return {};
            }},
        {"--json", false, [](State* s, const std::string&) -> std::string
            {
                s->options.json = true;
                return {};
            }},
        {"--quiet", false, [](State* s, const std::string&) -> std::string
            {
                s->options.quiet = true;
                return {};
            }},
        {"-q", false, [](State* s, const std::string&) -> std::string
            {
                s->options.quiet = true;
                return {};
            }},
        {"--help", false, [](State* s, const std::string&) -> std::string
            {
                s->options.help = true;
                return {};
            }},
        {"-h", false, [](State* s, const std::string&) -> std::string
            {
                s->options.help = true;
                return {};
            }},
        {"--version", false, [](State* s, const std::string&) -> std::string
            {
                s->options.version = true;
                return {};
            }},
    };
    return definitions;
}

} // namespace

std::string generatedCameraId(int n)
{
    char text[64];
    // The first group differs, so that each camera's log prefix (its first characters) differs.
    std::snprintf(text, sizeof(text), "{%08llx-2ced-c84a-aa40-59a59f563488}",
        0x8f120e8aULL + static_cast<unsigned long long>(n - 1));
    return text;
}

std::string bracedCameraId(const std::string& id)
{
    if (id.size() >= 2 && id.front() == '{' && id.back() == '}')
        return id;
    return "{" + id + "}";
}

std::string unbracedCameraId(const std::string& cameraId)
{
    if (cameraId.size() >= 2 && cameraId.front() == '{' && cameraId.back() == '}')
        return cameraId.substr(1, cameraId.size() - 2);
    return cameraId;
}

std::string subscriptionPrefix(const std::string& cameraId)
{
    return "{\"src_uuid\":\"" + unbracedCameraId(cameraId) + "\"";
}

ParsedHostArgs parseHostArgs(const std::vector<std::string>& args)
{
    State state;
    skyloom::tools::CommandLine commandLine;
    for (const OptionDefinition& option: optionDefinitions())
    {
        const Handler& handler = option.handler;
        if (option.takesValue)
        {
            commandLine.value(option.name,
                [&state, &handler](const std::string& v) { return handler(&state, v); });
        }
        else
        {
            commandLine.flag(option.name, [&state, &handler]() { (void) handler(&state, ""); });
        }
    }
    std::vector<std::string> libraries;
    if (std::string error = commandLine.parse(args, &libraries); !error.empty())
        return {std::nullopt, error};
    for (const std::string& library: libraries)
    {
        if (!state.options.pluginPath.empty())
        {
            return {std::nullopt, "more than one plugin library: " + state.options.pluginPath
                + " and " + library};
        }
        state.options.pluginPath = library;
    }

    HostOptions& options = state.options;
    if (state.generatedCameras > 0 && !options.cameraIds.empty())
        return {std::nullopt, "give either --cameras N or --camera ID, not both"};
    for (int n = 1; n <= state.generatedCameras; ++n)
        options.cameraIds.push_back(generatedCameraId(n));
    if (options.cameraIds.empty())
        options.cameraIds.push_back(generatedCameraId(1));
    for (size_t i = 0; i < options.cameraIds.size(); ++i)
    {
        for (size_t j = 0; j < i; ++j)
        {
            if (options.cameraIds[i] == options.cameraIds[j])
                return {std::nullopt, "camera " + options.cameraIds[i] + " is given twice"};
        }
    }
    return {options, {}};
}

std::string hostUsage()
{
    return R"(Usage: skyloom-host [options] [--] [PLUGIN.so]

Plays the video-management server for an analytics plugin: loads the library as the server
does, creates its engine and one device agent per camera, feeds synthetic video frames and
prints every metadata packet that comes back.

Plugin and cameras:
  PLUGIN.so, --plugin PATH   the plugin library (default: the installed or built one)
  --port PORT        the engine setting )" + std::string(setting::kServicePort.name)
        + " (default " + setting::kServicePort.defaultValue.text + R"()
  --cameras N        N cameras with generated ids; camera 1 has the sample messages' id
  --camera ID        one camera with this device id (repeatable; braces optional)
  --fps F            compressed video frames per second per camera (default 30)
  --engine-set KEY=VALUE
                     an engine setting, on top of the model's defaults and --port
                     (repeatable), e.g. --engine-set )"
        + setting::kAllowedEngineAddresses.name + R"(=10.0.0.0/8
  --set KEY=VALUE    a per-camera setting, on top of the settings model's defaults
                     (repeatable), e.g. --set )" + setting::kEnableMetadata.name
        + "=true --set " + setting::kTimeCorrection.name + R"(=-200

Run and output:
  --duration S       stop after S seconds; 0 (the default) runs until Ctrl-C
  --ready-timeout S  how long to wait for the plugin to listen on PORT (default 15)
  --json             JSON Lines on standard output instead of one text line per packet
                     (fields, the summary's too: )" + std::string(kDocDirectory)
        + R"(/docs/troubleshooting.md)
  -q, --quiet        no line per packet: a progress line every 5 s and the summary
  --svg DIR          write DIR/camera-N.svg: the latest objects of each camera on a 16:9 frame
  --expect FILE      JSON list of packets every camera must receive (see
                     )" + std::string(kDocDirectory) + R"(/docs/troubleshooting.md)
  -h, --help         this text
  --version          the version and exit
  --                 the next argument is the plugin library, even if it begins with '-'

A line "skyloom-host: ready: the plugin listens on ENDPOINT" tells when the plugin reports
(diagnostic event "Listening for the AI engine") that it listens on PORT; it goes to standard
error with --json, where every line of the host's own goes. The plugin's diagnostic events are
printed as they come; an error-level one, or no ready within --ready-timeout, ends the run with
status 1. The working directory may be read-only (the plugin's log file is then not written).

At the end a summary is printed: per camera the packets the host received, then the plugin's
own counters, which the host has it write (engine setting )" + setting::kMetricsFile.name
        + R"(, a file in a private
temporary directory under $TMPDIR or /tmp, removed at exit; --engine-set )"
        + setting::kMetricsFile.name + R"(=PATH
names one to keep) and reads after releasing the plugin: per camera the messages received
and converted, the packets pushed and the messages dropped by reason; for the engine the
messages and bytes received at the service port, the messages relayed and meant for no
camera, the AI engines connected, their disconnects and the refused peers. Then a registry
check (plugin objects created vs destroyed); with --json also a last {"summary": ...} line.

Ctrl-C, SIGTERM or a closed standard output (a reader such as head that has had enough) ends
the run as --duration does: the plugin is released, the summary printed (to standard error
when standard output is closed) and the temporary directory removed; the exit status is the
run's.

Exit status:
  0  fine
  1  an expectation was not met, objects leaked or the plugin failed (an error event, not
     listening in time, no or a malformed metrics file)
  2  bad arguments, a setting that the plugin refused, or a library that is not a plugin

Examples:
  $ skyloom-host --cameras 2 --svg view
  $ skyloom-host --port 19911 --set enableMetadata=true --duration 60 --json > packets.jsonl

See also:
  skyloom-publish(1), skyloom-capture(1); )" + std::string(kDocDirectory) + R"(/README.md
)";
}

} // namespace skyloom::host
