// Command line of skyloom-capture: parsing into CaptureOptions and the usage text. Argument
// mistakes come back as one line of text, never as an exception. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace skyloom::capture {

struct CaptureOptions
{
    /**
     * Where to subscribe: another publisher (connect) or, with --listen, a bound port; empty:
     * the private diagnostic copy of the server run from serverDirectory (copy_discovery.h).
     */
    std::string endpoint;
    bool bind = false;
    std::string serverDirectory = ".";

    /** Only the messages of these cameras (device ids, braces stripped); empty: all. */
    std::vector<std::string> cameras;

    /** JSON Lines file to write; "-" for standard output. */
    std::string outputPath;

    /** Stop after this many messages; unset: no limit. */
    std::optional<int64_t> count;
    /** Stop after this many seconds; 0: no limit. */
    double durationS = 0.0;

    bool quiet = false;
    bool help = false;
    bool version = false;
};

struct ParsedCaptureArgs
{
    std::optional<CaptureOptions> options; //< Set when the arguments were good.
    std::string error; //< One line when they were not.
};

/** The arguments without the program name. */
ParsedCaptureArgs parseCaptureArgs(const std::vector<std::string>& args);

std::string captureUsage();

} // namespace skyloom::capture
