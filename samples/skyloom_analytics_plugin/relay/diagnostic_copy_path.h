// Where an engine's private diagnostic copy listens: a local socket in a directory of its own
// under the server's working directory, named after the engine, so that a tool run as the
// server's user in (or pointed at) that directory finds it. Shared with skyloom-capture, which
// looks there; constants and pure functions only, any thread.
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace nx::vms_server_plugins::analytics::sample::diagnostic_copy_path {

/** The directory, beside the log files in the server's working directory. */
inline constexpr const char* kDirectory = "skyloom_diagnostic_copy";
inline constexpr const char* kSuffix = ".ipc";
/** The name of an engine whose id is not known yet. */
inline constexpr const char* kUnnamedEngine = "engine";
/**
 * Characters of the engine id in the name: enough to tell engines apart, few enough that the
 * socket's path fits a local socket address (107 bytes) under a deep working directory.
 */
inline constexpr size_t kIdCharacters = 8;

/** The socket's file name for an engine id ("{1a2b3c4d-...}" gives "1a2b3c4d.ipc"). */
inline std::string socketName(std::string_view engineId)
{
    std::string name;
    for (const char c: engineId)
    {
        if (name.size() == kIdCharacters)
            break;
        // The server's ids are UUIDs; anything else is left out rather than put into a path.
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '-')
            name += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return (name.empty() ? std::string(kUnnamedEngine) : name) + kSuffix;
}

} // namespace nx::vms_server_plugins::analytics::sample::diagnostic_copy_path
