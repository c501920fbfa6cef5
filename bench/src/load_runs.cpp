#include "load_runs.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include <sys/prctl.h>

#include <skyloom/testhost/ai_engine_publisher.h>

namespace skyloom::bench {

using namespace std::chrono;

namespace {

/** A run is over once nothing has arrived for this long. */
constexpr milliseconds kQuietPeriod{500};
constexpr milliseconds kDrainLimit{30000};
constexpr milliseconds kProbeInterval{50};

} // namespace

LoadGenerator::LoadGenerator(int port, int maxCameras):
    LoadGenerator(port, maxCameras, testhost::AiEnginePublisher::CurveKeys{})
{
}

LoadGenerator::LoadGenerator(
    int port, int maxCameras, const testhost::AiEnginePublisher::CurveKeys& keys):
    m_publisher(std::make_unique<testhost::AiEnginePublisher>(port, keys))
{
    if (!m_publisher->isOpen())
        throw std::runtime_error(m_publisher->errorText());

    const MessageTemplate sample(readSampleMessage("01_meta_face.json"), {"src_uuid", "track_id"});
    for (int camera = 0; camera < maxCameras; ++camera)
    {
        m_templates.emplace_back(
            sample.make({jsonString(cameraId(camera)), "0"}), std::vector<std::string>{"track_id"});
    }
}

LoadGenerator::~LoadGenerator() = default;

size_t LoadGenerator::messageSize() const
{
    std::string text;
    m_templates.at(0).makeInto(&text, std::to_string(DeliverySink::nowUs()));
    return text.size();
}

bool LoadGenerator::sendAt(int camera, int64_t publishUs)
{
    m_templates[static_cast<size_t>(camera)].makeInto(&m_text, std::to_string(publishUs));
    return m_publisher->send(m_text);
}

bool LoadGenerator::waitUntilConnected(int cameras, const Arrivals& arrivals,
    milliseconds timeout)
{
    std::vector<int64_t> before;
    for (int camera = 0; camera < cameras; ++camera)
        before.push_back(arrivals(camera));

    const auto deadline = steady_clock::now() + timeout;
    while (steady_clock::now() < deadline)
    {
        bool all = true;
        for (int camera = 0; camera < cameras; ++camera)
        {
            if (arrivals(camera) > before[static_cast<size_t>(camera)])
                continue;
            all = false;
            sendAt(camera, /*publishUs*/ 0); //< Older than any run: stale.
        }
        if (all)
            return true;
        std::this_thread::sleep_for(kProbeInterval);
    }
    return false;
}

RunResult LoadGenerator::flatOut(int cameras, DeliverySink* sink, milliseconds duration)
{
    const int64_t startUs = DeliverySink::nowUs();
    sink->startRun(startUs);
    const int64_t endUs = startUs + duration_cast<microseconds>(duration).count();

    uint64_t sent = 0;
    int64_t now = startUs;
    for (; now < endUs; now = DeliverySink::nowUs())
    {
        if (sendAt(static_cast<int>(sent % static_cast<uint64_t>(cameras)), now))
            ++sent;
    }
    return finish(sink, startUs, now, sent);
}

RunResult LoadGenerator::paced(int cameras, DeliverySink* sink, double ratePerSecond,
    milliseconds duration)
{
    const int64_t startUs = DeliverySink::nowUs();
    sink->startRun(startUs);
    const auto total = static_cast<uint64_t>(
        ratePerSecond * static_cast<double>(duration.count()) / 1000.0);
    const double intervalUs = 1e6 / ratePerSecond;
    // Precise sleeps: the default timer slack (50 us) is half the interval at 10,000 a second.
    // Only for this thread and only while it paces: threads started later inherit the slack.
    const int slackNs = prctl(PR_GET_TIMERSLACK, 0UL, 0UL, 0UL, 0UL);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const auto startTime = steady_clock::now();

    uint64_t sent = 0;
    for (uint64_t n = 0; n < total; ++n)
    {
        // A fixed schedule: a late wake-up is made up by sending the overdue messages at once.
        const auto due = startTime + microseconds(static_cast<int64_t>(n * intervalUs));
        std::this_thread::sleep_until(due);
        if (sendAt(static_cast<int>(n % static_cast<uint64_t>(cameras)), DeliverySink::nowUs()))
            ++sent;
    }
    const int64_t lastSendUs = DeliverySink::nowUs();
    if (slackNs > 0)
        prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slackNs), 0UL, 0UL, 0UL);
    return finish(sink, startUs, lastSendUs, sent);
}

RunResult LoadGenerator::finish(
    DeliverySink* sink, int64_t startUs, int64_t lastSendUs, uint64_t sent)
{
    RunResult result;
    result.sent = sent;
    result.sendingSeconds = (lastSendUs - startUs) / 1e6;
    result.drained = sink->waitQuiet(kQuietPeriod, kDrainLimit);
    result.delivered = sink->delivered();
    const int64_t lastUs = sink->lastDeliveryUs();
    result.seconds = lastUs > startUs ? (lastUs - startUs) / 1e6 : 0;
    result.latenciesUs = sink->latencies();
    return result;
}

void RunResult::merge(const RunResult& other)
{
    sent += other.sent;
    delivered += other.delivered;
    seconds += other.seconds;
    sendingSeconds += other.sendingSeconds;
    drained = drained && other.drained;
    latenciesUs.insert(latenciesUs.end(), other.latenciesUs.begin(), other.latenciesUs.end());
}

} // namespace skyloom::bench
