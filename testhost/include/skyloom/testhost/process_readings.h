// Readings of the host process itself, for the checks that a plugin leaves nothing behind
// (descriptors) and the benchmarks' figures. Plain functions; any thread.
#pragma once

namespace skyloom::testhost {

/** Open file descriptors of this process; -1 if they cannot be read. */
int openDescriptorCount();

} // namespace skyloom::testhost
