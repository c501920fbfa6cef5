// Finds the private diagnostic copy of a server run from a given directory: the socket that the
// plugin's engine keeps in <server directory>/skyloom_diagnostic_copy/. It is checked as the
// plugin checks what it makes, before anything connects: the directory no symbolic link, owned
// by the user who runs skyloom-capture (the server's: only that user may read the copy) and
// writable by no other user, in a server directory where no other user may rename entries; the
// socket no symbolic link and owned by that user too. Anything else may have been put there by
// another local user to feed forged messages: it is refused (DiscoveredCopy::refused). The
// directory is opened once and the endpoint leads through its descriptor ("/proc/self/fd/N/
// NAME"), so that a rename after the checks cannot lead the connection elsewhere; the descriptor
// lives in DiscoveredCopy, which must outlive every use of the endpoint. Main thread.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/checked_directory.h"

namespace skyloom::capture {

struct DiscoveredCopy
{
    std::string endpoint; //< What to connect to, through `directory`, if found.
    std::string shown; //< The same as the user knows it: "ipc://<directory>/<name>".
    std::string error; //< One line when not found or refused.
    bool refused = false; //< Something is there, but not to be trusted (`error` says why).
    nx::vms_server_plugins::analytics::sample::DirectoryDescriptor directory;
};

/**
 * The one live copy in the server directory; with `socketName` ("1a2b3c4d.ipc"), that one
 * alone.
 */
[[nodiscard]] DiscoveredCopy findDiagnosticCopy(
    const std::string& serverDirectory, const std::string& socketName = {});

/**
 * The server directory of "ipc://PATH" when PATH names a socket in a private copy's directory
 * (.../skyloom_diagnostic_copy/NAME), and NAME; nothing for any other endpoint.
 */
[[nodiscard]] std::optional<std::pair<std::string, std::string>> privateCopyOf(
    const std::string& endpoint);

} // namespace skyloom::capture
