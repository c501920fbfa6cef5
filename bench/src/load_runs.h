// The AI engine's side of the end-to-end runs: a ZeroMQ publisher (the test host's) that sends
// 1.5 KB detection messages, spread round robin over the cameras, either as fast as it can or
// paced at a fixed rate. Each message carries its publish time (DeliverySink::nowUs()) as the
// track id of its one annotation, so that the far end can time it. Use from one thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <skyloom/testhost/ai_engine_publisher.h>

#include "delivery_sink.h"
#include "messages.h"

namespace skyloom::testhost { class AiEnginePublisher; }

namespace skyloom::bench {

/** What one or more runs of the same kind sent and delivered. */
struct RunResult
{
    uint64_t sent = 0;
    uint64_t delivered = 0;
    /** From the first send to the last delivery, summed over the runs. */
    double seconds = 0;
    /** From the first send to the last, summed over the runs (a paced run whose publisher
     * fell behind its schedule took longer than its duration). */
    double sendingSeconds = 0;
    /** False if deliveries were still coming in when a run gave up waiting for them. */
    bool drained = true;
    /** Publish-to-delivery times of every delivery, microseconds, unsorted. */
    std::vector<uint32_t> latenciesUs;

    double deliveredPerSecond() const { return seconds > 0 ? delivered / seconds : 0; }
    double lossPercent() const
    {
        return sent ? 100.0 * static_cast<double>(sent - std::min(sent, delivered)) / sent : 0;
    }

    /** Adds another run's figures to these. */
    void merge(const RunResult& other);
};

class LoadGenerator
{
public:
    /** Counts of what one camera's receiver has seen, stale deliveries included. */
    using Arrivals = std::function<int64_t(int camera)>;

    /** Throws std::runtime_error if the sample is unusable or the publisher cannot open. */
    LoadGenerator(int port, int maxCameras);
    /** A CurveZMQ client of the port. */
    LoadGenerator(int port, int maxCameras, const testhost::AiEnginePublisher::CurveKeys& keys);
    ~LoadGenerator();

    LoadGenerator(const LoadGenerator&) = delete;
    LoadGenerator& operator=(const LoadGenerator&) = delete;

    /** Size of one message (they differ only in the digits of the time). */
    size_t messageSize() const;

    /**
     * Sends stale probes to each of the first `cameras` cameras until each has seen one: the
     * connections of every hop are up. False on timeout.
     */
    bool waitUntilConnected(int cameras, const Arrivals& arrivals,
        std::chrono::milliseconds timeout);

    /** Sends for `duration` as fast as the publisher takes them; then waits for the tail. */
    RunResult flatOut(int cameras, DeliverySink* sink, std::chrono::milliseconds duration);

    /** Sends `ratePerSecond` messages a second (on a fixed schedule) for `duration`. */
    RunResult paced(int cameras, DeliverySink* sink, double ratePerSecond,
        std::chrono::milliseconds duration);

private:
    bool sendAt(int camera, int64_t publishUs);
    RunResult finish(DeliverySink* sink, int64_t startUs, int64_t lastSendUs, uint64_t sent);

private:
    std::unique_ptr<testhost::AiEnginePublisher> m_publisher;
    std::vector<MessageTemplate> m_templates; //< One per camera: the time is left to fill.
    std::string m_text;
};

} // namespace skyloom::bench
