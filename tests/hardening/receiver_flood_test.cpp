// Floods of the service port that the receiver process bears alone: unfinished messages of
// megabyte frames on four connections, five million empty frames of one message, a hundred frames
// announced at the largest size the port takes and never finished, and more connections than the
// receiver has descriptors for. After each, with the peers gone, the server (this process) has
// the descriptors it had before and at most a little more resident memory, a receiver runs (the
// same one, or a new one that the operator was told about), and an honest AI engine's message
// reaches its camera again. Then an outsider that keeps opening connections that are refused
// (its address not allowed, or beyond the cap of one address) and holds them: the honest AI
// engine connects within moments all along, and the receiver holds few descriptors. One engine
// for all tests, one camera each, in the order written.
#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <skyloom/testhost/raw_zmtp_peer.h>

#include "hardening_support.h"

namespace skyloom::hardening {
namespace {

using namespace std::chrono;
using nx::sdk::IPluginDiagnosticEvent;
using testhost::RawZmtpPeer;

const int kServicePort = testhost::testPort(0);
constexpr char kEngineId[] = "{f1a2b3c4-0000-4000-8000-000000000045}";
constexpr char kRestartedCaption[] = "AI engine receiver restarted";
constexpr char kDyingCaption[] = "AI engine receiver keeps dying";

constexpr int64_t kMiB = 1024 * 1024;
/** What the server may have grown by once a flood that only the receiver reads is over. */
constexpr int64_t kServerGrowthKiB = 5 * 1024;
/** The receiver's address-space limit (SandboxLimits::kAddressSpace): its resident memory too. */
constexpr int64_t kReceiverLimitKiB = 1024 * 1024;
constexpr milliseconds kSettleTimeout = 10s;
constexpr milliseconds kRecoveryTimeout = 10s;
/** How long a flood's connections stay open once it has sent all it could. */
constexpr milliseconds kHold = 1s;

bool sanitized()
{
    return builtWithAddressSanitizer() || builtWithThreadSanitizer();
}

/** Open descriptors of a process; -1 if they cannot be read. */
int descriptorsOf(pid_t pid)
{
    DIR* const dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir))
        count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return count;
}

/** Waits until exactly one receiver runs; its pid, or -1. */
pid_t waitForReceiver(milliseconds timeout)
{
    const auto deadline = steady_clock::now() + timeout;
    for (;;)
    {
        const std::vector<pid_t> receivers = testhost::receiverProcesses();
        if (receivers.size() == 1)
            return receivers.front();
        if (steady_clock::now() >= deadline)
            return -1;
        std::this_thread::sleep_for(10ms);
    }
}

/**
 * Watches the receiver processes from a thread of its own until stopped: the highest resident
 * memory and descriptor count any of them reached, and how many there were. Read after stop().
 */
class ReceiverWatch
{
public:
    ReceiverWatch(): m_thread([this]() { run(); }) {}
    ~ReceiverWatch() { stop(); }
    ReceiverWatch(const ReceiverWatch&) = delete;
    ReceiverWatch& operator=(const ReceiverWatch&) = delete;

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

    int64_t peakResidentKiB() const { return m_peakResidentKiB; }
    int peakDescriptors() const { return m_peakDescriptors; }
    size_t receiversSeen() const { return m_seen.size(); }

private:
    void run()
    {
        while (!m_stop)
        {
            for (const pid_t pid: testhost::receiverProcesses())
            {
                m_seen.insert(pid);
                m_peakResidentKiB = std::max(m_peakResidentKiB, residentKiB(pid));
                m_peakDescriptors = std::max(m_peakDescriptors, descriptorsOf(pid));
            }
            std::this_thread::sleep_for(10ms);
        }
    }

    std::atomic<bool> m_stop{false};
    int64_t m_peakResidentKiB = 0;
    int m_peakDescriptors = 0;
    std::set<pid_t> m_seen;
    std::thread m_thread; //< Last: starts once the members above are made.
};

/**
 * Opens TCP connections to the service port from a loopback address of its own, at a steady
 * rate, from a thread of its own, and holds every one open and silent until stopped: an outsider
 * that would keep the receiver's descriptors taken. Read after stop().
 */
class ConnectionChurn
{
public:
    ConnectionChurn(const char* sourceAddress, int port, int perSecond):
        m_thread([=]() { run(sourceAddress, port, perSecond); })
    {
    }
    ~ConnectionChurn() { stop(); }
    ConnectionChurn(const ConnectionChurn&) = delete;
    ConnectionChurn& operator=(const ConnectionChurn&) = delete;

    /** Stops opening, closes every connection; how many were opened. */
    int stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        const int opened = static_cast<int>(m_held.size());
        m_held.clear();
        return opened;
    }

    int failures() const { return m_failures; }

private:
    void run(const char* sourceAddress, int port, int perSecond)
    {
        const auto pause = microseconds(1'000'000 / perSecond);
        auto next = steady_clock::now();
        while (!m_stop)
        {
            auto peer = std::make_unique<RawZmtpPeer>(port, sourceAddress);
            if (peer->connected())
                m_held.push_back(std::move(peer));
            else
                ++m_failures;
            next += pause;
            std::this_thread::sleep_until(next); //< The pace of the load, not a wait for a result.
        }
    }

    std::atomic<bool> m_stop{false};
    std::atomic<int> m_failures{0};
    std::vector<std::unique_ptr<RawZmtpPeer>> m_held;
    std::thread m_thread; //< Last: starts once the members above are made.
};

struct ServerReading
{
    int64_t residentKiB = 0;
    int descriptors = 0;
};

ServerReading readServer()
{
    return {residentKiB(), openDescriptorCount()};
}

/** Waits until the server is back to `before`: its descriptors, its memory within bounds. */
ServerReading settledServer(const ServerReading& before)
{
    const auto deadline = steady_clock::now() + kSettleTimeout;
    for (;;)
    {
        const ServerReading now = readServer();
        const bool memoryBack =
            sanitized() || now.residentKiB - before.residentKiB < kServerGrowthKiB;
        if ((now.descriptors == before.descriptors && memoryBack)
            || steady_clock::now() >= deadline)
        {
            return now;
        }
        std::this_thread::sleep_for(50ms);
    }
}

class ReceiverFloodTest: public SharedEngineSuite<ReceiverFloodTest>
{
protected:
    static void SetUpTestSuite()
    {
        // The flood of connections holds more descriptors than the usual soft limit of 1024.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
        startSharedEngine(kServicePort, kEngineId);
    }

    virtual void TearDown() override
    {
        s_engine.handler->clear();
        expectOnlyEngineLeft();
    }

    static void setSettings(testhost::Settings settings)
    {
        settings["ServicePort"] = std::to_string(kServicePort);
        const auto result = testhost::doSetSettings(s_engine.engine.get(), settings);
        EXPECT_TRUE(result.isOk() && result.errors.empty());
    }

    /**
     * Runs `flood` against camera n, which receives before it: the flood closes its connections
     * before it returns what it sent. Then checks the server, the receiver and a new delivery.
     */
    static void expectOnlyTheReceiverBears(int n, const std::function<std::string()>& flood)
    {
        OpenCamera camera(n);
        s_engine.handler->clear();
        const pid_t receiver = waitForReceiver(kSettleTimeout);
        ASSERT_GT(receiver, 0) << "no receiver process";
        int64_t packets = camera.handler->packets();
        const auto arrived = [&]() { return camera.handler->packets() > packets; };
        ASSERT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.camera.id, "before"), arrived));
        // The same receiver still: the one that listens, and the flood's baseline.
        ASSERT_EQ(receiver, waitForReceiver(kSettleTimeout))
            << "the receiver died before the flood (its log lines tell why)";

        const ServerReading before = readServer();
        // The watch's readings open descriptors: it runs between the server's readings only.
        ReceiverWatch watch;
        const std::string sent = flood();
        watch.stop();
        const ServerReading after = settledServer(before);
        const pid_t survivor = waitForReceiver(kSettleTimeout);

        const bool restarted = survivor != receiver;
        std::cout << "[ MEASURED ] " << sent << ": server resident memory " << std::showpos
            << after.residentKiB - before.residentKiB << std::noshowpos << " KiB, descriptors "
            << before.descriptors << " -> " << after.descriptors << "; receiver peak "
            << watch.peakResidentKiB() / 1024 << " MiB resident, " << watch.peakDescriptors()
            << " descriptors, " << (restarted ? "restarted" : "not restarted") << " ("
            << watch.receiversSeen() << " receivers seen, "
            << countEvents(*s_engine.handler, kRestartedCaption) << " restart events, "
            << countEvents(*s_engine.handler, kDyingCaption) << " keeps-dying events)"
            << std::endl;

        EXPECT_EQ(before.descriptors, after.descriptors);
        if (!sanitized()) //< Their allocators keep memory; the receiver has no address-space limit.
        {
            EXPECT_LT(after.residentKiB - before.residentKiB, kServerGrowthKiB);
            EXPECT_LE(watch.peakResidentKiB(), kReceiverLimitKiB) << "no address-space limit";
        }
        ASSERT_GT(survivor, 0) << "no receiver runs after the flood";
        if (restarted)
        {
            EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
                kRestartedCaption, "", kSettleTimeout));
        }
        packets = camera.handler->packets();
        EXPECT_TRUE(deliverUntil(kServicePort, alarmMessage(camera.camera.id, "after"), arrived,
            kRecoveryTimeout)) << "the honest engine did not get through";
    }
};

TEST_F(ReceiverFloodTest, UnfinishedMessagesOfMegabyteFramesOnFourConnections)
{
    constexpr int kConnections = 4;
    const int framesEach = sanitized() ? 64 : 512; //< 2 GiB in all: twice the receiver's limit.
    expectOnlyTheReceiverBears(1, [&]()
        {
            const std::string frame(kMiB, 'x');
            std::vector<std::unique_ptr<RawZmtpPeer>> peers;
            for (int i = 0; i < kConnections; ++i)
            {
                peers.push_back(std::make_unique<RawZmtpPeer>(kServicePort));
                EXPECT_TRUE(peers.back()->handshake()) << "connection " << i;
            }
            std::atomic<int64_t> sent{0};
            std::vector<std::thread> senders;
            for (const auto& peer: peers)
            {
                senders.emplace_back([&, peer = peer.get()]()
                    {
                        // A send fails once the receiver has cut the connection (out of
                        // memory for it) or died of the flood: the end.
                        for (int i = 0; i < framesEach && peer->sendFrame(frame, /*more*/ true);
                            ++i)
                        {
                            ++sent;
                        }
                    });
            }
            for (auto& sender: senders)
                sender.join();
            std::this_thread::sleep_for(kHold);
            peers.clear();
            return std::to_string(sent.load()) + " of " + std::to_string(kConnections)
                + " x " + std::to_string(framesEach) + " unfinished 1 MiB frames sent";
        });
}

TEST_F(ReceiverFloodTest, FiveMillionEmptyFramesOfOneMessage)
{
    constexpr int64_t kFrames = 5'000'000; //< 9.5 MiB on the wire.
    expectOnlyTheReceiverBears(2, []()
        {
            RawZmtpPeer peer(kServicePort);
            EXPECT_TRUE(peer.handshake());
            const bool whole = peer.sendFrames("", /*more*/ true, kFrames);
            std::this_thread::sleep_for(kHold);
            return std::to_string(kFrames) + " empty frames of one message"
                + (whole ? "" : " (cut short)");
        });
}

TEST_F(ReceiverFloodTest, HundredFramesAnnouncedAtTheLargestSizeAndNeverFinished)
{
    constexpr int kConnections = 100;
    constexpr uint64_t kAnnounced = 4 * kMiB; //< The largest message the service port takes.
    // Two addresses: one may hold 64 connections.
    const char* const sources[] = {"127.0.0.1", "127.0.0.2"};
    expectOnlyTheReceiverBears(3, [&]()
        {
            const std::string allButTheLastByte(kAnnounced - 1, 'x');
            std::vector<std::unique_ptr<RawZmtpPeer>> peers;
            int started = 0;
            for (int i = 0; i < kConnections; ++i)
            {
                peers.push_back(std::make_unique<RawZmtpPeer>(kServicePort, sources[i % 2]));
                if (peers.back()->handshake()
                    && peers.back()->sendFrameStart(kAnnounced, allButTheLastByte))
                {
                    ++started;
                }
            }
            EXPECT_EQ(kConnections, started) << "a receiver well within its limits refused";
            std::this_thread::sleep_for(kHold);
            peers.clear();
            return std::to_string(started) + " of " + std::to_string(kConnections)
                + " 4 MiB frames sent but their last byte";
        });
}

TEST_F(ReceiverFloodTest, MoreConnectionsThanTheReceiverHasDescriptorsFor)
{
    constexpr int kConnections = 1100;
    expectOnlyTheReceiverBears(4, [&]()
        {
            std::vector<std::unique_ptr<RawZmtpPeer>> peers;
            int connected = 0;
            int greeted = 0;
            for (int i = 0; i < kConnections; ++i)
            {
                peers.push_back(std::make_unique<RawZmtpPeer>(kServicePort));
                // Those beyond the cap of one address are hung up at once (their greeting may
                // fail); any beyond the receiver's descriptors would wait in its listen queue.
                if (!peers.back()->connected())
                    continue;
                ++connected;
                greeted += peers.back()->sendHandshake() ? 1 : 0;
            }
            EXPECT_EQ(kConnections, connected) << "neither accepted nor in the listen queue";
            std::this_thread::sleep_for(kHold);
            peers.clear();
            return std::to_string(connected) + " of " + std::to_string(kConnections)
                + " connections made, " + std::to_string(greeted) + " greeted";
        });
}

TEST_F(ReceiverFloodTest, RefusedConnectionsChurnedFromAnotherAddressAreHungUpAtOnce)
{
    constexpr int kPerSecond = 100;
    constexpr milliseconds kChurn = 10s;
    /** Longer than this, an AI engine (re)starting at the wrong moment would miss its metadata. */
    constexpr milliseconds kConnectBound = 2s;
    /** The receiver's descriptors: its own and the cap of one address (64), far from 1088. */
    constexpr int kDescriptorBound = 200;
    const struct
    {
        const char* name;
        const char* allowed;
        const char* reason;
    } rows[] = {
        {"outside the allow-list", "127.0.0.1", "address not allowed"},
        {"beyond the cap of one address", "", "too many connections"},
    };
    OpenCamera camera(5);
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        setSettings({{"AllowedEngineAddresses", row.allowed}});
        s_engine.handler->clear();
        const pid_t receiver = waitForReceiver(kSettleTimeout);
        ASSERT_GT(receiver, 0) << "no receiver process";
        const double cpuBefore = testhost::cpuSeconds(receiver);

        ReceiverWatch watch;
        ConnectionChurn churn("127.0.0.2", kServicePort, kPerSecond);
        milliseconds slowest{0};
        int connects = 0;
        const auto end = steady_clock::now() + kChurn;
        while (steady_clock::now() < end)
        {
            const int64_t packets = camera.handler->packets();
            const auto start = steady_clock::now();
            const bool arrived = deliverUntil(kServicePort,
                alarmMessage(camera.camera.id, "honest"),
                [&]() { return camera.handler->packets() > packets; });
            const auto took = duration_cast<milliseconds>(steady_clock::now() - start);
            EXPECT_TRUE(arrived) << "connect " << connects;
            EXPECT_LE(took.count(), kConnectBound.count()) << "connect " << connects;
            slowest = std::max(slowest, took);
            ++connects;
        }
        const int opened = churn.stop();
        watch.stop();
        const double cpu = testhost::cpuSeconds(receiver) - cpuBefore;
        std::cout << "[ MEASURED ] " << row.name << ": " << opened << " connections held open"
            << " from 127.0.0.2 in " << kChurn.count() / 1000 << " s (" << churn.failures()
            << " failed); receiver peak " << watch.peakDescriptors() << " descriptors, "
            << static_cast<int>(100 * cpu / (kChurn.count() / 1000.0)) << " % of a core; "
            << connects << " honest connections, slowest delivered in " << slowest.count()
            << " ms" << std::endl;

        EXPECT_GT(opened, kChurn.count() / 1000 * kPerSecond / 2) << "the churn fell short";
        EXPECT_LT(watch.peakDescriptors(), kDescriptorBound);
        EXPECT_EQ(receiver, waitForReceiver(kSettleTimeout)) << "the receiver was replaced";
        EXPECT_TRUE(waitForEvent(*s_engine.handler, IPluginDiagnosticEvent::Level::warning,
            "AI engine refused", std::string("127.0.0.2: ") + row.reason, kSettleTimeout));
    }
    setSettings({{"AllowedEngineAddresses", ""}});
}

} // namespace
} // namespace skyloom::hardening
