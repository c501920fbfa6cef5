#include "capture_options.h"

#include <cmath>

#include "command_line.h"
#include "doc_directory.h"
#include "option_values.h"
#include "relay/diagnostic_copy_path.h"
#include "settings/settings_table.h"

namespace skyloom::capture {

namespace {

namespace setting = nx::vms_server_plugins::analytics::sample::setting;
constexpr const char* kCopyDirectory =
    nx::vms_server_plugins::analytics::sample::diagnostic_copy_path::kDirectory;
using skyloom::tools::kDocDirectory;
using skyloom::tools::parseNumber;

std::string applyValue(CaptureOptions* o, const std::string& name, const std::string& v)
{
    if (name == "--listen")
    {
        double port = 0;
        if (!parseNumber(v, 1, 65535, &port) || port != std::floor(port))
            return "bad port '" + v + "': expected a whole number from 1 to 65535";
        o->endpoint = "tcp://*:" + v;
        o->bind = true;
    }
    else if (name == "--connect")
    {
        if (v.rfind("tcp://", 0) != 0 && v.rfind("ipc://", 0) != 0)
            return "bad endpoint '" + v + "': expected tcp://HOST:PORT or ipc://PATH";
        o->endpoint = v;
        o->bind = false;
    }
    else if (name == "--server-dir")
    {
        if (v.empty())
            return "bad server directory '': expected the server's working directory";
        o->serverDirectory = v;
        o->endpoint.clear();
        o->bind = false;
    }
    else if (name == "--camera")
    {
        if (v.empty() || v.find_first_of("\"\\") != std::string::npos)
            return "bad camera id '" + v + "'";
        o->cameras.push_back(v);
    }
    else if (name == "--count")
    {
        double count = 0;
        if (!parseNumber(v, 1, 9.0e15, &count) || count != std::floor(count))
            return "bad count '" + v + "': expected a whole number above 0";
        o->count = static_cast<int64_t>(count);
    }
    else if (name == "--duration")
    {
        if (!parseNumber(v, 0.0, 31.0e6, &o->durationS))
            return "bad duration '" + v + "': expected seconds, 0 or more (0: until Ctrl-C)";
    }
    return {};
}

} // namespace

ParsedCaptureArgs parseCaptureArgs(const std::vector<std::string>& args)
{
    CaptureOptions options;
    skyloom::tools::CommandLine commandLine;
    for (const char* name: {"--listen", "--connect", "--server-dir", "--camera", "--count",
        "--duration"})
    {
        commandLine.value(name, [&options, name](const std::string& value)
            { return applyValue(&options, name, value); });
    }
    commandLine.flag("-q,--quiet", [&options]() { options.quiet = true; });
    commandLine.flag("-h,--help", [&options]() { options.help = true; });
    commandLine.flag("--version", [&options]() { options.version = true; });
    std::vector<std::string> outputs;
    if (std::string error = commandLine.parse(args, &outputs); !error.empty())
        return {std::nullopt, error};
    if (outputs.size() > 1)
        return {std::nullopt, "more than one output file: " + outputs[0] + " and " + outputs[1]};
    if (outputs.empty() && !options.help && !options.version)
        return {std::nullopt, "no output file (see --help)"};
    options.outputPath = outputs.empty() ? std::string() : outputs[0];
    return {options, {}};
}

std::string captureUsage()
{
    return R"(Usage: skyloom-capture [options] [--] OUTPUT

Records the AI engine's messages with the time each was received, one JSON Lines record per
message: {"receivedUs": <wall clock in microseconds>, "message": "<the text, exactly>"}. A
message that is not UTF-8 cannot be a JSON text as it is: its record holds the text with U+FFFD
for each bad byte and, in "messageBase64", its exact bytes, which replay sends.
skyloom-publish replays such a file, at its recorded pace with --pace recorded.

Where from (one of):
  (default)          the diagnostic copy of the plugin of a server run from the current
                     directory: every message that reached the plugin (engine setting
                     )" + std::string(setting::kLoopbackRelay.name) + ", "
        + (setting::kLoopbackRelay.defaultValue.isTrue() ? "on" : "off") + R"( by default, with )"
        + std::string(setting::kLoopbackRelayEndpoint.name) + R"(
                     empty, the default). The plugin keeps it as a local socket in
                     <server directory>/)" + std::string(kCopyDirectory) + R"(/, a directory
                     that only the server's user can open: run skyloom-capture as that user,
                     e.g. sudo -u SERVER_USER skyloom-capture OUTPUT.
                     Before connecting, the copy is checked as the plugin makes it: the
                     directory is no symbolic link, belongs to the user who runs
                     skyloom-capture and is writable by no other user, in a server directory
                     where no other user may rename entries; the socket is no symbolic link and
                     belongs to that user too. Anything else may have been put there by another
                     user to feed forged messages: it is refused (exit status 3)
  --server-dir DIR   the same for a server whose working directory (where its log files are)
                     is DIR
  --listen PORT      listen on tcp://*:PORT in place of the plugin (the engine connects to it)
  --connect ENDPOINT
                     subscribe to another publisher (tcp://HOST:PORT or ipc://PATH), e.g. the
                     copy of an engine whose )" + std::string(setting::kLoopbackRelayEndpoint.name)
        + R"( names one; a socket in a
                     )" + std::string(kCopyDirectory) + R"( directory (one of several engines'
                     copies) is checked as above

What and how long:
  --camera ID        only this camera's messages ("src_uuid" = ID, braces stripped); repeat it
                     for several
  --count N          stop after N messages
  --duration S       stop after S seconds; 0 (the default) runs until Ctrl-C
  OUTPUT             the file to write (replaced); - for standard output

  -q, --quiet        no line per message; a progress line every 5 s and the final report
  -h, --help         this text
  --version          the version and exit

Ctrl-C (SIGINT), SIGTERM or a closed standard output (a reader such as head that has had
enough) ends a recording as --count and --duration do: what was received is kept, the final
report is printed (to standard error, as always) and the exit status says whether anything was
recorded.

Exit status:
  0  something was recorded
  1  nothing was received (no diagnostic copy found, no message came), or writing OUTPUT
     failed while recording
  2  bad arguments, or OUTPUT cannot be created
  3  refused: the diagnostic copy found is not one that the plugin made for this user (a
     symbolic link, another user's directory or socket, a directory that another user may
     write)

Examples:
  $ skyloom-capture --duration 60 recorded.jsonl
  $ skyloom-capture --listen 9911 --count 100 engine.jsonl
  $ skyloom-publish --pace recorded recorded.jsonl

See also:
  skyloom-publish(1), skyloom-host(1); )" + std::string(kDocDirectory) + R"(/docs/troubleshooting.md
)";
}

} // namespace skyloom::capture
