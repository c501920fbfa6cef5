// The engine's side of a receiver process, against stand-in receivers (shell scripts started the
// same way): what a receiver sends arrives as messages, a malformed frame or an exit ends it and
// a new one is started and told, with what was lost counted, the configuration and the
// subscriptions are sent again to each new one, and a receiver's events beyond its budget are
// left out.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ingress/isolated_ingress.h"

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
    nx::sdk::LogUtils logUtils(/*enableOutput*/ true, "");
    RecordingSink sink;
    EngineCounters counters;
    RecordingConsumer consumer;
    IsolatedIngress ingress(receiver, logUtils, sink, counters);
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

TEST(IsolatedIngress, ReceiverThatKeepsExitingIsStartedAtMostOnceASecondAndTold)
{
    const std::string receiver = writeReceiver("exiting-receiver", "exit 3");
    nx::sdk::LogUtils logUtils(/*enableOutput*/ true, "");
    RecordingSink sink;
    EngineCounters counters;
    RecordingConsumer consumer;
    IsolatedIngress ingress(receiver, logUtils, sink, counters);
    ASSERT_FALSE(ingress.failed());

    pump(ingress, consumer, 2500ms);
    // Three at once, then one a second: about five deaths in 2.5 s, never dozens.
    const uint64_t restarts = counters.receiverRestarts.load();
    EXPECT_GE(restarts, 4u);
    EXPECT_LE(restarts, 6u);
    EXPECT_EQ(1, countCaption(sink, kReceiverDyingCaption));
    ASSERT_LE(1, countCaption(sink, kReceiverRestartedCaption));
    EXPECT_EQ("exited with status 3", sink.events[0].description);
}

TEST(IsolatedIngress, EveryNewReceiverGetsTheConfigurationAndThenTheSubscriptions)
{
    // Each receiver records what the engine sends it for a moment, then ends.
    const std::string record = workPath("subscriptions-recorded");
    std::remove(record.c_str());
    const std::string receiver = writeReceiver("recording-receiver",
        "timeout 0.4 cat <&3 >> '" + record + "'\nexit 0");
    nx::sdk::LogUtils logUtils(/*enableOutput*/ true, "");
    RecordingSink sink;
    EngineCounters counters;
    RecordingConsumer consumer;
    IsolatedIngress ingress(receiver, logUtils, sink, counters);
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
    nx::sdk::LogUtils logUtils(/*enableOutput*/ true, "");
    RecordingSink sink;
    EngineCounters counters;
    RecordingConsumer consumer;
    IsolatedIngress ingress(receiver, logUtils, sink, counters);
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
    IsolatedIngress ingress("/nonexistent/skyloom-receiver", logUtils, sink, counters);
    ASSERT_TRUE(ingress.failed());
    EXPECT_EQ("/nonexistent/skyloom-receiver: No such file or directory", *ingress.failed());
    EXPECT_EQ(-1, ingress.pid());
}

} // namespace
} // namespace nx::vms_server_plugins::analytics::sample
