// How the tools end a long run early: SIGINT or SIGTERM sets a flag that their loops read, so
// that an interrupted run still closes its sockets, prints its summary and exits normally.
// stopOnSignals() once from the main thread; interrupted() from any thread.
#pragma once

namespace skyloom::tools {

/** Makes SIGINT and SIGTERM set the flag instead of ending the process. */
void stopOnSignals();

/** Whether SIGINT or SIGTERM has arrived since stopOnSignals(). */
[[nodiscard]] bool interrupted();

} // namespace skyloom::tools
