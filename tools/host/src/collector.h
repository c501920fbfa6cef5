// Gathers what skyloom-host sees during a run: per camera the packets, items by type id, the
// latest object of each track (for the SVG view) and the expectation matches. Written from the
// plugin's receive threads, read by the main thread: every member is under the one lock. What
// happened to the messages inside the plugin is its own counters' business (metrics_text.h).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nx/sdk/uuid.h>

#include <skyloom/testhost/records.h>

#include "expectations.h"

namespace skyloom::host {

struct LatestObject
{
    testhost::MetadataItemRecord item;
    int64_t timestampUs = 0;
    uint64_t sequence = 0; //< order of arrival, for drawing the newest on top
};

struct LatestEvent
{
    int64_t timestampUs = 0; //< Of its packet.
    std::string text; //< "caption (type)"
};

struct CameraStats
{
    std::string cameraId;
    int64_t packets = 0;
    int64_t objectPackets = 0;
    int64_t emptyObjectPackets = 0;
    int64_t eventPackets = 0;
    int64_t objects = 0;
    int64_t events = 0;
    int64_t lastTimestampUs = 0;
    std::map<std::string, int64_t> itemsByType;
    std::map<nx::sdk::Uuid, LatestObject> latestObjects;
    std::vector<LatestEvent> latestEvents; //< Newest last, a few only.
    std::vector<int> expectationMatches; //< per expectation, in the given order
};

struct RunStats
{
    std::vector<CameraStats> cameras;
};

class Collector
{
public:
    static constexpr size_t kMaxLatestObjects = 64;
    static constexpr size_t kMaxLatestEvents = 6;

    Collector(const std::vector<std::string>& cameraIds, std::vector<Expectation> expectations);

    /** cameraIndex is 0-based. */
    void addPacket(size_t cameraIndex, const testhost::MetadataPacketRecord& packet);

    const std::vector<Expectation>& expectations() const { return m_expectations; }

    RunStats snapshot() const;

private:
    void rememberObject(CameraStats* camera, const testhost::MetadataItemRecord& item,
        int64_t timestampUs);

private:
    const std::vector<Expectation> m_expectations;

    mutable std::mutex m_mutex; //< Guards everything below.
    RunStats m_stats;
    uint64_t m_sequence = 0;
};

/** The expectations some camera has not met, as lines "camera N: name (got k of m)". */
std::vector<std::string> unmetExpectations(
    const RunStats& stats, const std::vector<Expectation>& expectations);

/** Text tables: one row per camera, then items per type id and camera. */
std::string summaryText(const RunStats& stats);

} // namespace skyloom::host
