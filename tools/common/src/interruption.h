// How the tools end a long run early: SIGINT or SIGTERM sets a flag that their loops read, so
// that an interrupted run still closes its sockets, prints its summary and exits normally. A
// closed standard output (its reader has gone, as `| head -2` does once it has its lines) ends
// the run the same way instead of killing the process with SIGPIPE; what the tool still has to
// say then goes to standard error (reportStream()).
// stopOnSignals() once from the main thread; the rest from any thread.
#pragma once

#include <ostream>

namespace skyloom::tools {

/**
 * Makes SIGINT and SIGTERM set the flag instead of ending the process, and ignores SIGPIPE: a
 * write to a closed pipe fails instead, and outputClosed() tells.
 */
void stopOnSignals();

/** Whether SIGINT or SIGTERM has arrived since stopOnSignals(), or outputClosed(). */
[[nodiscard]] bool interrupted();

/**
 * Whether standard output has lost its reader (a pipe or socket whose other end was closed) or
 * its terminal; once true, it stays true. A regular file, /dev/null or a closed descriptor is
 * never "closed" in this sense.
 */
[[nodiscard]] bool outputClosed();

/** Standard output, or standard error once standard output is closed: for final reports. */
[[nodiscard]] std::ostream& reportStream();

} // namespace skyloom::tools
