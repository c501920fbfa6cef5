// Ports for tests that run side by side (ctest -j, a plain and a sanitizer build, two checkouts on
// one machine). Each test process is handed a block of kPortsPerProcess ports that no other
// process using this function holds while it lives (a lock file per block under /tmp, held until
// the process ends), each of them free to bind when the block was taken. The blocks lie below the
// kernel's range of ephemeral ports, so that no outgoing connection takes one meanwhile.
// A test whose subject is a fixed port (the default service port, the old port of the diagnostic
// copy) holds that port with holdFixedPorts(), which waits for any other test process on the
// machine that holds it.
//
// Threads: any; the block is taken once per process.
#pragma once

#include <initializer_list>
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

/**
 * Waits until no other test process on this machine holds any of the fixed ports, then holds
 * them until this process ends (taken in ascending order, so that two processes never wait for
 * each other). Ports this process holds already are skipped.
 */
void holdFixedPorts(std::initializer_list<int> ports);

} // namespace skyloom::testhost
