#include <skyloom/testhost/host_ref_countable.h>

namespace skyloom::testhost {

namespace {

std::atomic<int64_t> g_hostObjectsAlive{0};

} // namespace

namespace detail {

void hostObjectCreated() { ++g_hostObjectsAlive; }
void hostObjectDestroyed() { --g_hostObjectsAlive; }

} // namespace detail

int64_t hostObjectsAlive() { return g_hostObjectsAlive.load(); }

} // namespace skyloom::testhost
