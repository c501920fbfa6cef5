// Command line of skyloom-publish: parsing into PublishOptions and the usage text. Argument
// mistakes come back as one line of text, never as an exception. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "settings/settings_table.h"

namespace skyloom::publish {

struct PublishOptions
{
    std::string host = "127.0.0.1";
    /** The plugin's default service port. */
    int port = nx::vms_server_plugins::analytics::sample::setting::kServicePort.defaultValue
        .number();

    /**
     * --connect: the service ports of several servers, each "tcp://HOST:PORT"; the one socket
     * connects to all, as a site's AI engine does. Empty: --host and --port.
     */
    std::vector<std::string> connect;

    /** A JSON Lines file, a directory of message files or "-" (standard input); empty: none. */
    std::string sourcePath;
    /** --samples: the built-in sample messages, asked for by name. */
    bool samples = false;

    /** Each message goes to each of these cameras in turn; empty keeps every "src_uuid". */
    std::vector<std::string> cameras;

    /** CurveZMQ: the server's public certificate and this AI engine's secret one. */
    std::string serverKeyFile;
    std::string keyFile;

    double ratePerSecond = 10.0;

    /** How sends are spaced: by --rate, or by the receive times of a capture (--speed). */
    enum class Pace { rate, recorded };
    Pace pace = Pace::rate;
    /** With Pace::recorded: 2 replays twice as fast, 0.5 at half speed. */
    double speed = 1.0;

    /** Stop after this many sends; unset sends the set once (or forever with loop). */
    std::optional<int64_t> count;

    /**
     * --stamp-delay: each message sent carries as the engine's frame time this process's wall
     * clock minus `ms`, give or take up to `jitterMs` (uniformly), as an AI engine would that
     * answers that late.
     */
    struct StampDelay
    {
        int64_t ms = 0;
        int64_t jitterMs = 0;
    };
    std::optional<StampDelay> stampDelay;

    bool loop = false;
    /** Wait for the plugin's subscription before sending, for up to waitTimeoutS seconds. */
    bool wait = true;
    double waitTimeoutS = 10.0;
    /** Without the wait: how long to wait after connecting before the first send. */
    int settleMs = 1000;
    bool compact = false;
    bool check = true;
    /** Send nothing; run each message through the plugin's own handling in-process. */
    bool offlineCheck = false;
    /** Send nothing; print each message as it would be sent. */
    bool print = false;
    /** Results of the offline check as JSON Lines. */
    bool json = false;
    /** Device agent settings for the offline check, over the settings model's defaults. */
    std::map<std::string, std::string> settings;
    bool quiet = false;
    bool help = false;
    bool version = false;
    bool listSamples = false;

    std::string endpoint() const { return "tcp://" + host + ":" + std::to_string(port); }

    /** Where the socket connects: every --connect, or --host and --port. */
    std::vector<std::string> endpoints() const
    {
        return connect.empty() ? std::vector<std::string>{endpoint()} : connect;
    }

    /** The endpoints, comma-separated, for messages. */
    std::string endpointsText() const
    {
        std::string text;
        for (const std::string& endpoint: endpoints())
            text += (text.empty() ? "" : ", ") + endpoint;
        return text;
    }
};

struct ParsedArgs
{
    /** Set when the arguments were good. */
    std::optional<PublishOptions> options;

    /** One line when they were not. */
    std::string error;
};

/** The arguments without the program name. */
ParsedArgs parsePublishArgs(const std::vector<std::string>& args);

std::string publishUsage();

} // namespace skyloom::publish
