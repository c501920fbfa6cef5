// The engine's side of a receiver process, against stand-in receivers (shell scripts started the
// same way): what a receiver sends arrives as messages, a malformed frame or an exit ends it and
// a new one is started and told, with what was lost counted, the configuration and the
// subscriptions are sent again to each new one, with the port that listened last, and a
// receiver's events beyond its budget are left out; one that never ran fails; a child killed
// but not yet reaped is reaped later (ChildReaper).
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ingress/isolated_ingress.h"
#include "ingress/listener_config.h"

namespace nx::vms_server_plugins::analytics::sample {
namespace {

using namespace std::chrono_literals;

struct RecordingSink: IngressSink
{
    void event(Level level, const std::string& caption, const std::string& description) override
    {
        events.push_back({level, caption, description});
    }
    void refused(const std::string&, const std::string&) override {}
    void connected(const std::string& address) override { connections.push_back(address); }
    void disconnected(const std::string& address) override { disconnections.push_back(address); }

    struct Event
    {
        Level level;
        std::string caption;
        std::string description;
    };
    std::vector<Event> events;
    std::vector<std::string> connections;
    std::vector<std::string> disconnections;
};

struct RecordingConsumer: IngressConsumer
{
    void deliver(zmq::message_t& message, const char* userId, const char* peer) override
    {
        messages.emplace_back(static_cast<const char*>(message.data()), message.size());
        users.emplace_back(userId ? userId : "");
        peers.emplace_back(peer ? peer : "");
    }
    std::vector<std::string> messages;
    std::vector<std::string> users;
    std::vector<std::string> peers;
};

/** The absolute path of a file in the working directory. */
std::string workPath(const std::string& name)
{
    char* const directory = get_current_dir_name();
    const std::string path = std::string(directory) + "/" + name;
    std::free(directory);
    return path;
}

/** A stand-in receiver: a script in the working directory; its absolute path. */
/** An engine's side of one receiver: the ingress with what it reports to. */
struct Rig
{
    explicit Rig(const std::string& receiver, int workingPort = 0):
        ingress(receiver, logUtils, sink, counters, reaper, budgets, workingPort)
    {
    }

    nx::sdk::LogUtils logUtils{/*enableOutput*/ true, ""};
    RecordingSink sink;
    EngineCounters counters;
    ChildReaper reaper;
    IngressBudgets budgets;
    RecordingConsumer consumer;
    IsolatedIngress ingress;
};

std::string writeReceiver(const std::string& name, const std::string& body)
{
    const std::string path = workPath(name);
    std::ofstream(path, std::ios::trunc) << "#!/bin/sh\n" << body << "\n";
    chmod(path.c_str(), 0755);
    return path;
}

/** Runs the relay's side of the loop for a while. */
void pump(IsolatedIngress& ingress, IngressConsumer& consumer, std::chrono::milliseconds duration)
{
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end)
    {
        const auto now = std::chrono::steady_clock::now();
        ingress.tick(now);
        zmq::pollitem_t item = ingress.pollItem();
        const auto wait = std::min(ingress.untilDue(now), std::chrono::milliseconds(20));
        if (zmq_poll(&item, 1, static_cast<long>(wait.count())) > 0 && item.revents != 0)
            ingress.receive(consumer, 256);
    }
}

int countCaption(const RecordingSink& sink, const std::string& caption)
{
    int count = 0;
    for (const auto& event: sink.events)
        count += event.caption == caption ? 1 : 0;
    return count;
}

TEST(IsolatedIngress, MalformedFrameEndsTheReceiverAfterWhatCameBeforeIt)
{
    // A message "hi" from "engine-a" at 10.0.0.5, a connection, then a frame of type 'Z'.
    const std::string receiver = writeReceiver("malformed-receiver",
        "printf '\\026\\000\\000\\000M\\010\\000engine-a\\010\\00010.0.0.5hi"
        "\\010\\000\\000\\000C10.0.0.5\\000\\000\\000\\000Z' >&3\nexec /bin/sleep 30");
    Rig rig(receiver);
    auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
    ASSERT_FALSE(ingress.failed()) << *ingress.failed();
    const pid_t first = ingress.pid();

    pump(ingress, consumer, 500ms);
    ASSERT_LE(1u, consumer.messages.size());
    EXPECT_EQ("hi", consumer.messages[0]);
    EXPECT_EQ("engine-a", consumer.users[0]);
    EXPECT_EQ("10.0.0.5", consumer.peers[0]);
    EXPECT_NE(first, ingress.pid()) << "the receiver that sent the bad frame still runs";
    EXPECT_LE(1u, counters.receiverRestarts.load());
    ASSERT_LE(1, countCaption(sink, kReceiverRestartedCaption));
    EXPECT_EQ("sent a malformed frame (frame of an unknown type); killed by signal 9 (Killed)",
        sink.events[0].description);
    // Its connection ended with it.
    EXPECT_EQ(std::vector<std::string>{"10.0.0.5"},
        std::vector<std::string>(sink.disconnections.begin(), sink.disconnections.begin() + 1));
}

/**
 * A receiver that answers nothing (its loop stuck) is asked once, then killed and restarted; one
 * that answers the ping is left running.
 */
TEST(IsolatedIngress, HungReceiverWasNeverNoticed)
{
    // Reads its pings and answers each with a pong (an empty 'O' frame).
    const std::string answering = writeReceiver("answering-receiver",
        "while dd bs=5 count=1 <&3 2>/dev/null | grep -q P;"
        " do printf '\\000\\000\\000\\000O' >&3; done; exec /bin/sleep 30");
    const std::string silent = writeReceiver("silent-receiver", "exec /bin/sleep 30");
    const struct
    {
        const char* name;
        const std::string& executable;
        bool restarted;
    } cases[] = {{"answering", answering, false}, {"silent", silent, true}};
    for (const auto& c: cases)
    {
        Rig rig(c.executable);
        auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
        ASSERT_FALSE(ingress.failed()) << c.name;
        const pid_t first = ingress.pid();
        auto now = std::chrono::steady_clock::now();
        ingress.checkAlive(now); //< Silent so far: pinged.
        pump(ingress, consumer, 300ms);
        ingress.checkAlive(now + 60s);
        EXPECT_EQ(c.restarted, first != ingress.pid()) << c.name;
        EXPECT_EQ(c.restarted ? 1u : 0u, counters.receiverRestarts.load()) << c.name;
        if (c.restarted)
        {
            ASSERT_EQ(1, countCaption(sink, kReceiverRestartedCaption)) << c.name;
            EXPECT_EQ("did not answer for 60 s; killed by signal 9 (Killed)",
                sink.events[0].description);
        }
    }
}

TEST(IsolatedIngress, ReceiverThatKeepsExitingIsStartedAtMostOnceASecondAndTold)
{
    // Each one runs: it writes a log line ("x") before it exits.
    const std::string receiver = writeReceiver("exiting-receiver",
        "printf '\\001\\000\\000\\000Lx' >&3\nexit 3");
    Rig rig(receiver);
    auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
    ASSERT_FALSE(ingress.failed());

    pump(ingress, consumer, 2500ms);
    // Three at once, then one a second: about five deaths in 2.5 s, never dozens.
    const uint64_t restarts = counters.receiverRestarts.load();
    EXPECT_GE(restarts, 4u);
    EXPECT_LE(restarts, 6u);
    EXPECT_EQ(1, countCaption(sink, kReceiverDyingCaption));
    ASSERT_LE(1, countCaption(sink, kReceiverRestartedCaption));
    EXPECT_EQ("exited with status 3", sink.events[0].description);
    EXPECT_FALSE(ingress.failed()) << "a receiver that ran is started again, however often";
}

// A receiver that the dynamic loader could not start (status 127 before main) was started once a
// second for ever with "keeps dying", while a missing one made the relay take the port over.
TEST(IsolatedIngress, ReceiverEndingBeforeItsFirstFrameKeptDyingInsteadOfFailing)
{
    // The third row's receiver has exited when its configuration is written: the failed write
    // was taken for the engine ending it, and the receiver was started again for ever.
    const struct
    {
        const char* name;
        const char* body;
        const char* failure;
        std::chrono::milliseconds configureAfter;
    } rows[] = {
        {"loader-fails-receiver", "exit 127", "exited with status 127 before it started", 0ms},
        {"terminated-receiver", "kill -TERM $$",
            "killed by signal 15 (Terminated) before it started", 0ms},
        {"gone-before-its-configuration", "exit 127", "exited with status 127 before it started",
            300ms},
    };
    for (const auto& row: rows)
    {
        SCOPED_TRACE(row.name);
        const std::string receiver = writeReceiver(row.name, row.body);
        Rig rig(receiver);
        auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
        // Started: the failure comes from the ends that follow. (After the configuration it
        // may already have come, when a slow machine lets the receivers end within the call.)
        ASSERT_FALSE(ingress.failed());
        std::this_thread::sleep_for(row.configureAfter);
        ingress.configure(9950, std::make_shared<IngressPolicy>());

        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (!ingress.failed() && std::chrono::steady_clock::now() < deadline)
            pump(ingress, consumer, 20ms);
        ASSERT_TRUE(ingress.failed());
        EXPECT_EQ(row.failure, *ingress.failed());
        EXPECT_EQ(uint64_t(IsolatedIngress::kReceiverSilentEnds),
            counters.receiverRestarts.load());
        EXPECT_EQ(-1, ingress.pid());
        EXPECT_EQ(0, countCaption(sink, kReceiverDyingCaption));
        EXPECT_EQ(std::chrono::hours(1), ingress.untilDue(std::chrono::steady_clock::now()));
    }
}

// A receiver started after one that listened was told only the port asked for: when that could
// not be bound (another program's), nothing listened any more.
TEST(IsolatedIngress, NewReceiverWasNotToldThePortThatListened)
{
    const std::string record = workPath("configurations-recorded");
    std::remove(record.c_str());
    const std::string frames = workPath("listening-frame");
    std::ofstream(frames, std::ios::binary | std::ios::trunc)
        << encodeEvent(0, kListeningCaption, "tcp://0.0.0.0:9911");
    // Each receiver says that it listens on 9911, records what it is sent for a moment, ends.
    const std::string receiver = writeReceiver("listening-receiver",
        "cat '" + frames + "' >&3\ntimeout 0.3 cat <&3 >> '" + record + "'\nexit 0");
    Rig rig(receiver, 9900);
    auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
    ingress.configure(9922, std::make_shared<IngressPolicy>());
    pump(ingress, consumer, 800ms);
    EXPECT_EQ(9911, ingress.workingPort());

    std::ifstream file(record);
    ChannelReader reader(/*fromReceiver*/ false);
    reader.append(std::string((std::istreambuf_iterator<char>(file)), {}));
    std::vector<int> workingPorts;
    Frame frame;
    while (reader.parseBuffered(&frame) == ChannelReader::Status::frame)
    {
        std::string error;
        const auto config = decodeListenerConfig(frame.body, &error);
        ASSERT_TRUE(config) << error;
        EXPECT_EQ(9922, config->port);
        workingPorts.push_back(config->workingPort);
    }
    ASSERT_GE(counters.receiverRestarts.load(), 1u);
    ASSERT_GE(workingPorts.size(), 2u);
    EXPECT_EQ(9900, workingPorts[0]) << "the port of the service port before the receivers";
    for (size_t i = 1; i < workingPorts.size(); ++i)
        EXPECT_EQ(9911, workingPorts[i]) << i;
}

TEST(IsolatedIngress, EveryNewReceiverGetsTheConfigurationAndThenTheSubscriptions)
{
    // Each receiver records what the engine sends it for a moment, then ends.
    const std::string record = workPath("subscriptions-recorded");
    std::remove(record.c_str());
    const std::string receiver = writeReceiver("recording-receiver",
        "printf '\\001\\000\\000\\000Lx' >&3\ntimeout 0.4 cat <&3 >> '" + record
            + "'\nexit 0");
    Rig rig(receiver);
    auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
    ASSERT_FALSE(ingress.failed());
    ingress.configure(9950, std::make_shared<IngressPolicy>());
    const Subscriptions cameras = {"{\"src_uuid\":\"a\"", "{\"src_uuid\":\"b\""};
    ingress.subscribe(cameras);
    ingress.subscribe(cameras); //< The same again: nothing more.
    pump(ingress, consumer, 1000ms);

    // Per receiver: its configuration, then the way from everything to the cameras.
    std::ifstream file(record);
    const std::string bytes((std::istreambuf_iterator<char>(file)), {});
    ChannelReader reader(/*fromReceiver*/ false);
    reader.append(bytes);
    std::vector<std::string> frames;
    Frame frame;
    while (reader.parseBuffered(&frame) == ChannelReader::Status::frame)
    {
        frames.push_back(frame.type == FrameType::config
            ? "config" : (frame.subscribe ? "+" : "-") + std::string(frame.body));
    }
    const std::vector<std::string> perReceiver = {"config", "+{\"src_uuid\":\"a\"",
        "+{\"src_uuid\":\"b\"", "-"};
    ASSERT_GE(counters.receiverRestarts.load(), 1u);
    ASSERT_GE(frames.size(), 2 * perReceiver.size());
    ASSERT_EQ(0u, frames.size() % perReceiver.size()) << bytes.size();
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(perReceiver[i % perReceiver.size()], frames[i]) << i;
}

TEST(IsolatedIngress, ReceiverEventsBeyondTheBudgetOfAMinuteAreLeftOut)
{
    const std::string frames = workPath("event-frames");
    {
        std::ofstream out(frames, std::ios::binary | std::ios::trunc);
        for (int i = 0; i < 130; ++i)
            out << encodeEvent(0, kListeningCaption, "event " + std::to_string(i));
    }
    const std::string receiver = writeReceiver("chatty-receiver",
        "cat '" + frames + "' >&3\nexec /bin/sleep 30");
    Rig rig(receiver);
    auto& [logUtils, sink, counters, reaper, budgets, consumer, ingress] = rig;
    ASSERT_FALSE(ingress.failed()) << *ingress.failed();

    pump(ingress, consumer, 500ms);
    ASSERT_EQ(120, countCaption(sink, kListeningCaption));
    EXPECT_EQ("event 119", sink.events.back().description);
    EXPECT_EQ(0u, counters.receiverRestarts.load());
}

TEST(IsolatedIngress, MissingReceiverFailsWithTheReason)
{
    nx::sdk::LogUtils logUtils(/*enableOutput*/ true, "");
    RecordingSink sink;
    EngineCounters counters;
    ChildReaper reaper;
    IngressBudgets budgets;
    IsolatedIngress ingress(
        "/nonexistent/skyloom-receiver", logUtils, sink, counters, reaper, budgets);
    ASSERT_TRUE(ingress.failed());
    EXPECT_EQ("/nonexistent/skyloom-receiver: No such file or directory", *ingress.failed());
    EXPECT_EQ(-1, ingress.pid());
}

// A receiver that could not be reaped within the moment that stopping it may take was never
// waited for again: a zombie for the rest of the server's life.
TEST(ChildReaper, ChildReapedLateStayedAZombie)
{
    int input[2];
    ASSERT_EQ(0, pipe(input));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    // It ends once its input closes: not at once, as a killed process that takes long to end.
    char* const argv[] = {const_cast<char*>("/bin/cat"), nullptr};
    char* const environment[] = {nullptr};
    pid_t pid = -1;
    ASSERT_EQ(0, posix_spawn(&pid, "/bin/cat", &actions, nullptr, argv, environment));
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);

    ChildReaper reaper;
    reaper.adopt(pid);
    EXPECT_EQ(1u, reaper.reap());
    EXPECT_EQ(ChildReaper::kLookAgain, reaper.untilDue());

    close(input[1]);
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (reaper.reap() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(0u, reaper.pending());
    EXPECT_EQ(std::chrono::hours(1), reaper.untilDue());
    errno = 0;
    EXPECT_EQ(-1, waitpid(pid, nullptr, WNOHANG)) << "not reaped";
    EXPECT_EQ(ECHILD, errno);
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
