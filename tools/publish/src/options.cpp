#include "options.h"

#include <functional>
#include <map>

#include "doc_directory.h"
#include "envelope.h"
#include "ingress/service_socket.h"
#include "command_line.h"
#include "option_values.h"

namespace skyloom::publish {

namespace {

namespace setting = nx::vms_server_plugins::analytics::sample::setting;
using nx::vms_server_plugins::analytics::sample::ServiceSocket;
using nx::vms_server_plugins::analytics::sample::Setting;
using skyloom::tools::kDocDirectory;
using skyloom::tools::parsePositiveNumber;
using skyloom::tools::parseWhole;

using ValueHandler = std::function<std::string(PublishOptions*, const std::string&)>;
using FlagHandler = std::function<void(PublishOptions*)>;

const std::map<std::string, ValueHandler>& valueOptions()
{
    static const std::map<std::string, ValueHandler> options{
        {"--host", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (v.empty() || v.find_first_of(" /") != std::string::npos)
                    return "bad host '" + v + "'";
                o->host = v;
                return {};
            }},
        {"--connect", [](PublishOptions* o, const std::string& v) -> std::string
            {
                // HOST:PORT, with or without the tcp:// that ZeroMQ wants.
                const std::string endpoint = v.rfind("tcp://", 0) == 0 ? v : "tcp://" + v;
                const size_t colon = endpoint.rfind(':');
                int64_t port = 0;
                if (colon <= std::string("tcp://").size()
                    || !parseWhole(endpoint.substr(colon + 1), 1, 65535, &port)
                    || endpoint.find_first_of(" /", 6) != std::string::npos)
                {
                    return "bad endpoint '" + v + "': expected HOST:PORT or tcp://HOST:PORT";
                }
                o->connect.push_back(endpoint);
                return {};
            }},
        {"--server-key", [](PublishOptions* o, const std::string& v) -> std::string
            {
                o->serverKeyFile = v;
                return v.empty() ? "--server-key needs a file" : "";
            }},
        {"--key", [](PublishOptions* o, const std::string& v) -> std::string
            {
                o->keyFile = v;
                return v.empty() ? "--key needs a file" : "";
            }},
        {"--port", [](PublishOptions* o, const std::string& v) -> std::string
            {
                int64_t port = 0;
                if (!parseWhole(v, 1, 65535, &port))
                    return "bad port '" + v + "': expected a whole number from 1 to 65535";
                o->port = static_cast<int>(port);
                return {};
            }},
        {"--camera", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (const std::string problem = cameraIdProblem(v); !problem.empty())
                    return "bad camera id '" + v + "': " + problem;
                o->cameras.push_back(v);
                return {};
            }},
        {"--rate", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (!parsePositiveNumber(v, &o->ratePerSecond))
                    return "bad rate '" + v + "': expected messages per second above 0";
                return {};
            }},
        {"--count", [](PublishOptions* o, const std::string& v) -> std::string
            {
                int64_t count = 0;
                if (!parseWhole(v, 1, INT64_MAX, &count))
                    return "bad count '" + v + "': expected a whole number above 0";
                o->count = count;
                return {};
            }},
        {"--pace", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (v == "rate")
                    o->pace = PublishOptions::Pace::rate;
                else if (v == "recorded")
                    o->pace = PublishOptions::Pace::recorded;
                else
                    return "bad pace '" + v + "': expected rate or recorded";
                return {};
            }},
        {"--speed", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (!parsePositiveNumber(v, &o->speed) || o->speed > 1000)
                    return "bad speed '" + v + "': expected a factor above 0, at most 1000";
                o->pace = PublishOptions::Pace::recorded;
                return {};
            }},
        {"--stamp-delay", [](PublishOptions* o, const std::string& v) -> std::string
            {
                const size_t colon = v.find(':');
                PublishOptions::StampDelay delay;
                if (!parseWhole(v.substr(0, colon), 0, 600000, &delay.ms)
                    || (colon != std::string::npos
                        && !parseWhole(v.substr(colon + 1), 0, delay.ms, &delay.jitterMs)))
                {
                    return "bad stamp delay '" + v + "': expected MS or MS:JITTER, "
                        "milliseconds from 0 to 600000, the jitter at most MS";
                }
                o->stampDelay = delay;
                return {};
            }},
        {"--set", [](PublishOptions* o, const std::string& v) -> std::string
            {
                const size_t equals = v.find('=');
                if (equals == 0 || equals == std::string::npos)
                    return "bad setting '" + v + "': expected NAME=VALUE";
                o->settings[v.substr(0, equals)] = v.substr(equals + 1);
                return {};
            }},
        {"--wait-timeout", [](PublishOptions* o, const std::string& v) -> std::string
            {
                if (!parsePositiveNumber(v, &o->waitTimeoutS) || o->waitTimeoutS > 3600)
                    return "bad wait timeout '" + v + "': expected seconds above 0, at most 3600";
                return {};
            }},
        {"--settle-ms", [](PublishOptions* o, const std::string& v) -> std::string
            {
                int64_t ms = 0;
                if (!parseWhole(v, 0, 600000, &ms))
                    return "bad settle time '" + v + "': expected 0 to 600000 milliseconds";
                o->settleMs = static_cast<int>(ms);
                return {};
            }},
    };
    return options;
}

const std::map<std::string, FlagHandler>& flagOptions()
{
    static const std::map<std::string, FlagHandler> options{
        {"--samples", [](PublishOptions* o) { o->samples = true; }},
        {"--loop", [](PublishOptions* o) { o->loop = true; }},
        {"--no-wait", [](PublishOptions* o) { o->wait = false; }},
        {"--compact", [](PublishOptions* o) { o->compact = true; }},
        {"--no-check", [](PublishOptions* o) { o->check = false; }},
        {"--check", [](PublishOptions* o) { o->offlineCheck = true; }},
        {"--dry-run", [](PublishOptions* o) { o->offlineCheck = true; }},
        {"--print", [](PublishOptions* o) { o->print = true; }},
        {"--json", [](PublishOptions* o) { o->json = true; }},
        {"--version", [](PublishOptions* o) { o->version = true; }},
        {"-q,--quiet", [](PublishOptions* o) { o->quiet = true; }},
        {"--list-samples", [](PublishOptions* o) { o->listSamples = true; }},
        {"-h,--help", [](PublishOptions* o) { o->help = true; }},
    };
    return options;
}

std::string setSource(PublishOptions* options, const std::string& path)
{
    if (options->samples)
        return "more than one message source: --samples and " + path;
    if (!options->sourcePath.empty())
        return "more than one message source: " + options->sourcePath + " and " + path;
    options->sourcePath = path;
    return {};
}

/** The setting's name in quotes, as the usage names it. */
std::string quoted(const Setting& row)
{
    return std::string("\"") + row.name + "\"";
}

/** NAME=DEFAULT, as --set takes it. */
std::string withDefault(const Setting& row)
{
    return std::string(row.name) + "=" + row.defaultValue.text;
}

} // namespace

ParsedArgs parsePublishArgs(const std::vector<std::string>& args)
{
    PublishOptions options;
    skyloom::tools::CommandLine commandLine;
    for (const auto& [name, handler]: valueOptions())
    {
        commandLine.value(name,
            [&options, handler = handler](const std::string& v) { return handler(&options, v); });
    }
    for (const auto& [names, handler]: flagOptions())
        commandLine.flag(names, [&options, handler = handler]() { handler(&options); });
    std::vector<std::string> sources;
    if (std::string error = commandLine.parse(args, &sources); !error.empty())
        return {std::nullopt, error};
    for (const std::string& source: sources)
    {
        if (std::string error = setSource(&options, source); !error.empty())
            return {std::nullopt, error};
    }
    if (options.serverKeyFile.empty() != options.keyFile.empty())
        return {std::nullopt, "--server-key and --key go together"};
    if (options.offlineCheck && options.print)
        return {std::nullopt, "--check and --print cannot be combined"};
    if (options.json && !options.offlineCheck)
        return {std::nullopt, "--json goes with --check"};
    if (!options.settings.empty() && !options.offlineCheck)
        return {std::nullopt, "--set goes with --check (the plugin's settings are the server's)"};
    return {options, {}};
}

std::string publishUsage()
{
    return R"(Usage: skyloom-publish [options] [--] [FILE | DIR | - | --samples]
   or: skyloom-publish --make-certificate NAME DIR [--replace]

Plays the AI engine: publishes JSON messages with a ZeroMQ XPUB socket that connects to the
plugin's service port, after checking that each one would reach a camera. It sends once the
plugin has subscribed (which also shows that the plugin admitted it), never waits for room,
and counts as not sent what is due while the plugin is not subscribed or its queue is full.
With --check it sends nothing and tells, per message, what the plugin would make of it.

An AI engine must write each message as one compact JSON object whose first member is
"src_uuid", the camera's device id without braces, in the server's letter case: the text must
begin with the exact bytes {"src_uuid":"<id>" (UTF-8, no byte order mark, no blank anywhere in
that head). It may be at most )" + std::to_string(ServiceSocket::kMaxMessageSize)
        + R"( bytes long (the plugin closes the connection that sends
more). In Python, with "src_uuid" put into the dict first (dicts keep their order):
  message = {"src_uuid": "8f120e8a-2ced-c84a-aa40-59a59f563488", "event": {...}}
  socket.send(json.dumps(message, separators=(",", ":")).encode("utf-8"))
(json.dumps without separators puts a blank after the colon; sort_keys=True moves "src_uuid";
)" + kDocDirectory + R"(/docs/message-format.md has the details.)

Messages (one source; without one, standard input, or the built-in samples when standard
input is a terminal):
  FILE             JSON Lines: every non-blank line is one message; a file that holds one
                   JSON object over several lines (pretty-printed) is one message; a capture
                   of skyloom-capture replays the messages it recorded
  DIR              every *.json file in it is one message, in name order
  -                standard input, read as a FILE
  --samples        the built-in sample messages
  --list-samples   print the names of the built-in samples and exit
  --               the next argument is the source, even if it begins with '-'

Where and how:
  --host HOST      the plugin's server (default 127.0.0.1)
  --port PORT      the engine's )" + quoted(setting::kServicePort) + " (default "
        + setting::kServicePort.defaultValue.text + R"()
  --connect HOST:PORT
                   connect to this service port instead; repeat it to publish to several
                   servers at once, as a site's AI engine does: each message goes only to
                   the servers subscribed to it (all of them, or with )"
        + quoted(setting::kReceiveMessagesFor) + " " + setting::kOwnCameras + R"(
                   the one that holds its camera); a message that no server subscribed to
                   is not sent but counted)
  --camera ID      set "src_uuid" to this device id, braces stripped; repeat it to send
                   every message to several cameras
  --server-key FILE
                   encrypt with CurveZMQ: the server's public certificate (FILE.key)
  --key FILE       with --server-key: this AI engine's secret certificate (NAME.key_secret),
                   whose public one is in the engine's )"
        + quoted(setting::kAuthorizedEnginesDirectory) + R"(
  --rate R         messages per second (default 10)
  --pace PACE      rate (default): spaced by --rate; recorded: at the receive times of a
                   capture of skyloom-capture (each message after the first waits as long
                   after it as it did when recorded)
  --speed X        with the recorded pace, X times faster (0.5: half speed); implies it
  --stamp-delay MS[:JITTER]
                   stamp each message sent with the time of the frame it describes, as an
                   AI engine that answers MS milliseconds late (give or take up to JITTER)
                   would: this machine's clock minus the delay, in the alarm's
                   "event"."vid_ts_us", else the top-level "timestamp" (microseconds); the
                   plugin measures the delay from it (skyloom-host shows it)
  --count N        stop after N messages
  --loop           repeat the messages until --count is reached or Ctrl-C
  --wait-timeout S
                   how long to wait for the plugin's subscription before sending (default 10;
                   the plugin listens some 5 s after its engine starts); without one in time:
                   "not admitted or nothing listening", nothing sent, exit status 1
  --no-wait        send on schedule from the start; what is due while the plugin is not
                   subscribed is counted as not sent
  --settle-ms MS   with --no-wait: wait MS after connecting before the first send (default 1000)
  --compact        re-write each message as compact JSON, members in their order
  --no-check       also send messages that fail the envelope check (never one that is too
                   large: the plugin would close the connection)
  -q, --quiet      only problems, a progress line every 5 s and the final report

Checking without sending:
  --check          run each message through the plugin's own handling in this process, as
                   the agent of its camera would after a video frame (track caches kept from
                   message to message); print what the server would receive or why (part
                   of) it would be dropped; exit status 1 if anything would be dropped
  --dry-run        the same as --check
  --set NAME=VALUE
                   a device agent setting for --check, over the settings model's defaults
                   ()" + withDefault(setting::kShowCounter) + " "
        + withDefault(setting::kSkipNullFaceObject) + " "
        + withDefault(setting::kSkipNullPlateObject) + R"(
                   )" + withDefault(setting::kEnableMetadata) + " "
        + withDefault(setting::kEnableDebugDump) + " " + withDefault(setting::kTimeCorrection)
        + R"()
  --json           the results of --check as JSON Lines (fields:
                   )" + kDocDirectory + R"(/docs/troubleshooting.md)
  --print          print the messages as they would be sent (after --camera, --compact)

  -h, --help       this text
  --version        the version and exit

Certificates:
  --make-certificate NAME DIR
                   write a CurveZMQ key pair as DIR/NAME.key (public) and DIR/NAME.key_secret
                   (secret, mode 0600), the layout of pyzmq's zmq.auth.create_certificates, and
                   tell where each file goes; an existing pair is kept (exit status 1)
  --replace        with --make-certificate: replace an existing pair (whatever holds the old
                   keys is no longer admitted)

The last line says "sent N messages (M not sent) to ENDPOINT". Ctrl-C, SIGTERM or a closed
standard output (a reader such as head that has had enough) ends a run early, with the exit
status of what was done so far; the last line then goes to standard error.

Exit status:
  0  something was sent and no message rejected (with --check: nothing would be dropped)
  1  a message was rejected or would be dropped, the plugin did not subscribe in time,
     nothing was sent, or a certificate pair exists already
  2  bad arguments or an unreadable source

Examples:
  $ skyloom-publish --check messages.jsonl
  $ engine-simulator | skyloom-publish --check --json
  $ skyloom-publish --host SERVER --camera CAMERA_ID --samples
  $ skyloom-publish --make-certificate engine1 .

See also:
  skyloom-host(1), skyloom-capture(1); )" + kDocDirectory + R"(/README.md
)";
}

} // namespace skyloom::publish
