// The receiver's first step, before its threads, sockets and sandbox: out of whatever it shares
// with the server but the channel.
// - Its working directory becomes "/", which it cannot write and where no file of the server's
//   lies (it was the server's, with the diagnostic copy's socket within reach by a relative path).
// - When the engine names a user (a server run as root, ingress/receiver_user.h), the process
//   becomes that user: the capability bounding set emptied while it still may be (CAP_SETPCAP),
//   no supplementary group, then the group and the user, each real, effective and saved, which
//   leaves no capability and none to regain. The process is then not dumpable: processes of the
//   same user can neither trace it nor read its memory (the server's secret key is there).
// The descriptors that it was started with (the channel, /dev/null) stay usable; it opens none.
//
// A change of user clears the parent-death signal: set it after this.
//
// Threads: the receiver's main thread, while it is the only one.
#pragma once

#include <optional>
#include <string>

#include "ingress/receiver_user.h"

namespace nx::vms_server_plugins::analytics::sample {

/** What could not be left behind, if anything (the rest is done). */
[[nodiscard]] std::optional<std::string> leaveServerPlace(const std::optional<UserIds>& user);

/**
 * Empties the capability bounding set where the process may (it holds CAP_SETPCAP); nothing to do
 * where it may not: with no new privileges and no program to run (the sandbox), the bounding set
 * grants nothing anyway.
 */
[[nodiscard]] std::optional<std::string> dropBoundingSet();

} // namespace nx::vms_server_plugins::analytics::sample
