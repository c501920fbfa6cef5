// How far from the frame it was computed from a box lands on the video timeline: one camera of
// the loaded plugin gets video frames at 25 fps (each stamped with the wall clock as it is
// pushed, as a server's are); a simulated AI engine picks every frame and answers it a random
// 100-300 ms later, naming the frame's time in "meta"."timestamp" and the frame's number in its
// track id. The stamping error of a packet is its timestamp minus the time of the frame named.
//
// Threads: runStamping() on the caller's thread; it pushes the frames and publishes from there
// and the agent's receive thread records the packets.
#pragma once

#include <chrono>
#include <string>

#include "plugin_rig.h"
#include "stats.h"

namespace skyloom::bench {

struct StampingResult
{
    LatencySummary error; //< |packet time - named frame time|, microseconds.
    int64_t messages = 0; //< Sent.
    int64_t packets = 0; //< Received with a frame number.
};

/**
 * Runs the simulation for `duration` on a camera of its own with the camera setting
 * "timestampSource" at `source`. Throws std::runtime_error if nothing gets through.
 */
StampingResult runStamping(PluginRig* plugin, int servicePort, const std::string& source,
    std::chrono::seconds duration);

} // namespace skyloom::bench
