// Ports for tests that run side by side (ctest -j, a plain and a sanitizer build, two checkouts on
// one machine). Each test process is handed a block of kPortsPerProcess ports that no other
// process using this function holds while it lives (a lock file per block under /tmp, held until
// the process ends), each of them free to bind when the block was taken. The blocks lie below the
// kernel's range of ephemeral ports, so that no outgoing connection takes one meanwhile.
//
// Threads: any; the block is taken once per process.
#pragma once

#include <string>

namespace skyloom::testhost {

constexpr int kPortsPerProcess = 16;

/**
 * The `index`-th port of this process's block (0 <= index < kPortsPerProcess). Ends the process
 * with a message if no block can be taken: a test cannot run without its ports.
 */
int testPort(int index);

/** testPort(index) as text, for command lines and settings. */
std::string testPortText(int index);

} // namespace skyloom::testhost
