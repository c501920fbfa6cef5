#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>

#include "envelope.h"

namespace skyloom::publish {

namespace {

/** Whole decimal number within [min, max], nothing before or after it. */
bool parseWhole(const std::string& text, int64_t min, int64_t max, int64_t* outValue)
{
    if (text.empty() || text.find_first_not_of("0123456789-+") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < min || value > max)
        return false;
    *outValue = value;
    return true;
}

bool parsePositiveNumber(const std::string& text, double* outValue)
{
    if (text.empty() || text.find_first_of(" \t") != std::string::npos)
        return false;
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value <= 0)
        return false;
    *outValue = value;
    return true;
}

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
        {"--samples", [](PublishOptions*) {}},
        {"--loop", [](PublishOptions* o) { o->loop = true; }},
        {"--compact", [](PublishOptions* o) { o->compact = true; }},
        {"--no-check", [](PublishOptions* o) { o->check = false; }},
        {"--dry-run", [](PublishOptions* o) { o->dryRun = true; }},
        {"--quiet", [](PublishOptions* o) { o->quiet = true; }},
        {"-q", [](PublishOptions* o) { o->quiet = true; }},
        {"--list-samples", [](PublishOptions* o) { o->listSamples = true; }},
        {"--help", [](PublishOptions* o) { o->help = true; }},
        {"-h", [](PublishOptions* o) { o->help = true; }},
    };
    return options;
}

} // namespace

ParsedArgs parsePublishArgs(const std::vector<std::string>& args)
{
    PublishOptions options;
    bool samplesChosen = false;
    for (size_t i = 0; i < args.size(); ++i)
    {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const size_t equals = name.find('='); name.rfind("--", 0) == 0
            && equals != std::string::npos)
        {
            value = name.substr(equals + 1);
            name.resize(equals);
        }

        if (const auto flag = flagOptions().find(name); flag != flagOptions().end())
        {
            if (value)
                return {std::nullopt, "option " + name + " takes no value"};
            if (name == "--samples" && !options.sourcePath.empty())
                return {std::nullopt, "more than one message source: " + options.sourcePath
                    + " and --samples"};
            flag->second(&options);
            samplesChosen = samplesChosen || name == "--samples";
            continue;
        }
        if (const auto option = valueOptions().find(name); option != valueOptions().end())
        {
            if (!value)
            {
                if (i + 1 >= args.size())
                    return {std::nullopt, "option " + name + " needs a value"};
                value = args[++i];
            }
            if (std::string error = option->second(&options, *value); !error.empty())
                return {std::nullopt, error};
            continue;
        }
        if (name.size() > 1 && name[0] == '-')
            return {std::nullopt, "unknown option " + name + " (see --help)"};
        if (samplesChosen)
            return {std::nullopt, "more than one message source: --samples and " + name};
        if (!options.sourcePath.empty())
            return {std::nullopt, "more than one message source: " + options.sourcePath
                + " and " + name};
        options.sourcePath = name;
    }
    if (options.serverKeyFile.empty() != options.keyFile.empty())
        return {std::nullopt, "--server-key and --key go together"};
    return {options, {}};
}

std::string publishUsage()
{
    return R"(usage: skyloom-publish [options] [FILE | DIR | --samples]

Plays the AI engine: publishes JSON messages with a ZeroMQ PUB socket that connects to the
plugin's service port, after checking that each one would reach a camera.

Messages:
  FILE             JSON Lines: every non-blank line is one message
  DIR              every *.json file in it is one message, in name order
  --samples        the built-in sample messages (also when no source is named)
  --list-samples   print the names of the built-in samples and exit

Where and how:
  --host HOST      the plugin's server (default 127.0.0.1)
  --port PORT      the engine's "ServicePort" (default 9911)
  --camera ID      set "src_uuid" to this device id, braces stripped; repeat it to send
                   every message to several cameras
  --server-key FILE  encrypt with CurveZMQ: the server's public certificate (FILE.key)
  --key FILE       with --server-key: this AI engine's secret certificate (NAME.key_secret),
                   whose public one is in the engine's "AuthorizedEnginesDirectory"
  --rate R         messages per second (default 10)
  --count N        stop after N messages
  --loop           repeat the messages until --count is reached or Ctrl-C
  --settle-ms MS   wait after connecting, so the subscription is up (default 1000)
  --compact        re-write each message as compact JSON, members in their order
  --no-check       also send messages that fail the envelope check
  --dry-run        print the messages that would be sent, send nothing
  -q, --quiet      only problems and the final report
  -h, --help       this text

Certificates:
  skyloom-publish --make-certificate NAME DIR
                   write a CurveZMQ key pair as DIR/NAME.key (public) and DIR/NAME.key_secret
                   (secret, mode 0600), the layout of pyzmq's zmq.auth.create_certificates

Exit status: 0 all sent, 1 a message was rejected or nothing could be sent, 2 bad arguments.
)";
}

} // namespace skyloom::publish
