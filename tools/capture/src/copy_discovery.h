// Finds the private diagnostic copy of a server run from a given directory: the socket that the
// plugin's engine keeps in <server directory>/skyloom_diagnostic_copy/. That directory has mode
// 0700 and belongs to the server's user, so only that user (or root) can find and open it; the
// failures say so. A socket whose path is too long for a local socket's address is named from
// its directory, which then becomes the process's working directory: call it once the output
// file is open, from the main thread.
#pragma once

#include <string>

namespace skyloom::capture {

struct DiscoveredCopy
{
    std::string endpoint; //< "ipc://<absolute path>" (or "ipc://<name>", see above) if found.
    std::string error; //< One line when not.
};

[[nodiscard]] DiscoveredCopy findDiagnosticCopy(const std::string& serverDirectory);

} // namespace skyloom::capture
